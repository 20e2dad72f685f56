"""The default mode: varnolix against the copy floor (dd), mawk, gawk and Miller, case by
case, every tool's files checked against varnolix's in its warm-up run."""

import os
import shutil
import statistics
from dataclasses import dataclass, field
from pathlib import Path

from .checking import output_digest
from .inputs import generate
from .reporting import report_peers
from .running import release, remove_scratch, run_once


@dataclass
class Case:
    """One input shape and the tools timed on it."""
    name: str
    lines: int
    keys: int
    line_length: int = 53
    skewed: bool = False
    tools: tuple = ("varnolix", "varnolix>file", "dd", "dd x3", "mawk", "gawk", "miller")
    nofile: int = 0            # RLIMIT_NOFILE of the tool "varnolix ulimit"
    repeat: int = 5
    timeout: float = 300.0


@dataclass
class Result:
    tool: str
    times: list = field(default_factory=list)
    peak_rss_kib: int = 0
    agrees: bool = True
    note: str = ""

    @property
    def median(self):
        return statistics.median(self.times) if self.times else float("nan")


CASES = {
    "100keys": Case("100keys", 3_000_000, 100),
    "100keys-skewed": Case("100keys-skewed", 3_000_000, 100, skewed=True, tools=("varnolix", "dd", "mawk")),
    "20000keys": Case("20000keys", 300_000, 20_000, tools=("varnolix", "dd", "mawk", "gawk", "miller"),
                      repeat=5),
    "20000keys-3M": Case("20000keys-3M", 3_000_000, 20_000, tools=("varnolix", "varnolix ulimit", "dd"),
                         nofile=256, repeat=5),
    "100keys-30M-memory": Case("100keys-30M-memory", 30_000_000, 100, tools=("varnolix",), repeat=1),
}


def quick_cases() -> list:
    """The cases of --quick: tiny inputs, one with more keys than varnolix ulimit's descriptors."""
    return [Case("quick", 3000, 50, repeat=1),
            Case("quick-ulimit", 3000, 300, tools=("varnolix", "varnolix ulimit", "mawk"), nofile=32, repeat=1)]


def command_for(tool: str, varnolix: Path, inputs: Path):
    """Returns (argv, stdout target name or None, how to find the tool's output files)."""
    if tool in ("varnolix", "varnolix ulimit"):
        return [str(varnolix)], "/dev/null"
    if tool == "varnolix>file":
        return [str(varnolix)], "narration.out"
    if tool == "dd":
        return ["dd", f"if={inputs / 'test.csv'}", "of=copy", "bs=1M", "status=none"], None
    if tool == "dd x3":
        return ["dd", f"if={inputs / 'test3.csv'}", "of=copy", "bs=1M", "status=none"], None
    if tool in ("mawk", "gawk"):
        return [tool, "-F;", "{print > $1}", "test.csv"], None
    if tool == "miller":
        return ["mlr", "--nidx", "--fs", ";", "split", "-g", "1", "test.csv"], None
    raise ValueError(tool)


def prepare_input(case: Case, seed: int, inputs: Path) -> int:
    """Generates the case's input, and three copies of it end to end for "dd x3"; returns its size."""
    inputs.mkdir(parents=True, exist_ok=True)
    size, _ = generate(inputs / "test.csv", case, seed)
    if "dd x3" in case.tools:
        with open(inputs / "test3.csv", "wb") as out:
            for _ in range(3):
                with open(inputs / "test.csv", "rb") as part:
                    shutil.copyfileobj(part, out, 1 << 20)
    return size


def bench_case(case: Case, args, varnolix: Path, scratch: Path) -> list:
    """Runs every tool of the case once to warm up, then the timed rounds; prints the table.
    Returns the results, one per tool."""
    inputs = scratch / f"input-{case.name}"
    size = prepare_input(case, args.seed, inputs)
    print(f"\n== {case.name}: {case.lines:,} lines, {case.keys:,} keys"
          f"{' (skewed)' if case.skewed else ''}, {size / 1e6:.1f} MB"
          f"{f', ulimit -n {case.nofile} for varnolix ulimit' if case.nofile else ''}", flush=True)
    runs = scratch / "runs"
    results, timed = warm_up(case, args, varnolix, inputs, runs)
    time_rounds(case, args, inputs, runs, timed)
    report_peers(size, results)
    return results


