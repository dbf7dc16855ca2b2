"""copies: an update shaped like an application's dependencies (as for exfat) with the install
folder on the scratch disk and the update's folder a link to a folder on a tmpfs, so that every
file is copied across volumes: the Launcher to the Lobby's start against minimal_copier to the
moment its copies are on the disk, each round running the two back to back; `cp -a` + `sync -f`
beside them."""

import os
import shutil
import tempfile

from rounds import NotMeasured, copy_race, copy_result
from timing import run
from trees import copy_executables, make_dependency_tree, print_filesystem_note


def measure(args):
    if not args.tmpfs:
        raise NotMeasured("no tmpfs for the update (--shm)")
    files, total_mib = args.copy_files, args.copy_mib
    root = os.path.join(args.scratch, "copies")
    os.makedirs(root)
    shm = tempfile.mkdtemp(prefix="bench-copies-", dir=args.tmpfs)
    try:
        _, master_install, plan, folders, replaced = make_dependency_tree(root, 19, files, total_mib, 0.9)
        master_update = os.path.join(shm, "update-master")
        shutil.move(os.path.join(root, "update-master"), master_update)
        copy_executables(args.bin, master_install, ["launcher", "Lobby.exe"])
        os.sync()
        print_filesystem_note(args.scratch)
        print(f"copies: {len(plan)} files, {total_mib} MiB in {folders} folders, {replaced} of them replacing "
              f"files; install on the scratch disk, update a link to a folder on a tmpfs, so every file is copied")

        def elsewhere(target):
            return os.path.join(shm, "update-" + os.path.basename(target))

        def prepare(round_index, name):
            target = os.path.join(root, "runs", f"{round_index}-{name[0]}")
            os.makedirs(os.path.dirname(target), exist_ok=True)
            run(["cp", "-a", master_install, target])
            run(["cp", "-a", master_update, elsewhere(target)])
            update = os.path.join(target, "update_1")
            os.sync()
            if not name.startswith("cp "):
                os.symlink(elsewhere(target), update)
            return target, update, elsewhere(target)

        # Finished runs stay until the end, as in the update figure; their updates go at once.
        def finish(name, target, update):
            if os.path.islink(update):
                os.remove(update)
            shutil.rmtree(elsewhere(target))

        runs = copy_race(args.bin, args.copy_rounds, plan, master_update, prepare, finish, "cp -a + sync", "-a")
        return {"": copy_result(runs, "cp -a + sync")}
    finally:
        shutil.rmtree(shm, ignore_errors=True)
