"""exfat: installing an update shaped like an application's dependencies (450 files, 5 MiB in
nested folders by default, 90% of them replacing files) on an exFAT volume (an image mounted with
exfat-fuse; needs root), where nothing can be linked: the Launcher to the Lobby's start against
minimal_copier to the moment its copies are on the disk, each round running the two back to back;
`cp -r` + `sync -f` beside them."""

import os
import shutil
import subprocess

from rounds import NotMeasured, copy_race, copy_result
from timing import leaving_orphans, run
from trees import MiB, copy_executables, make_dependency_tree


def unavailable():
    """Why no exFAT volume can be mounted here, or None."""
    if os.geteuid() != 0:
        return "mounting an exFAT image needs root"
    if not shutil.which("mkfs.exfat"):
        return "mkfs.exfat is missing (Debian package exfatprogs)"
    if not (shutil.which("mount.exfat-fuse") or os.path.exists("/sbin/mount.exfat-fuse")):
        return "mount.exfat-fuse is missing (Debian package exfat-fuse)"
    if not os.path.exists("/dev/fuse"):
        return "no /dev/fuse"
    return None


def flush_fuse(folder):
    # sync(2) does not reach exfat-fuse's own state; an fsync there has the daemon write all of it,
    # so that no run pays for what the setup wrote.
    os.sync()
    descriptor = os.open(os.path.join(folder, "Lobby.exe"), os.O_RDONLY)
    os.fsync(descriptor)
    os.close(descriptor)


def measure(args):
    reason = unavailable()
    if reason:
        raise NotMeasured(reason)
    files, total_mib = args.copy_files, args.copy_mib
    root = os.path.join(args.scratch, "exfat")
    os.makedirs(root)
    master_update, master_install, plan, folders, replaced = make_dependency_tree(root, 17, files, total_mib, 0.9)
    copy_executables(args.bin, master_install, ["launcher", "Lobby.exe"])
    image, volume = os.path.join(root, "volume.img"), os.path.join(root, "volume")
    os.makedirs(volume)
    # Room for one run's install, update and executables several times over; runs are deleted.
    run(["truncate", "-s", str(max(256 * MiB, 8 * (total_mib * MiB * 2 + 16 * MiB))), image])
    mounted = False
    try:
        step = "mkfs.exfat"
        made = subprocess.run(["mkfs.exfat", image], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if made.returncode == 0:
            step = "mount -t exfat-fuse"
            with leaving_orphans():
                made = subprocess.run(["mount", "-o", "loop", "-t", "exfat-fuse", image, volume],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            mounted = made.returncode == 0
        if not mounted:
            raise NotMeasured(f"{step} failed here: " + made.stderr.decode(errors="replace").strip())
        print(f"exfat: {len(plan)} files, {total_mib} MiB in {folders} folders, {replaced} of them replacing "
              f"files; install and update on exFAT (exfat-fuse on a loop device), so every file is copied")

        def prepare(round_index, name):
            target = os.path.join(volume, f"run-{round_index}-{name[0]}")
            run(["cp", "-r", master_install, target])
            update = os.path.join(target, "update_1")
            run(["cp", "-r", master_update, update])
            flush_fuse(target)
            return target, update, update

        def finish(name, target, update):
            shutil.rmtree(target)

        runs = copy_race(args.bin, args.copy_rounds, plan, master_update, prepare, finish, "cp -r + sync", "-r")
        return {"": copy_result(runs, "cp -r + sync")}
    finally:
        if mounted and subprocess.run(["umount", volume]).returncode != 0:
            subprocess.run(["umount", "-l", volume])
        shutil.rmtree(root, ignore_errors=True)
