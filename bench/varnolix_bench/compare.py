"""--compare BEFORE AFTER: two builds of varnolix timed against each other on the same inputs,
interleaved run by run, with a control pair (BEFORE against itself) that shows the noise; the
median of the per-round ratios per case."""

import hashlib
import itertools
import os
import sys
from dataclasses import dataclass
from pathlib import Path

from .checking import output_digest
from .inputs import generate
from .peers import CASES, Case
from .reporting import report_builds
from .running import release, remove_scratch, run_once

# Cases of the before/after comparison: the input case, where standard output goes and the
# open-file limit (0: the shell's).
COMPARISONS = {
    "100keys": ("100keys", "/dev/null", 0),
    "100keys>file": ("100keys", "narration.out", 0),
    "20000keys": ("20000keys", "/dev/null", 0),
    "20000keys-nofile256": ("20000keys", "/dev/null", 256),
}
MIN_COMPARE_ROUNDS = 15
DEFAULT_COMPARE_ROUNDS = 18  # three passes over the six orders of three runs


@dataclass
class BuildRunner:
    """How every run of one comparison case goes: the same input, standard output and limit."""
    inputs: Path
    runs: Path
    stdout_name: str
    nofile: int
    timeout: float
    settle: bool

    def run(self, binary: Path) -> tuple:
        """Runs one build once, ending the benchmark if it fails; returns (seconds, its folder)."""
        tool = "varnolix ulimit" if self.nofile else "varnolix"
        elapsed, _, status, err, work = run_once(tool, [str(binary)], self.stdout_name, self.runs, self.inputs,
                                                 self.nofile, self.timeout, self.settle)
        if status != 0:
            sys.exit(f"{binary} failed ({status}): {err[:200]}")
        return elapsed, work

    def warm_up(self, binary: Path) -> dict:
        """Runs one build once; returns the digests of its files and of its narration if kept."""
        _, work = self.run(binary)
        digest = output_digest(work, "varnolix")
        if self.stdout_name != "/dev/null":
            digest["<standard output>"] = hashlib.sha256((work / self.stdout_name).read_bytes()).hexdigest()
        release(work)
        return digest


def time_rounds(runner: BuildRunner, subjects: list, rounds: int) -> dict:
    """Times every subject once per round, cycling through all orders; returns the times by label."""
    times = {label: [] for label, _ in subjects}
    orders = list(itertools.permutations(subjects))
    for round_number in range(rounds):
        for label, binary in orders[round_number % len(orders)]:
            elapsed, work = runner.run(binary)
            times[label].append(elapsed)
            release(work)
    return times


def compare_case(name: str, case: Case, stdout_name: str, nofile: int, before: Path, after: Path, args,
                 scratch: Path) -> int:
    """Times the build `before`, the build `after` and `before` once more (the control pair: a
    build against itself, which puts the machine's noise on the page) in every round; prints the
    median of the per-round ratios. The rounds cycle through all six orders, so that each run
    follows each other kind of run equally often: a run may be faster after a run of the same
    build, and a fixed order would hand that advantage to one side.
    Returns 1 if the two builds' outputs differ, else 0."""
    inputs = scratch / f"input-{case.name}"
    inputs.mkdir(parents=True, exist_ok=True)
    if not (inputs / "test.csv").exists():
        generate(inputs / "test.csv", case, args.seed)
    print(f"\n== before/after {name}: {case.lines:,} lines, {case.keys:,} keys, standard output to "
          f"{stdout_name if stdout_name == '/dev/null' else 'a file'}"
          f"{f', ulimit -n {nofile}' if nofile else ''}, {args.rounds} rounds", flush=True)
    runner = BuildRunner(inputs, scratch / "runs", stdout_name, nofile, case.timeout, args.settle)
    # The warm-up of both builds also checks that they produce the same files and narration.
    digests = [runner.warm_up(binary) for binary in (before, after)]
    subjects = [("before", before), ("after", after), ("control", before)]
    report_builds(subjects, time_rounds(runner, subjects, args.rounds))
    if digests[0] != digests[1]:
        print("OUTPUTS DIFFER between the two builds")
        return 1
    return 0


def comparison_case(case_name: str, nofile: int, args) -> Case:
    """The input of one comparison, with the overrides applied."""
    if args.quick:
        # More keys than descriptors, so that files are closed and reopened.
        case = Case("quick-nofile", 3000, 600) if nofile else Case("quick", 3000, 50)
    else:
        case = CASES[case_name]
    case.lines = args.lines or case.lines
    case.keys = args.keys or case.keys
    case.line_length = args.line_length or case.line_length
    return case


def compare(args, scratch: Path) -> int:
    """Runs the before/after comparison for the cases chosen; returns the number of disagreements."""
    before, after = (Path(path).resolve() for path in args.compare)
    for binary in (before, after):
        if not binary.exists():
            sys.exit(f"no varnolix at {binary}")
    print(f"before: {before}\nafter: {after}\nmachine: {os.cpu_count()} cores, {os.uname().release}")
    disagreements = 0
    for name in (args.cases or ",".join(COMPARISONS)).split(","):
        case_name, stdout_name, nofile = COMPARISONS[name]
        case = comparison_case(case_name, nofile, args)
        disagreements += compare_case(name, case, stdout_name, nofile, before, after, args, scratch)
    return disagreements


def benchmark(args, scratch_root: Path) -> int:
    """Runs the comparison and prints whether the builds agree; returns the exit status."""
    scratch_root.mkdir(parents=True, exist_ok=True)
    try:
        disagreements = compare(args, scratch_root)
    finally:
        remove_scratch(scratch_root, args.scratch)
    print(f"\n{'both builds agree' if disagreements == 0 else f'{disagreements} disagreement(s)'}")
    return 1 if disagreements else 0
