"""--aims: many keys, varnolix against the file-creation floor in the same rounds (few keys
against the split floor too), and keys crafted to collide against as many ordinary ones; every
file of varnolix checked against the input, with user time per line, peak memory and the
spill file's size."""

import os
import re
import shutil
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass, field, replace
from pathlib import Path

from . import ROOT
from .checking import check_files, files_verdict
from .inputs import CRAFTED_KEY_LENGTH, generate, key_names
from .reporting import (mib, median_ratio, report_aim_ratios, report_aims_summary, report_subjects,
                        rss_plus_spill, user_per_line)
from .running import fresh_folder, remove_scratch, run_measured, strace_counts

# The aims: many keys, with varnolix's open files pinned so that every machine sees the same
# cache of descriptors.
AIMS_NOFILE = 20_000
DEFAULT_AIM_ROUNDS = 3
QUICK_AIM_ROUNDS = 1


@dataclass
class Aim:
    """One input of --aims: varnolix timed against the file-creation floor or, in a group,
    against the group's other inputs."""
    name: str
    lines: int
    keys: int
    line_length: int = 53
    skewed: bool = False
    sorted_keys: bool = False
    naming: str = "plain"  # "plain" (k00000, ...), "long" (the same padded to the crafted length), "crafted"
    group: str = ""
    in_default: bool = True
    split_floor: bool = False  # timed against bench/split_floor.c as well


AIMS = {aim.name: aim for aim in (
    # Few keys, and about as many keys as descriptors: where the scale starts.
    Aim("100keys", 3_000_000, 100, split_floor=True),
    Aim("20000keys", 3_000_000, 20_000),
    Aim("50000keys", 3_000_000, 50_000),
    Aim("200000keys", 3_000_000, 200_000),
    Aim("1000000keys", 3_000_000, 1_000_000),
    Aim("1000000keys-sorted", 3_000_000, 1_000_000, sorted_keys=True),
    Aim("200000keys-zipf", 3_000_000, 200_000, skewed=True),
    Aim("200000keys-30M", 30_000_000, 200_000, in_default=False),
    # Crafted keys are 224 bytes long, ordinary ones 6: the long twin tells what the length
    # alone costs.
    Aim("16000keys-ordinary", 1_000_000, 16_000, group="16000keys-crafted"),
    Aim("16000keys-ordinary-long", 1_000_000, 16_000, naming="long", group="16000keys-crafted"),
    Aim("16000keys-crafted", 1_000_000, 16_000, naming="crafted", group="16000keys-crafted"),
)}
# Few keys: on some disks creating a file takes a millisecond.
QUICK_AIMS = {aim.name: aim for aim in (
    Aim("quick-200keys", 20_000, 200, split_floor=True),
    Aim("quick-200keys-sorted", 20_000, 200, sorted_keys=True),
    Aim("quick-200keys-zipf", 20_000, 200, skewed=True),
    Aim("quick-ordinary", 20_000, 200, group="quick-crafted"),
    Aim("quick-ordinary-long", 20_000, 200, naming="long", group="quick-crafted"),
    Aim("quick-crafted", 20_000, 200, naming="crafted", group="quick-crafted"),
)}


@dataclass
class Subject:
    """What is timed on one input of the aims: varnolix or the floor."""
    label: str
    aim: Aim
    kind: str  # "varnolix", "floor" or "split"
    distinct: int  # keys appearing in its input
    times: list = field(default_factory=list)
    user_times: list = field(default_factory=list)  # seconds of user time, one per timed run
    peak_rss_kib: int = 0
    spill_bytes: object = None  # None while varnolix's process has not been seen
    failure: str = ""
    files: str = ""
    syscalls: dict = field(default_factory=dict)

    @property
    def median(self):
        return statistics.median(self.times) if self.times else float("nan")

    @property
    def wrong(self):
        return bool(self.failure) or (self.kind == "varnolix" and self.files != "files right")


@dataclass
class Binaries:
    """The programs --aims times: varnolix and the two floors."""
    varnolix: Path
    floor: Path
    split_floor: Path