def warm_up(case: Case, args, varnolix: Path, inputs: Path, runs: Path) -> tuple:
    """Runs every tool once, which also checks its files against the first tool's (varnolix's);
    returns the results and the runs left to time, as (result, argv, stdout target)."""
    results, reference, timed = [], None, []
    for tool in case.tools:
        argv, stdout_name = command_for(tool, varnolix, inputs)
        result = Result(tool)
        results.append(result)
        if shutil.which(argv[0]) is None and not Path(argv[0]).exists():
            result.note, result.agrees = "not installed", False
            continue
        elapsed, rss, status, err, work = run_once(tool, argv, stdout_name, runs, inputs, case.nofile,
                                                   case.timeout, args.settle)
        if status != 0:
            result.note = f"failed ({status}): {err[:60]}" if status != "timeout" else f"over {case.timeout:.0f} s"
            result.agrees = False
            print(f"  {tool:14s} {result.note}", flush=True)
            continue
        if not tool.startswith("dd"):
            digest = output_digest(work, tool)
            if reference is None:
                reference = digest
            elif digest != reference:
                result.agrees, result.note = False, "output differs from varnolix"
        release(work)
        result.peak_rss_kib = rss
        if elapsed > 10 * args.slow_threshold:  # too slow to repeat: the warm-up is its time
            result.times = [elapsed]
            result.note = result.note or "warm-up run only"
        else:
            timed.append((result, argv, stdout_name))
        print(f"  {tool:14s} warm-up {elapsed:8.3f} s{'' if result.agrees else '  OUTPUT DIFFERS'}", flush=True)
    return results, timed


def time_rounds(case: Case, args, inputs: Path, runs: Path, timed: list):
    """Times every tool once per round, so that all see the same state of the machine (page
    cache, pending writeback)."""
    for _ in range(case.repeat):
        for result, argv, stdout_name in timed:
            elapsed, rss, status, _, work = run_once(result.tool, argv, stdout_name, runs, inputs, case.nofile,
                                                     case.timeout, args.settle)
            if status != 0:
                result.agrees, result.note = False, f"failed ({status}) on a repeat"
            result.times.append(elapsed)
            result.peak_rss_kib = max(result.peak_rss_kib, rss)
            release(work)


def chosen_cases(args) -> list:
    """The cases named by --cases (default: all), or those of --quick, with the overrides applied."""
    chosen = [CASES[name] for name in (args.cases or ",".join(CASES)).split(",")]
    if args.quick:
        chosen = quick_cases()
    for case in chosen:
        case.lines = args.lines or case.lines
        case.keys = args.keys or case.keys
        case.line_length = args.line_length or case.line_length
        case.repeat = args.repeat or case.repeat
    return chosen


def benchmark(args, varnolix: Path, scratch_root: Path) -> int:
    """Runs the cases chosen and prints whether all outputs agree; returns the exit status."""
    chosen = chosen_cases(args)
    print(f"varnolix: {varnolix}\nmachine: {os.cpu_count()} cores, {os.uname().release}")
    scratch_root.mkdir(parents=True, exist_ok=True)
    disagreements = 0
    try:
        for case in chosen:
            results = bench_case(case, args, varnolix, scratch_root)
            disagreements += sum(1 for r in results if not r.agrees and r.times)
            varnolix_result = next((r for r in results if r.tool.startswith("varnolix")), None)
            if varnolix_result is None or not varnolix_result.times:
                print(f"varnolix did not complete case {case.name}")
                disagreements += 1
    finally:
        remove_scratch(scratch_root, args.scratch)
    print(f"\n{'all outputs agree' if disagreements == 0 else f'{disagreements} disagreement(s)'}")
    return 1 if disagreements else 0
