"""calls: system calls per update file of the Linux Launcher (strace -c) for the small update: the
calls of a run with the update less those of a run without, over the number of files."""

import os
import shutil
import subprocess

import timing
from rounds import NotMeasured, Result
from trees import copy_executables, make_small_update

SKIP_SLEEP = ["-e", "inject=clock_nanosleep,nanosleep:retval=0"]


def count_calls(install, argv=None):
    """System calls by name of one Linux launcher run in `install`, or of `argv` run there."""
    report = install + ".calls"
    with open(os.devnull, "wb") as out:
        timing.run(["strace", "-c", "-o", report] + SKIP_SLEEP + (argv or [os.path.join(install, "launcher")]),
                   cwd=install, stdout=out, stdin=subprocess.DEVNULL)
    if not argv:
        timing.reap_lobbies(1)
    calls = {}
    with open(report) as f:
        for line in f:
            fields = line.split()
            if len(fields) >= 5 and fields[-1] != "total" and fields[3].isdigit():
                calls[fields[-1]] = int(fields[3])
    os.remove(report)
    return calls


def per_file(with_update, without, files):
    return {name: (count - without.get(name, 0)) / files for name, count in with_update.items()}


def breakdown(counts):
    return ", ".join(f"{name} {n:.2f}" for name, n in sorted(counts.items(), key=lambda item: -item[1])
                     if abs(n) >= 0.05)


def measure(args):
    if not shutil.which("strace"):
        raise NotMeasured("strace is missing")
    files = args.small_files
    empty, with_update = os.path.join(args.scratch, "calls-none"), os.path.join(args.scratch, "calls-update")
    for install in (empty, with_update):
        copy_executables(args.bin, install, ["launcher", "Lobby.exe"])
    make_small_update(with_update, 11, files)
    os.sync()
    counts = per_file(count_calls(with_update), count_calls(empty), files)
    total = sum(counts.values())
    print(f"calls: {files} small files, half replacing; per update file {total:.1f}: " + breakdown(counts))
    return {"": Result(total, f"{total:.1f}")}