@dataclass
class GroupRunner:
    """Runs the subjects of one aim or group on their inputs, each run in a fresh folder."""
    binaries: Binaries
    runs: Path
    inputs: dict  # aim name: (input path, keys appearing)
    timeout: float
    settle: bool

    def argv_for(self, subject: Subject, distinct: int) -> tuple:
        """The subject's command line and its open-file limit (0: the shell's)."""
        if subject.kind == "floor":
            return [str(self.binaries.floor), "test.csv", str(distinct)], 0
        if subject.kind == "split":
            return [str(self.binaries.split_floor), "test.csv", str(distinct)], 0
        return [str(self.binaries.varnolix)], AIMS_NOFILE

    def run(self, subject: Subject, check: bool = False, timed: bool = False):
        """Runs the subject once, watching its spill file and checking its files if `check`;
        returns its seconds, or None if it failed (its failure then noted)."""
        path, distinct = self.inputs[subject.aim.name]
        work = fresh_folder(self.runs)
        try:
            os.link(path, work / "test.csv")
            argv, nofile = self.argv_for(subject, distinct)
            elapsed, rss, status, err, spill, user = run_measured(argv, work, nofile, self.timeout, self.settle,
                                                                  watch=check)
            if status != 0:
                # varnolix's own message went to /dev/null with its narration.
                subject.failure = f"failed ({status}){': ' + err[:80] if err else ''}"
                return None
            subject.peak_rss_kib = max(subject.peak_rss_kib, rss)
            if spill is not None:
                subject.spill_bytes = max(subject.spill_bytes or 0, spill)
            if check:
                subject.files = files_verdict(*check_files(work, path, distinct))
            if timed:
                subject.user_times.append(user)
            return elapsed
        finally:
            shutil.rmtree(work, ignore_errors=True)

    def count_calls(self, subject: Subject):
        """One more run of varnolix under strace; keeps the counts in the subject."""
        work = fresh_folder(self.runs)
        os.link(self.inputs[subject.aim.name][0], work / "test.csv")
        subject.syscalls = strace_counts(self.binaries.varnolix, work, 3 * self.timeout, AIMS_NOFILE)
        shutil.rmtree(work, ignore_errors=True)


def generate_aim(aim: Aim, seed: int, scratch: Path) -> tuple:
    """Generates the aim's input and describes it; returns its path and the keys appearing."""
    folder = scratch / f"aims-input-{aim.name}"
    folder.mkdir(parents=True, exist_ok=True)
    began = time.perf_counter()
    size, distinct = generate(folder / "test.csv", aim, seed, key_names(aim))
    shape = (", Zipf-skewed" if aim.skewed else "") + (", sorted by key" if aim.sorted_keys else "") + \
        {"plain": "", "long": f", keys padded to {CRAFTED_KEY_LENGTH} bytes",
         "crafted": f", crafted {CRAFTED_KEY_LENGTH}-byte keys of one fast hash"}[aim.naming]
    print(f"\n== {aim.name}: {aim.lines:,} lines, {aim.keys:,} keys{shape}; {distinct:,} keys appear, "
          f"{size / 1e6:.1f} MB (generated in {time.perf_counter() - began:.0f} s)", flush=True)
    return folder / "test.csv", distinct


def subjects_of(aim: Aim, distinct: int) -> list:
    """What is timed on the aim's input: the floors unless in a group, then varnolix."""
    subjects = []
    if not aim.group:
        subjects.append(Subject(f"floor ({distinct:,} files)", aim, "floor", distinct))
    if aim.split_floor:
        subjects.append(Subject(f"split floor ({distinct:,} files)", aim, "split", distinct))
    subjects.append(Subject(aim.name if aim.group else "varnolix", aim, "varnolix", distinct))
    return subjects


def warm_up(runner: GroupRunner, subjects: list):
    """Runs every subject once, varnolix with its files checked and its spill file watched."""
    for subject in subjects:
        elapsed = runner.run(subject, check=subject.kind == "varnolix")
        print(f"  {subject.label:28s} warm-up {elapsed:8.3f} s  {subject.files}" if elapsed is not None
              else f"  {subject.label:28s} {subject.failure}", flush=True)


