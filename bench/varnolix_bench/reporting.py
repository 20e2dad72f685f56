"""Reporting: the markdown tables and ratios that each mode prints, and the formatting of
their cells."""

import statistics

STRACE_CALLS = ("openat", "writev", "close", "newfstatat", "pwrite64", "pread64")


def markdown_row(cells: list) -> str:
    return "| " + " | ".join(cells) + " |"


def mib(kib_or_bytes, unit: int) -> str:
    return "n/a" if kib_or_bytes is None else f"{kib_or_bytes / unit:.1f}"


def median_ratio(mine: list, base: list) -> str:
    ratios = [a / b for a, b in zip(mine, base) if b > 0]
    if not ratios:
        return "-"
    return f"{statistics.median(ratios):.2f}"


def report_peers(size: int, results: list):
    """The table of one case of the peers benchmark, every ratio of varnolix against the floor
    and the peers, and the tools whose files disagree."""
    # The range shows when the floor itself moved during the run (page cache absorbing
    # writes, or writeback throttling them).
    print(f"\n| tool | median s | min-max s | MB/s | peak RSS MiB | runs | note |\n|---|---:|---:|---:|---:|---:|---|")
    for r in results:
        if r.times:
            mbps = (size * (3 if r.tool == "dd x3" else 1)) / 1e6 / r.median
            spread = f"{min(r.times):.3f}-{max(r.times):.3f}"
            print(f"| {r.tool} | {r.median:.3f} | {spread} | {mbps:.0f} | {r.peak_rss_kib / 1024:.1f} | {len(r.times)}"
                  f" | {r.note} |")
        else:
            print(f"| {r.tool} | - | - | - | - | 0 | {r.note} |")
    by_tool = {r.tool: r for r in results if r.times and r.agrees}
    print()
    for subject, peers in (("varnolix", ("dd", "mawk", "gawk", "miller")), ("varnolix>file", ("dd x3",)),
                           ("varnolix ulimit", ("varnolix",))):
        if subject not in by_tool:
            continue
        for peer in peers:
            if peer in by_tool:
                ratio = by_tool[subject].median / by_tool[peer].median
                speed = f" ({1 / ratio:.1f}x faster)" if not peer.startswith(("dd", "varnolix")) else ""
                print(f"ratio: {subject} / {peer} = {ratio:.2f}{speed}")
    failed = [r.tool for r in results if not r.agrees and r.times]
    if failed:
        print(f"DISAGREEING OUTPUTS: {', '.join(failed)}")


def report_builds(subjects: list, times: dict):
    """The table of one case of --compare, and the median ratios of the rounds: after and the
    control pair, each against before."""
    print(f"\n| build | median s | min-max s |\n|---|---:|---:|")
    for label, binary in subjects:
        title = f"{label} ({binary})" if label != "control" else "before, run again (control)"
        print(f"| {title} | {statistics.median(times[label]):.3f} | {min(times[label]):.3f}-{max(times[label]):.3f} |")
    for label in ("after", "control"):
        ratios = [mine / base for mine, base in zip(times[label], times["before"])]
        print(f"ratio {label} / before: median {statistics.median(ratios):.3f} "
              f"(per round {min(ratios):.3f} to {max(ratios):.3f})")


def rss_plus_spill(subject) -> str:
    if subject.spill_bytes is None or not subject.peak_rss_kib:
        return "n/a"
    # The two peaks need not coincide: their sum is an upper bound.
    return f"{subject.peak_rss_kib / 1024 + subject.spill_bytes / 2**20:.1f}"


def user_per_line(subject) -> str:
    """The median user time of the timed runs, in nanoseconds per line of the input."""
    if not subject.user_times:
        return "-"
    return f"{statistics.median(subject.user_times) / subject.aim.lines * 1e9:.0f}"


