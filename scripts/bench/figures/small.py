"""small: an update of 2,000 files of 5 to 45 KB by default, half of them replacing files, all on a
tmpfs, the Launcher to the Lobby's start (less the settle wait; its exit beside it) against
`cp -a`: where little data moves, the per-file work shows. Each round runs both, who goes first
alternating, and checks the Launcher's result file by file."""

import os
import shutil
import tempfile
from statistics import median

import timing
from rounds import NotMeasured, Ratios, Result, check_contents
from trees import copy_executables, make_small_update


def measure(args):
    if not args.tmpfs:
        raise NotMeasured("no tmpfs (--shm)")
    files = args.small_files
    root = tempfile.mkdtemp(prefix="bench-small-", dir=args.tmpfs)
    try:
        master_update, master_install = os.path.join(root, "update"), os.path.join(root, "install")
        plan = make_small_update(master_install, 11, files)
        os.rename(os.path.join(master_install, "update_1"), master_update)
        copy_executables(args.bin, master_install, ["launcher", "Lobby.exe"])
        print(f"small: {files} files of 5 to 45 KB, half replacing files, on a tmpfs")
        runs = {"launcher": [], "cp -a": []}
        for round_index in range(args.small_rounds):
            order = ("launcher", "cp -a") if round_index % 2 == 0 else ("cp -a", "launcher")
            for name in order:
                target = os.path.join(root, f"run-{round_index}-{name[0]}")
                timing.run(["cp", "-a", master_install, target])
                if name == "launcher":
                    timing.run(["cp", "-a", master_update, os.path.join(target, "update_1")])
                    result = timing.time_launcher(target, files)
                    check_contents(target, master_update, plan)
                    detail = (f"to the Lobby's start {result.to_lobby:7.3f} s, to its exit {result.to_exit:7.3f} s"
                              f"   ({timing.stretches_text(result)})")
                else:
                    result = timing.time_cp(master_update, target, sync=False)[0]
                    detail = f"{result:7.3f} s"
                runs[name].append(result)
                print(f"  round {round_index + 1}: {name:8s} {detail}")
                shutil.rmtree(target, ignore_errors=True)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    to_lobby, to_exit = [r.to_lobby for r in runs["launcher"]], [r.to_exit for r in runs["launcher"]]
    ratios = Ratios(to_lobby, runs["cp -a"])
    exits = median(to_exit) / median(runs["cp -a"])
    print(f"  medians: launcher to the Lobby's start {median(to_lobby):.3f} s, to its exit {median(to_exit):.3f} s; "
          f"cp -a {median(runs['cp -a']):.3f} s")
    print(f"  launcher / cp -a: {ratios}; to its exit {exits:.2f}")
    return {"": Result(ratios.median, f"{ratios}; medians {median(to_lobby):.3f}/{median(runs['cp -a']):.3f} s; "
                                      f"to its exit {exits:.2f}")}
