"""memory: the Launcher's peak resident set (/usr/bin/time -v) while it installs an update of many
small files (100,000 by default), its peak without an update beside it."""

import os
import random
import re
import subprocess
import time

import timing
from rounds import NotMeasured, Result
from trees import TreeWriter, copy_executables, plan_folders, write_tree


def measure(args):
    if not os.access("/usr/bin/time", os.X_OK):
        raise NotMeasured("/usr/bin/time is missing (Debian package time)")
    files, folders, file_size = args.memory_files, args.memory_folders, args.memory_file_size
    install = os.path.join(args.scratch, "memory")
    copy_executables(args.bin, install, ["launcher", "Lobby.exe"])
    report = os.path.join(args.scratch, "time-v.txt")

    def peak_kib():
        with open(os.devnull, "wb") as out:
            timing.run(["/usr/bin/time", "-v", "-o", report, os.path.join(install, "launcher")], cwd=install,
                       stdout=out, stdin=subprocess.DEVNULL)
        timing.reap_lobbies(1)
        with open(report) as f:
            text = f.read()
        return int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", text).group(1)), \
            re.search(r"Elapsed \(wall clock\) time.*: (\S+)", text).group(1)

    idle_kib, _ = peak_kib()
    started = time.monotonic()
    rng = random.Random(7)
    dirs = plan_folders(rng, folders)
    plan = [(os.path.join(rng.choice(dirs[1:]), f"small{i:06d}.dat"), file_size) for i in range(files)]
    write_tree(os.path.join(install, "update_1"), dirs, plan, TreeWriter(3), "small")
    os.sync()
    generated = time.monotonic() - started
    update_kib, elapsed = peak_kib()
    print(f"memory: update of {files} files of {file_size} bytes in {folders} folders (generated in "
          f"{generated:.1f} s)")
    print(f"  peak resident set, no update:  {idle_kib / 1024:6.1f} MiB")
    print(f"  peak resident set, the update: {update_kib / 1024:6.1f} MiB   (whole run {elapsed}, "
          f"5 s of it the settle wait)")
    return {"": Result(update_kib / 1024, f"{update_kib / 1024:.1f} MiB (without an update {idle_kib / 1024:.1f} MiB)")}
