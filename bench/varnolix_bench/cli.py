"""The command line of bench/run: the options of all three modes, the checks of how they
combine, and the choice of mode."""

import argparse
import sys
import tempfile
from pathlib import Path

from . import ROOT
from . import __doc__ as DESCRIPTION  # the package's docstring is what --help describes
from . import aims, compare, peers
from .aims import AIMS, AIMS_NOFILE, DEFAULT_AIM_ROUNDS, QUICK_AIM_ROUNDS
from .compare import COMPARISONS, DEFAULT_COMPARE_ROUNDS, MIN_COMPARE_ROUNDS
from .peers import CASES


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(description=DESCRIPTION, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--varnolix", default=str(ROOT / "build" / "cli" / "varnolix"))
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--cases", help="comma-separated: " + ", ".join(CASES) + "; with --compare: " +
                        ", ".join(COMPARISONS) + "; with --aims: " + ", ".join(AIMS) +
                        " (default: all, but for 200000keys-30M; the 16000keys ones run together)")
    parser.add_argument("--lines", type=int, help="override every case's line count")
    parser.add_argument("--keys", type=int, help="override every case's key count")
    parser.add_argument("--line-length", type=int, help="override every case's line length")
    parser.add_argument("--repeat", type=int,
                        help=f"override every case's timed runs (rounds of --aims: {DEFAULT_AIM_ROUNDS}, "
                             f"{QUICK_AIM_ROUNDS} with --quick)")
    parser.add_argument("--scratch", default=None, help="folder for inputs and outputs (default: a temporary one)")
    parser.add_argument("--slow-threshold", type=float, default=2.0,
                        help="a warm-up over 10x this many seconds is not repeated")
    parser.add_argument("--quick", action="store_true", help="tiny inputs; checks agreement, not speed")
    parser.add_argument("--no-settle", dest="settle", action="store_false",
                        help="do not wait for earlier runs' writes to reach the disk before each run")
    parser.add_argument("--compare", nargs=2, metavar=("BEFORE", "AFTER"),
                        help="time two builds of varnolix against each other instead of the peers")
    parser.add_argument("--rounds", type=int, default=DEFAULT_COMPARE_ROUNDS,
                        help=f"rounds of --compare (at least {MIN_COMPARE_ROUNDS}, unless --quick)")
    parser.add_argument("--aims", action="store_true",
                        help="many keys against the file-creation floor, and crafted keys against ordinary ones, "
                             f"varnolix's open files pinned at {AIMS_NOFILE:,}")
    parser.add_argument("--floor", default=str(ROOT / "build" / "bench" / "file_creation_floor"),
                        help="the file-creation floor of --aims (compiled with cc -O2 if missing)")
    parser.add_argument("--split-floor", default=str(ROOT / "build" / "bench" / "split_floor"),
                        help="the split floor of --aims for few keys (compiled with cc -O2 if missing)")
    parser.add_argument("--strace", action="store_true",
                        help="with --aims: one more run of varnolix per case under strace -f -c, counting calls")
    return parser


def check_combination(parser: argparse.ArgumentParser, args):
    """Ends with a usage error on options that do not go together."""
    if args.compare and args.rounds < MIN_COMPARE_ROUNDS and not args.quick:
        parser.error(f"--compare needs at least {MIN_COMPARE_ROUNDS} rounds to give a meaningful median")
    if args.aims and args.compare:
        parser.error("--aims and --compare are separate modes")
    if args.strace and not args.aims:
        parser.error("--strace goes with --aims")
    if args.repeat is not None and args.repeat < 1:
        parser.error("--repeat needs at least one run")


def main():
    parser = build_parser()
    args = parser.parse_args()
    check_combination(parser, args)
    scratch_root = Path(args.scratch) if args.scratch else Path(tempfile.mkdtemp(prefix="varnolix-bench-"))
    if args.compare:
        sys.exit(compare.benchmark(args, scratch_root))
    varnolix = Path(args.varnolix).resolve()
    if not varnolix.exists():
        sys.exit(f"no varnolix at {varnolix}: run scripts/setup first")
    if args.aims:
        sys.exit(aims.benchmark(args, varnolix, scratch_root))
    sys.exit(peers.benchmark(args, varnolix, scratch_root))