def time_rounds(runner: GroupRunner, subjects: list, rounds: int):
    """Times every subject once per round, in order; stops at the first failure."""
    for round_number in range(rounds):
        done = []
        for subject in subjects:
            elapsed = runner.run(subject, timed=True)
            if elapsed is None:
                break
            subject.times.append(elapsed)
            done.append(f"{subject.label.split(' ')[0]} {elapsed:.3f} s")
        print(f"  round {round_number + 1}: {', '.join(done)}", flush=True)
        if len(done) < len(subjects):
            print(f"  stopped: {subjects[len(done)].label} {subjects[len(done)].failure}")
            break


def aim_group(members: list, args, binaries: Binaries, scratch: Path, tmpfs: bool) -> list:
    """Generates the inputs of one aim (or of one group of aims timed against each other), runs
    everything once to warm up, checks varnolix's files after that run, times the rounds and
    reports. Returns the subjects."""
    inputs, subjects = {}, []
    for aim in members:
        inputs[aim.name] = generate_aim(aim, args.seed, scratch)
        subjects += subjects_of(aim, inputs[aim.name][1])
    # Only against hangs: on some disks every file created takes a millisecond.
    timeout = 600 + max(aim.lines * 1e-4 + aim.keys * 5e-3 for aim in members)
    runner = GroupRunner(binaries, scratch / "runs", inputs, timeout, args.settle)
    warm_up(runner, subjects)
    if not any(subject.failure for subject in subjects):
        time_rounds(runner, subjects, aim_rounds(args))
    if args.strace:
        for subject in subjects:
            if subject.kind == "varnolix":
                runner.count_calls(subject)
    for aim in members:
        shutil.rmtree(scratch / f"aims-input-{aim.name}", ignore_errors=True)
    report_subjects(subjects, tmpfs)
    report_aim_ratios(subjects, grouped=bool(members[0].group))
    return subjects


def file_system_of(folder: Path) -> str:
    """The type of the file system holding `folder`, from its mount in /proc/mounts (stat -f
    calls ext4 "ext2/ext3")."""
    path, longest, kind = os.path.realpath(folder), -1, ""
    with open("/proc/mounts", encoding="utf-8", errors="replace") as mounts:
        for line in mounts:
            fields = line.split()
            point = re.sub(r"\\([0-7]{3})", lambda escape: chr(int(escape.group(1), 8)), fields[1])
            inside = path == point or path.startswith(point.rstrip("/") + "/")
            if inside and len(point) >= longest:  # the later of two mounts on one point hides the other
                longest, kind = len(point), fields[2]
    return kind


def aim_rounds(args) -> int:
    return args.repeat or (QUICK_AIM_ROUNDS if args.quick else DEFAULT_AIM_ROUNDS)


def check_tools(args):
    """Ends the benchmark if a program --aims runs is missing."""
    for tool in ("/usr/bin/time", "prlimit") + (("strace",) if args.strace else ()):
        if shutil.which(tool) is None:
            sys.exit(f"--aims needs {tool}")


def floor_program(given: str, source: str, scratch: Path) -> Path:
    """The floor at `given`, or, if there is none, bench/`source` compiled into the scratch folder."""
    floor = Path(given)
    if not floor.exists():
        built = scratch / "runs" / Path(source).stem
        built.parent.mkdir(parents=True, exist_ok=True)
        subprocess.run(["cc", "-O2", "-o", str(built), str(ROOT / "bench" / source)], check=True)
        print(f"{floor} not found: compiled {built}")
        floor = built
    return floor.resolve()


def chosen_groups(args) -> list:
    """The aims chosen, as lists of the aims timed together (a group, or one aim alone), each
    aim a copy with the overrides applied."""
    table = QUICK_AIMS if args.quick else AIMS
    if args.cases and not args.quick:
        names = args.cases.split(",")
        for name in names:
            if name not in table:
                sys.exit(f"no aim {name}: choose from {', '.join(table)}")
    else:
        names = [name for name, aim in table.items() if aim.in_default]
    groups = {}
    for name in names:
        groups.setdefault(table[name].group or name, None)
    chosen = []
    for key in groups:
        members = [replace(aim) for name, aim in table.items() if (aim.group or name) == key]
        for aim in members:
            aim.lines = args.lines or aim.lines
            aim.keys = args.keys or aim.keys
            aim.line_length = args.line_length or aim.line_length
        chosen.append(members)
    return chosen


