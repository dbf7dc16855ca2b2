"""Times the Launcher against the least that each of its jobs needs, on this machine, in one run.

What a player waits for is the Lobby's start, so the Launcher is timed from its start (the moment
just before this process spawns it) to the moment the test Lobby begins (it writes its
CLOCK_MONOTONIC start to the file named by LOBBY_START_STAMP), with its exit beside it. The fixed
settle wait before it ends running Lobbies is left out: the time between the arrivals of its
"restart mode / kill mode" line and its last "killing lobby processes" line is subtracted, which
leaves its start-up, everything after the wait (the final pass over the running processes
included), and the Lobby's own start-up (about a millisecond) on its clock. minimal_copier is timed
from its start to the moment its copies are on the disk (it prints its CLOCK_MONOTONIC then, before
it deletes its backups), with its exit beside it; minimal_start and `cp` from their start to their
exit, or, for minimal_start, to the start of the Lobby it starts.

Figures are ratios of times measured alternately in the same run, so a busy machine slows both
sides alike; they are no substitute for a quiet machine. Each figure's module says what it compares.
"""

import argparse
import os
import shutil
import signal
import sys
import tempfile
from collections import namedtuple

from figures import calls, copies, copycalls, exfat, launch, memory, opens, small, update
from rounds import NotMeasured
from timing import adopt_orphans, lobby_stamp_path

# limit: the most the figure may be; below: it must stay under the limit rather than reach it.
Goal = namedtuple("Goal", "limit below unit", defaults=(False, ""))
# key: which of the results of `measure` this line shows ("" for a figure's only one).
Figure = namedtuple("Figure", "name key goal comparison measure")

LOBBY = "to the Lobby's start"
FIGURES = (
    Figure("launch", "", Goal(1.5), f"launcher/minimal_start, no update, each {LOBBY}", launch.measure),
    Figure("update", "launcher", Goal(0.6), f"launcher {LOBBY} / cp -a + sync -f, on disk (files linked)",
           update.measure),
    Figure("update", "launcher, copies", None,
           f"launcher {LOBBY} / cp -a + sync -f, on disk, update on a tmpfs (files copied)", update.measure),
    Figure("update", "launcher on tmpfs", Goal(0.15), f"launcher {LOBBY} / cp -a, all on a tmpfs (files linked)",
           update.measure),
    Figure("update", update.FLOOR, None, "minimal_copier --link to on disk / cp -a, all on a tmpfs (the floor)",
           update.measure),
    Figure("update", "flush", None, "flush before completion", update.measure),
    Figure("small", "", Goal(0.5), f"launcher {LOBBY} / cp -a, small files on a tmpfs", small.measure),
    Figure("calls", "", Goal(7), "system calls per update file (Linux)", calls.measure),
    Figure("opens", "", Goal(5), "file opens per update file (Launcher.exe under Wine)", opens.measure),
    Figure("memory", "", Goal(64, below=True, unit=" MiB"), "peak resident set, many small files",
           memory.measure),
    Figure("exfat", "", Goal(1.15), f"launcher {LOBBY} / minimal_copier to on disk, on exFAT", exfat.measure),
    Figure("copies", "", Goal(1.15), f"launcher {LOBBY} / minimal_copier to on disk, across volumes",
           copies.measure),
    Figure("copycalls", "", Goal(10), "system calls per copied update file (Linux)", copycalls.measure),
)
NAMES = list(dict.fromkeys(figure.name for figure in FIGURES))


def goal_text(goal):
    return "no goal" if goal is None else f"goal {'<' if goal.below else '<='} {goal.limit}{goal.unit}"


def verdict(goal, value):
    if goal is None or value is None:
        return ""
    return "PASS" if (value < goal.limit if goal.below else value <= goal.limit) else "MISS"


def summary_line(figure, outcome):
    """The figure's value, its goal and verdict, what it compares, and how it came about; a figure
    that was not measured says why."""
    result = outcome if isinstance(outcome, str) else outcome.get(figure.key, "not run")
    if isinstance(result, str):
        value, mark, text = "", "not measured", result
    else:
        value = "" if result.value is None else f"{result.value:.2f}"
        mark, text = verdict(figure.goal, result.value), result.text
    return f"{figure.name:9s} {value:>6s}  {goal_text(figure.goal):16s} {mark:12s}  {figure.comparison}: {text}"