def strace_cells(subject, named: bool = False) -> list:
    """The calls of the strace run, each also per key appearing in the input."""
    if "failed" in subject.syscalls:
        return [f"strace failed ({subject.syscalls['failed']})"] + ["-"] * (len(STRACE_CALLS) - 1)
    return [f"{call + ' ' if named else ''}{subject.syscalls.get(call, 0):,} "
            f"({subject.syscalls.get(call, 0) / subject.distinct:.2f}/key)" for call in STRACE_CALLS]


def report_subjects(subjects: list, tmpfs: bool):
    """The table of one aim or group of --aims: a row per run subject."""
    print()
    print(markdown_row(["run", "median s", "min-max s", "user ns/line", "peak RSS MiB", "spill MiB"] +
                       (["RSS + spill MiB"] if tmpfs else []) + ["runs", "note"]))
    print("|---|" + "---:|" * (7 if tmpfs else 6) + "---|")
    for subject in subjects:
        watched = subject.kind == "varnolix"
        cells = [subject.label, f"{subject.median:.3f}" if subject.times else "-",
                 f"{min(subject.times):.3f}-{max(subject.times):.3f}" if subject.times else "-",
                 user_per_line(subject), f"{subject.peak_rss_kib / 1024:.1f}",
                 mib(subject.spill_bytes, 2**20) if watched else "-"]
        cells += [rss_plus_spill(subject) if watched else "-"] if tmpfs else []
        print(markdown_row(cells + [str(len(subject.times)), subject.failure or subject.files]))


def report_aim_ratios(subjects: list, grouped: bool):
    """The median per-round ratios of one aim: varnolix against the floors, or in a group of
    crafted keys, the crafted input against each twin."""
    by_kind = {subject.aim.naming if subject.aim.group else subject.kind: subject for subject in subjects}
    pairs = [("varnolix", "floor"), ("varnolix", "split")] if not grouped else \
        [("crafted", "plain"), ("crafted", "long")]
    for mine, base in pairs:
        if mine in by_kind and base in by_kind and by_kind[mine].times:
            ratios = [a / b for a, b in zip(by_kind[mine].times, by_kind[base].times)]
            print(f"ratio {by_kind[mine].label} / {by_kind[base].label.split(' ')[0]}: median "
                  f"{statistics.median(ratios):.2f} (per round {min(ratios):.2f} to {max(ratios):.2f})")
    for subject in subjects:
        if subject.syscalls:
            print(f"strace {subject.label}: " + ", ".join(strace_cells(subject, named=True)))


def report_aims_summary(kind: str, tmpfs: bool, rows: list, traced: list):
    """The summary of --aims: a row per input, then the strace counts where taken."""
    print(f"\n## Summary ({kind or 'unknown file system'})\n\nratio: varnolix / floor, median of the rounds' ratios; for "
          f"crafted keys, crafted / each twin. split: varnolix / the split floor (its median time), where timed. "
          f"user ns/line: varnolix's median user time over the input's lines. spill: peak of varnolix's unnamed "
          f"files in the warm-up run{'; RSS + spill: the two peaks added (an upper bound)' if tmpfs else ''}.\n")
    print(markdown_row(["case", "floor s", "varnolix s", "ratio", "split", "user ns/line", "varnolix peak RSS MiB",
                        "spill MiB"] + (["RSS + spill MiB"] if tmpfs else []) + ["files right"]))
    print("|---|" + "---:|" * (8 if tmpfs else 7) + "---|")
    for name, base, mine, ratio, split, user, rss, spill, both, note, _ in rows:
        print(markdown_row([name, base, mine, ratio, split, user, rss, spill] + ([both] if tmpfs else []) + [note]))
    if traced:
        print("\nstrace -f -c, one run each, calls (per key appearing):\n")
        print(markdown_row(["case", "keys appearing"] + list(STRACE_CALLS)))
        print("|---|---:|" + "---:|" * len(STRACE_CALLS))
        for subject in traced:
            print(markdown_row([subject.aim.name, f"{subject.distinct:,}"] + strace_cells(subject)))
