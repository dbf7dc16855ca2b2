"""update: installing a generated update of many files (200 MiB by default, half of them replacing
files), the Launcher timed from its start to the Lobby's start less the settle wait (its exit
beside it), against `cp -a` of the same tree onto the same install folder followed by `sync -f` (a
copy made durable, as the Launcher makes its installation before it records it complete): on the
scratch folder's file system, where files are linked into place; the same with the update's folder
a link to a folder on a tmpfs, so that every file takes the copy that stands in where the file
system refuses a link; and everything on a tmpfs, against a plain `cp -a`, with the floor of that
figure beside it: `minimal_copier --link`, which makes only the calls per file that linking with
backups needs, to the moment its new version is on the disk. Each round runs every side, who goes
first alternating. One more run under strace tells what the Launcher's flush (syncfs) costs."""

import os
import random
import shutil
import tempfile
import time
from statistics import median

import timing
from rounds import Ratios, Result, check_contents
from trees import MiB, TreeWriter, copy_executables, older_versions, plan_tree, print_filesystem_note, write_tree

LAUNCHERS = {"launcher": "cp -a + sync", "launcher, copies": "cp -a + sync", "launcher on tmpfs": "cp -a on tmpfs"}
FLOOR = "floor on tmpfs"


def measure(args):
    rng = random.Random(20240611)
    total = args.update_mib * MiB
    dirs, plan = plan_tree(rng, args.update_files, total, args.update_folders, large_files=4)
    master_update = os.path.join(args.scratch, "update-master")
    master_install = os.path.join(args.scratch, "install-master")

    started = time.monotonic()
    write_tree(master_update, dirs, plan, TreeWriter(1), "new")
    old_plan = older_versions(rng, plan, 0.5)
    write_tree(master_install, dirs, old_plan, TreeWriter(2), "old")
    copy_executables(args.bin, master_install, ["launcher", "Lobby.exe"])
    old_bytes = sum(size for _, size in old_plan)
    os.sync()
    print_filesystem_note(args.scratch)
    print(f"update: {len(plan)} files, {total / MiB:.0f} MiB in {len(dirs) - 1} folders over an install "
          f"with {len(old_plan)} of them ({old_bytes / MiB:.0f} MiB); generated in "
          f"{time.monotonic() - started:.1f} s")

    work = args.scratch
    shm = tempfile.mkdtemp(prefix="bench-", dir=args.tmpfs) if args.tmpfs else None
    # name: (where the install folder lies, where its update's files lie when not in it); the
    # pairs run back to back.
    where = {"launcher": (work, None), "cp -a + sync": (work, None)}
    pairs = [("launcher", "cp -a + sync")]
    if shm:
        where.update({"launcher, copies": (work, shm), "cp -a on tmpfs": (shm, None), "launcher on tmpfs": (shm, None),
                      FLOOR: (shm, None)})
        pairs += [("launcher, copies",), ("launcher on tmpfs", "cp -a on tmpfs", FLOOR)]
    runs = {name: [] for name in where}
    syncs = []
    # Finished runs on disk stay until the end: deleting them here would slow the creations in the
    # runs that follow on some file systems (see filesystem_note), and unevenly.
    try:
        for round_index in range(args.update_rounds):
            order = [name for pair in pairs for name in (pair if round_index % 2 == 0 else pair[::-1])]
            for index, name in enumerate(order):
                root, elsewhere = where[name]
                target = os.path.join(root, "runs", f"{round_index}-{index}")
                os.makedirs(os.path.dirname(target), exist_ok=True)
                timing.run(["cp", "-a", master_install, target])
                update = os.path.join(target, "update_1")
                if elsewhere:
                    # No file of an update on another volume can be linked into the install folder.
                    timing.run(["cp", "-a", master_update, os.path.join(elsewhere, f"update-{round_index}")])
                    os.symlink(os.path.join(elsewhere, f"update-{round_index}"), update)
                elif name in LAUNCHERS or name == FLOOR:
                    timing.run(["cp", "-a", master_update, update])
                # What the preparation wrote must not be written back on the timed run's clock.
                os.sync()
                if name == FLOOR:
                    result = timing.time_minimal_copier(args.bin, update, target, link=True)
                    check_contents(target, master_update, plan)
                    detail = f"to on disk {result.to_disk:7.3f} s, to its exit {result.to_exit:7.3f} s"
                    runs[name].append(result.to_disk)
                elif name in LAUNCHERS:
                    result = timing.time_launcher(target, len(plan))
                    detail = (f"to the Lobby's start {result.to_lobby:7.3f} s, to its exit {result.to_exit:7.3f} s"
                              f"   ({timing.stretches_text(result, 2)})")
                    runs[name].append(result)
                else:
                    copied, synced = timing.time_cp(master_update, target, sync=root != shm)
                    detail = f"{copied + synced:7.3f} s" + (f"   (of which sync {synced:.2f})" if root != shm else "")
                    runs[name].append(copied + synced)
                    if root != shm:
                        syncs.append(synced)
                print(f"  round {round_index + 1}: {name:18s} {detail}")
                if root == shm:
                    shutil.rmtree(target, ignore_errors=True)
            if shm:
                shutil.rmtree(os.path.join(shm, f"update-{round_index}"), ignore_errors=True)

        # Untimed: the flush's share of an installation on disk.
        target = os.path.join(work, "runs", "flush")
        timing.run(["cp", "-a", master_install, target])
        timing.run(["cp", "-a", master_update, os.path.join(target, "update_1")])
        os.sync()
        flush = timing.time_launcher_flush(target)
    finally:
        if shm:
            shutil.rmtree(shm, ignore_errors=True)

    results = {}
    for name, baseline in LAUNCHERS.items():
        if not runs.get(name):
            continue
        to_lobby, to_exit = [r.to_lobby for r in runs[name]], [r.to_exit for r in runs[name]]
        ratios = Ratios(to_lobby, runs[baseline])
        exits = median(to_exit) / median(runs[baseline])
        stretches = {key: median(r.stretches.get(key, 0) for r in runs[name]) for key in runs[name][0].stretches}
        print(f"  {name}: to the Lobby's start median {median(to_lobby):.3f} s, to its exit {median(to_exit):.3f} s; "
              f"{baseline} median {median(runs[baseline]):.3f} s")
        print(f"    / {baseline}: {ratios}; to its exit {exits:.2f}; its time (medians) " +
              ", ".join(f"{key} {seconds:.2f} s" for key, seconds in stretches.items()))
        results[name] = Result(ratios.median, f"{ratios}; medians {median(to_lobby):.2f}/{median(runs[baseline]):.2f} s; "
                                              f"to its exit {exits:.2f}")
    if runs.get(FLOOR):
        floor = Ratios(runs[FLOOR], runs["cp -a on tmpfs"])
        over = Ratios([r.to_lobby for r in runs["launcher on tmpfs"]], runs[FLOOR])
        print(f"  {FLOOR}: minimal_copier --link to on disk median {median(runs[FLOOR]):.3f} s; / cp -a on tmpfs: "
              f"{floor}; the launcher to the Lobby's start / it: {over}")
        results[FLOOR] = Result(floor.median, f"{floor}; the launcher to the Lobby's start / it {over.median:.2f}")
    if not shm:
        results["launcher, copies"] = results["launcher on tmpfs"] = results[FLOOR] = "no tmpfs (--shm)"
    if flush is None:
        results["flush"] = "strace is missing"
    else:
        print(f"  the launcher's flush (syncfs, one run under strace): {flush:.3f} s; sync after cp -a: median "
              f"{median(syncs):.3f} s")
        results["flush"] = Result(None, f"the launcher's flush before completion {flush:.2f} s; "
                                        f"sync -f after cp -a {median(syncs):.2f} s")
    return results