def parse_arguments():
    epilog = "figures (--only), each line of the summary with its goal:\n" + "\n".join(
        f"  {figure.name:9s} {goal_text(figure.goal):16s} {figure.comparison}" for figure in FIGURES)
    parser = argparse.ArgumentParser(prog="bench", description=__doc__, epilog=epilog,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bin", required=True,
                        help="folder with launcher, Lobby.exe (the test Lobby), minimal_start and minimal_copier")
    parser.add_argument("--work", required=True, help="scratch folder, on the file system under test")
    parser.add_argument("--only", default=",".join(NAMES), help="comma-separated figures to run: " + ",".join(NAMES))
    parser.add_argument("--windows-bin", help="folder with Launcher.exe and Lobby.exe, for the opens")
    parser.add_argument("--small-files", type=int, default=2000)
    parser.add_argument("--small-rounds", type=int, default=5)
    parser.add_argument("--opens-files", type=int, default=100)
    parser.add_argument("--launch-runs", type=int, default=200)
    parser.add_argument("--update-files", type=int, default=5000)
    parser.add_argument("--update-mib", type=int, default=200)
    parser.add_argument("--update-folders", type=int, default=50)
    parser.add_argument("--update-rounds", type=int, default=3)
    parser.add_argument("--memory-files", type=int, default=100_000)
    parser.add_argument("--memory-folders", type=int, default=500)
    parser.add_argument("--memory-file-size", type=int, default=100)
    parser.add_argument("--copy-files", type=int, default=450, help="files of the exfat and copies update")
    parser.add_argument("--copy-mib", type=int, default=5)
    parser.add_argument("--copy-rounds", type=int, default=11, help="rounds of the exfat and copies figures")
    parser.add_argument("--shm", default="/dev/shm", help="a tmpfs for the tmpfs and copy figures, or ''")
    args = parser.parse_args()
    chosen = args.only.split(",")
    unknown = [name for name in chosen if name not in NAMES]
    if unknown:
        parser.error(f"unknown figures {unknown}; they are {','.join(NAMES)}")
    args.only = set(chosen)
    # The runs below change their current folder.
    args.bin = os.path.abspath(args.bin)
    args.work = os.path.abspath(args.work)
    args.windows_bin = os.path.abspath(args.windows_bin) if args.windows_bin else None
    args.tmpfs = args.shm if args.shm and os.path.isdir(args.shm) else None
    return args


def main():
    args = parse_arguments()

    # A SIGTERM or SIGHUP must still remove the trees below, like Ctrl-C does.
    def stop(signum, _frame):
        raise SystemExit(128 + signum)
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGHUP, stop)

    adopt_orphans()
    # Other work on the machine (builds, fuzzers) would otherwise take its share of the cores from
    # whatever is being timed; what it still takes is the same for both sides of a ratio.
    try:
        os.setpriority(os.PRIO_PROCESS, 0, -20)
    except OSError:
        pass
    os.makedirs(args.work, exist_ok=True)
    outcomes = {}
    try:
        print(f"machine: {os.cpu_count()} cores, load average {os.getloadavg()[0]:.1f}; timed programs run at "
              f"nice {os.getpriority(os.PRIO_PROCESS, 0)}; scratch below {args.work}")
        for name in NAMES:
            if name not in args.only:
                continue
            measure = next(figure.measure for figure in FIGURES if figure.name == name)
            args.scratch = tempfile.mkdtemp(prefix=f"bench-{name}-", dir=args.work)
            try:
                outcomes[name] = measure(args)
            except NotMeasured as reason:
                print(f"{name}: not measured: {reason}")
                outcomes[name] = str(reason)
            finally:
                shutil.rmtree(args.scratch, ignore_errors=True)
    finally:
        # A run cut short may leave its Lobby's stamp behind.
        for leftover, remove in ((lobby_stamp_path(), os.remove), (args.work, os.rmdir)):
            try:
                remove(leftover)
            except OSError:
                pass
    print()
    print(f"summary ({os.cpu_count()} cores)")
    for figure in FIGURES:
        if figure.name in outcomes:
            print("  " + summary_line(figure, outcomes[figure.name]))


if __name__ == "__main__":
    sys.exit(main())
