"""copycalls: system calls per update file on Linux (strace -c) for the small update with its
folder a link to a folder on a tmpfs, so that every file is copied; minimal_copier's beside them."""

import os
import shutil
import tempfile

import timing
from figures.calls import breakdown, count_calls, per_file
from rounds import NotMeasured, Result
from trees import copy_executables, make_small_update


def measure(args):
    if not args.tmpfs:
        raise NotMeasured("no tmpfs for the update (--shm)")
    if not shutil.which("strace"):
        raise NotMeasured("strace is missing")
    files = args.small_files
    root = os.path.join(args.scratch, "copycalls")
    shm = tempfile.mkdtemp(prefix="bench-copycalls-", dir=args.tmpfs)
    try:
        empty, master = os.path.join(root, "none"), os.path.join(root, "master")
        for install in (empty, master):
            copy_executables(args.bin, install, ["launcher", "Lobby.exe"])
        make_small_update(master, 23, files)
        master_update = os.path.join(shm, "update-master")
        shutil.move(os.path.join(master, "update_1"), master_update)
        empty_update = os.path.join(shm, "update-empty")
        os.makedirs(empty_update)

        def install_from(name, update):
            """A fresh copy of the install whose update_1 is a link to a fresh copy of `update`."""
            target = os.path.join(root, name)
            timing.run(["cp", "-a", master if update == master_update else empty, target])
            timing.run(["cp", "-a", update, os.path.join(shm, name)])
            os.symlink(os.path.join(shm, name), os.path.join(target, "update_1"))
            return target

        launcher = install_from("launcher", master_update)
        minimal_base = install_from("minimal-none", empty_update)
        minimal = install_from("minimal", master_update)
        os.sync()
        base, calls = count_calls(empty), count_calls(launcher)

        def minimal_calls(install):
            return count_calls(install, [os.path.join(args.bin, "minimal_copier"), os.path.join(install, "update_1"),
                                         install, os.path.join(install, timing.MINIMAL_BACKUP)])

        minimal_none, minimal_update = minimal_calls(minimal_base), minimal_calls(minimal)
    finally:
        shutil.rmtree(shm, ignore_errors=True)

    launcher_per_file, minimal_per_file = per_file(calls, base, files), per_file(minimal_update, minimal_none, files)
    total, minimal_total = sum(launcher_per_file.values()), sum(minimal_per_file.values())
    print(f"copycalls: {files} small files, half replacing, the update a link to a folder on a tmpfs, so "
          f"every file is copied; system calls")
    for label, counts, count in (("launcher", launcher_per_file, total),
                                 ("minimal_copier", minimal_per_file, minimal_total)):
        print(f"  {label} per update file {count:.1f}: " + breakdown(counts))
    return {"": Result(total, f"{total:.1f} (minimal_copier {minimal_total:.1f})")}