def print_setting(args, binaries: Binaries, scratch: Path, kind: str, tmpfs: bool):
    print(f"varnolix: {binaries.varnolix} (open files pinned at {AIMS_NOFILE:,})\nfloor: {binaries.floor}\n"
          f"split floor: {binaries.split_floor}\n"
          f"scratch: {scratch} ({kind or 'unknown file system'}"
          f"{': the spill file takes memory' if tmpfs else ''})\n"
          f"machine: {os.cpu_count()} cores, {os.uname().release}\n"
          f"rounds: {aim_rounds(args)} after a warm-up, each the floor then varnolix (or each twin in turn); "
          f"spill sampled in the warm-up", flush=True)


def summary_row(subject: Subject, floor_subject, split_subject, by_naming: dict) -> tuple:
    """One row of the summary for varnolix on one input; its last cell tells whether it went wrong."""
    if floor_subject is not None:
        base, ratio = f"{floor_subject.median:.3f}" if floor_subject.times else "-", \
            median_ratio(subject.times, floor_subject.times)
    else:
        base = "-"
        ratio = "-" if subject.aim.naming != "crafted" else \
            f"{median_ratio(subject.times, by_naming['plain'].times)} / ordinary, " \
            f"{median_ratio(subject.times, by_naming['long'].times)} / ordinary-long"
    split = "-"
    if split_subject is not None and split_subject.times:
        split = f"{median_ratio(subject.times, split_subject.times)} ({split_subject.median:.3f} s)"
    wrong = subject.wrong or any(s is not None and bool(s.failure) for s in (floor_subject, split_subject))
    note = subject.failure or subject.files
    for other in (floor_subject, split_subject):
        if other is not None and other.failure:
            note += f"; {other.label.split(' (')[0]} {other.failure}"
    return (subject.aim.name, base, f"{subject.median:.3f}" if subject.times else "-", ratio, split,
            user_per_line(subject), f"{subject.peak_rss_kib / 1024:.1f}", mib(subject.spill_bytes, 2**20),
            rss_plus_spill(subject), note, wrong)


def summarize(subjects: list, rows: list, traced: list):
    """Adds the summary rows of one group's varnolix runs, and those traced with strace."""
    floor_subject = next((s for s in subjects if s.kind == "floor"), None)
    split_subject = next((s for s in subjects if s.kind == "split"), None)
    by_naming = {s.aim.naming: s for s in subjects}
    for subject in subjects:
        if subject.kind != "varnolix":
            continue
        rows.append(summary_row(subject, floor_subject, split_subject, by_naming))
        if subject.syscalls:
            traced.append(subject)


def aims(args, varnolix: Path, scratch: Path) -> int:
    """Runs the aims chosen; returns the number of cases that went wrong."""
    check_tools(args)
    floor = floor_program(args.floor, "file_creation_floor.c", scratch)
    split_floor = floor_program(args.split_floor, "split_floor.c", scratch)
    binaries = Binaries(varnolix, floor, split_floor)
    chosen = chosen_groups(args)
    kind = file_system_of(scratch)
    tmpfs = kind == "tmpfs"
    print_setting(args, binaries, scratch, kind, tmpfs)
    rows, traced = [], []
    for members in chosen:
        summarize(aim_group(members, args, binaries, scratch, tmpfs), rows, traced)
    report_aims_summary(kind, tmpfs, rows, traced)
    return sum(1 for row in rows if row[-1])


def benchmark(args, varnolix: Path, scratch_root: Path) -> int:
    """Runs the aims and prints whether every case was right; returns the exit status."""
    scratch_root.mkdir(parents=True, exist_ok=True)
    try:
        wrong = aims(args, varnolix, scratch_root)
    finally:
        remove_scratch(scratch_root, args.scratch)
    print(f"\n{'every case right' if wrong == 0 else f'{wrong} case(s) wrong'}")
    return 1 if wrong else 0
