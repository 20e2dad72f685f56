"""Benchmarks varnolix against the copy floor (dd), mawk, gawk and Miller, or one build of
varnolix against another.

Generates its inputs deterministically, runs every tool once to warm up and to check that
its output files agree with varnolix's, then several timed runs; prints median wall time,
MB/s, peak resident memory and every ratio against the floor and the peers.

Run after scripts/setup:  bench/run            (the full set of cases, minutes)
                          bench/run --quick    (a tiny input, seconds: checks agreement only)
                          bench/run --compare BEFORE AFTER
                                               (two builds interleaved run by run, with a
                                                control pair; median ratio per case)
                          bench/run --aims [--scratch DIR] [--strace]
                                               (many keys, against the file-creation floor
                                                in the same rounds, few keys against the
                                                split floor too; user time per line;
                                                crafted keys against ordinary ones)
"""

from pathlib import Path

# The repository's root: where the default builds are, and the floors' sources.
ROOT = Path(__file__).resolve().parent.parent.parent
