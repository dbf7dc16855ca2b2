#!/usr/bin/python3
"""Times the Launcher against the least that each of its jobs needs, on this machine, in one run.

launch  the Launcher with no pending update, from its start to its exit, against minimal_start,
        which only starts the same Lobby detached.
update  installing an update (everything after the last "killing lobby processes" line, so the
        fixed settle wait is left out) against `cp -a` of the same tree onto the same install
        folder followed by `sync -f` (a copy made durable, as the Launcher makes its installation
        before it records it complete): on the scratch folder's file system, where files are
        linked into place; the same with the update's folder a link to a folder on a tmpfs, so that
        every file takes the copy that stands in where the file system refuses a link; and
        everything on a tmpfs, against a plain `cp -a`. One more run under strace tells what the
        Launcher's flush (syncfs) costs.
small   an update of 2,000 files of 5 to 45 KB, half of them replacing files, all on a tmpfs, against
        `cp -a`: where little data moves, the per-file work shows.
calls   system calls per update file on Linux (strace -c), for the same small update: the calls of a
        run with the update less those of a run without, over the number of files.
opens   file opens per update file of Launcher.exe under Wine (NtCreateFile and NtOpenFile in
        Wine's file trace, on the Launcher's own thread), for an update of 100 small files, half of
        them replacing files: on Windows every open passes every file-system filter, scanners too.
memory  the Launcher's peak resident set while it installs an update of many small files.
exfat   installing an update shaped like an application's dependencies (450 files, 5 MiB in nested
        folders, 90% of them replacing files) on an exFAT volume (an image mounted with exfat-fuse;
        needs root), where nothing can be linked, against minimal_copier, which does only the least
        that keeping a backup of each replaced file needs (status, move aside, exclusive create and
        copy, one syncfs, the backups deleted); `cp -r` + `sync -f` beside them.
copies  the same kind of update with the install folder on the scratch disk and the update's folder
        a link to a folder on a tmpfs, so every file is copied: the Launcher against minimal_copier,
        `cp -a` + `sync -f` beside them.
copycalls  system calls per update file on Linux (strace -c) for the small update with its folder a
        link to a folder on a tmpfs, so every file is copied; minimal_copier's beside them.

Figures are ratios of wall times measured alternately in the same run, so a busy machine slows
both sides alike; they are no substitute for a quiet machine.
"""

import argparse
import ctypes
import os
import random
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

MiB = 1 << 20
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
GOAL_LAUNCH_RATIO = 1.5
GOAL_UPDATE_RATIO = 0.6
GOAL_UPDATE_TMPFS_RATIO = 0.9
GOAL_PEAK_MIB = 64
GOAL_SMALL_RATIO = 0.9
GOAL_CALLS_PER_FILE = 7
GOAL_OPENS_PER_FILE = 5
GOAL_COPIES_RATIO = 1.15
GOAL_CALLS_PER_COPIED_FILE = 10
SKIP_SLEEP = ["-e", "inject=clock_nanosleep,nanosleep:retval=0"]


def adopt_orphans():
    # Both the Launcher and minimal_start leave a Lobby behind. As a subreaper this process
    # inherits it, so each round can wait until that Lobby is gone instead of letting it run into
    # the next timed start; and no zombie is left behind.
    PR_SET_CHILD_SUBREAPER = 36
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_CHILD_SUBREAPER)")


def reap_orphans(count):
    """Waits for `count` adopted processes to end; returns how many did. A parent's exit hands its
    children over before anyone learns of that exit, so the Lobby is ours to wait for by then."""
    reaped = 0
    while reaped < count:
        try:
            os.waitpid(-1, 0)
        except ChildProcessError:
            break
        reaped += 1
    return reaped


def see_exits_at_once():
    """Real-time priority for this process; returns the scheduling that programs it starts must
    get back, or None where that is not allowed.

    Whoever is started leaves a Lobby behind that still loads its libraries (about a millisecond)
    when the program under test exits. On two cores, one of them busy, that Lobby competes with
    this process for the other one, and the exit would be seen only after the Lobby's time slice:
    a millisecond charged to whichever program happened to run before it."""
    try:
        os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(1))
    except OSError:
        return None
    return (os.SCHED_OTHER, os.sched_param(0))


def filesystem_note(path):
    """What about the file system under `path` bends the update figures, or None."""
    best = ("", "", "", "")
    with open("/proc/self/mountinfo") as f:
        for line in f:
            fields = line.split()
            mount_point, options = fields[4], fields[5]
            fs_type, source, super_options = fields[fields.index("-") + 1:][:3]
            inside = path == mount_point or path.startswith(mount_point.rstrip("/") + "/")
            if inside and len(mount_point) >= len(best[0]):
                best = (mount_point, fs_type, source, options + "," + super_options)
    mount_point, fs_type, source, options = best
    if fs_type != "ext4":
        return None
    device = os.path.basename(source)
    journaled = any(name.startswith(device + "-") for name in os.listdir("/proc/fs/jbd2")) \
        if os.path.isdir("/proc/fs/jbd2") else True
    notes = []
    if not journaled:
        notes.append("ext4 without a journal: creating a file passes over every inode freed in its "
                     "group in the last 5 minutes, so creations slow down after mass deletions")
    if "discard" in options.split(","):
        notes.append("mounted with 'discard': freeing blocks of files already written back issues the "
                     "discard at once" + (", inside unlink and truncate" if not journaled else ""))
    return f"{source} on {mount_point}: " + "; ".join(notes) if notes else None


def ms(ns):
    return ns / 1e6


def describe(samples_ns):
    return statistics.median(samples_ns), statistics.fmean(samples_ns)


def status(value, goal, below=False):
    ok = value < goal if below else value <= goal
    return "PASS" if ok else "MISS"


def line_count(path):
    try:
        with open(path, "rb") as f:
            return sum(1 for _ in f)
    except FileNotFoundError:
        return 0


def copy_executables(bin_dir, folder, names):
    os.makedirs(folder, exist_ok=True)
    for name in names:
        shutil.copy2(os.path.join(bin_dir, name), os.path.join(folder, name))


def bench_launch(bin_dir, work, runs):
    install = os.path.join(work, "launch")
    copy_executables(bin_dir, install, ["launcher", "Lobby.exe", "minimal_start"])
    launcher = os.path.join(install, "launcher")
    minimal = os.path.join(install, "minimal_start")
    lobby = os.path.join(install, "Lobby.exe")
    record = os.path.join(install, "lobby-runs.jsonl")
    commands = {"launcher": [launcher], "minimal": [minimal, lobby]}

    devnull = os.open(os.devnull, os.O_RDWR)
    actions = [(os.POSIX_SPAWN_DUP2, devnull, 0), (os.POSIX_SPAWN_DUP2, devnull, 1),
               (os.POSIX_SPAWN_DUP2, devnull, 2)]
    env = dict(os.environ)
    scheduler = see_exits_at_once()
    spawn_options = {"scheduler": scheduler} if scheduler else {}
    samples = {name: [] for name in commands}
    failures = {name: 0 for name in commands}
    missing_lobbies = 0
    previous = os.getcwd()
    # The Launcher writes its timing log into the current folder: keep it inside the install.
    os.chdir(install)
    try:
        warmup = 10
        for i in range(warmup + runs):
            order = ("launcher", "minimal") if i % 2 == 0 else ("minimal", "launcher")
            for name in order:
                argv = commands[name]
                start = time.perf_counter_ns()
                pid = os.posix_spawn(argv[0], argv, env, file_actions=actions, **spawn_options)
                _, wait_status = os.waitpid(pid, 0)
                end = time.perf_counter_ns()
                if os.waitstatus_to_exitcode(wait_status) != 0:
                    failures[name] += 1
                missing_lobbies += 1 - reap_orphans(1)
                if i >= warmup:
                    samples[name].append(end - start)
    finally:
        if scheduler:
            os.sched_setscheduler(0, *scheduler)
        os.chdir(previous)
        os.close(devnull)

    started = line_count(record)
    expected = 2 * (warmup + runs)
    launcher_median, launcher_mean = describe(samples["launcher"])
    minimal_median, minimal_mean = describe(samples["minimal"])
    ratio = launcher_median / minimal_median
    print(f"launch: {runs} runs each, alternating, after {warmup} unmeasured"
          + ("" if scheduler else "; no real-time priority here, so Lobby start-ups may blur the figures"))
    print(f"  launcher       median {ms(launcher_median):7.3f} ms   mean {ms(launcher_mean):7.3f} ms")
    print(f"  minimal_start  median {ms(minimal_median):7.3f} ms   mean {ms(minimal_mean):7.3f} ms")
    print(f"  ratio launcher/minimal: median {ratio:.2f}   mean {launcher_mean / minimal_mean:.2f}")
    if failures["launcher"] or failures["minimal"] or started != expected or missing_lobbies:
        print(f"  warning: failed exits {failures}, Lobby starts recorded {started} of {expected}, "
              f"Lobbies not seen ending {missing_lobbies}")
    shutil.rmtree(install, ignore_errors=True)
    return {"launcher_ms": ms(launcher_median), "minimal_ms": ms(minimal_median), "ratio": ratio}


class TreeWriter:
    """Deterministic file contents: a seeded block, rotated per file behind a header naming the
    file, so that no two files are alike and nothing has to come from a random source."""

    def __init__(self, seed):
        block = random.Random(seed).randbytes(MiB)
        self.doubled = memoryview(block + block)

    def write(self, path, index, size, tag):
        header = f"{tag} {index} {path}\n".encode()[:size]
        offset = (index * 7919 * 64) % MiB
        with open(path, "wb", buffering=0) as f:
            f.write(header)
            left = size - len(header)
            while left > 0:
                n = min(left, MiB)
                f.write(self.doubled[offset:offset + n])
                left -= n


def plan_folders(rng, folders):
    """The install root and `folders` folders below it, nested up to four levels."""
    dirs = [""]
    depth = {"": 0}
    for k in range(folders):
        parent = rng.choice([d for d in dirs if depth[d] < 4])
        path = os.path.join(parent, f"dir{k:03d}")
        dirs.append(path)
        depth[path] = depth[parent] + 1
    return dirs


def plan_tree(rng, files, total_bytes, folders, large_files):
    """Relative paths and sizes: log-uniform sizes and a handful of large files, as an
    application update has them."""
    dirs = plan_folders(rng, folders)
    extensions = [".dll", ".bin", ".pak", ".json", ".png", ".js", ".dat"]

    large = [rng.uniform(0.03, 0.08) * total_bytes for _ in range(large_files)]
    weights = [2 ** rng.uniform(6, 21) for _ in range(files - large_files)]
    rest = total_bytes - sum(large)
    scale = rest / sum(weights)
    sizes = [max(1, int(w * scale)) for w in weights] + [int(s) for s in large]
    sizes[-1] += total_bytes - sum(sizes)
    rng.shuffle(sizes)

    plan = []
    for i, size in enumerate(sizes):
        folder = rng.choice(dirs)
        plan.append((os.path.join(folder, f"file{i:06d}{rng.choice(extensions)}"), size))
    return dirs, plan


def write_tree(root, dirs, plan, writer, tag):
    for d in dirs:
        os.makedirs(os.path.join(root, d), exist_ok=True)
    for i, (relative, size) in enumerate(plan):
        writer.write(os.path.join(root, relative), i, size, tag)


def run(argv, **kwargs):
    subprocess.run(argv, check=True, **kwargs)


PHASES = (("listing", b"copying "), ("copying", b"deleting rollback folder "),
          ("cleaning up", b"storageFolder: "), ("reading the site settings", b"searching for lobby "))


def time_launcher_install(install, expected_files):
    """Seconds from the last "killing lobby processes" line to the moment the Launcher starts the
    Lobby (its "searching for lobby" line), and how they divide between listing the update, copying
    it, removing the backups and retiring the update folder, and reading the site settings (as far
    as the lines printed in between tell); beside them what followed until its exit: starting the
    Lobby and deleting what is left of retired update folders, which the user does not wait for."""
    errors = tempfile.TemporaryFile()
    process = subprocess.Popen([os.path.join(install, "launcher")], cwd=install,
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=errors)
    fd = process.stdout.fileno()
    killing = None
    seen = {}
    copying = 0
    first_copy = None
    pending = b""
    # The Lobby gets /dev/null as its output, so the pipe closes when the Launcher ends. A line
    # is stamped with the time its chunk arrived: during the settle wait the pipe is empty, so
    # the "killing" line arrives alone and at once.
    while True:
        chunk = os.read(fd, 1 << 16)
        now = time.perf_counter_ns()
        if not chunk:
            break
        lines = (pending + chunk).split(b"\n")
        pending = lines.pop()
        for line in lines:
            if line.startswith(b"copying "):
                copying += 1
                if first_copy is None:
                    first_copy = line.decode(errors="replace")
                    seen[b"copying "] = now
            elif line == b"killing lobby processes":
                killing = now
                seen.clear()
            else:
                for _, prefix in PHASES[1:]:
                    if line.startswith(prefix):
                        seen[prefix] = now
    code = process.wait()
    end = time.perf_counter_ns()
    process.stdout.close()
    reap_orphans(1)
    errors.seek(0)
    problem = None
    if code != 0 or killing is None:
        problem = f"exit {code}: {errors.read().decode(errors='replace').strip()}"
    elif copying != expected_files:
        problem = f"{copying} files copied, {expected_files} expected"
    elif f" using as rollback {os.path.join(install, 'zintu_rollback')}" not in first_copy:
        problem = f"rollback folder not in the install folder: {first_copy}"
    elif os.path.lexists(os.path.join(install, "update_1")):
        problem = "update folder left behind"
    elif len(seen) != len(PHASES):
        problem = f"missing lines: {[p.decode() for _, p in PHASES if p not in seen]}"
    errors.close()
    if problem:
        raise RuntimeError("launcher: " + problem)
    marks = [killing] + [seen[prefix] for _, prefix in PHASES]
    phases = {name: (marks[i + 1] - marks[i]) / 1e9 for i, (name, _) in enumerate(PHASES)}
    phases["then until its exit"] = (end - marks[-1]) / 1e9
    return (marks[-1] - killing) / 1e9, phases


def time_cp(update, install, flag="-a"):
    """Seconds of `cp -a` (or `flag`) of the update over the install folder, and of the `sync -f`
    after it."""
    start = time.perf_counter_ns()
    run(["cp", flag, update + "/.", install + "/"])
    copied = time.perf_counter_ns()
    run(["sync", "-f", install])
    return (copied - start) / 1e9, (time.perf_counter_ns() - copied) / 1e9


def time_launcher_flush(install):
    """Seconds that the Launcher's flush of the file system (syncfs) takes in an installation, from
    a run under strace that traces nothing else; None without strace."""
    if not shutil.which("strace"):
        return None
    trace = os.path.join(install, "..", os.path.basename(install) + ".strace")
    with open(os.devnull, "wb") as out:
        run(["strace", "-f", "--seccomp-bpf", "-qq", "-T", "-e", "trace=syncfs", "-o", trace,
             os.path.join(install, "launcher")], cwd=install, stdout=out, stdin=subprocess.DEVNULL)
    reap_orphans(1)
    with open(trace) as f:
        durations = [float(m.group(1)) for m in re.finditer(r"syncfs\(.*<([0-9.]+)>", f.read())]
    os.remove(trace)
    return sum(durations)


def bench_update(bin_dir, work, files, total_mib, folders, rounds, shm_root):
    rng = random.Random(20240611)
    total = total_mib * MiB
    dirs, plan = plan_tree(rng, files, total, folders, large_files=4)
    master_update = os.path.join(work, "update-master")
    master_install = os.path.join(work, "install-master")

    started = time.monotonic()
    write_tree(master_update, dirs, plan, TreeWriter(1), "new")
    # Half of the update's files are already installed, with older content of another size.
    existing = sorted(rng.sample(range(len(plan)), len(plan) // 2))
    old_plan = [(plan[i][0], max(1, int(plan[i][1] * rng.uniform(0.5, 1.5)))) for i in existing]
    write_tree(master_install, dirs, old_plan, TreeWriter(2), "old")
    copy_executables(bin_dir, master_install, ["launcher", "Lobby.exe"])
    old_bytes = sum(size for _, size in old_plan)
    os.sync()
    note = filesystem_note(work)
    if note:
        print("note: " + note)
    print(f"update: {len(plan)} files, {total / MiB:.0f} MiB in {len(dirs) - 1} folders over an install "
          f"with {len(old_plan)} of them ({old_bytes / MiB:.0f} MiB); generated in "
          f"{time.monotonic() - started:.1f} s")

    # (name, where the install folder lies, where its update's files lie when not in it)
    shm = tempfile.mkdtemp(prefix="bench-", dir=shm_root) if shm_root else None
    variants = [("launcher", work, None)]
    if shm:
        variants += [("launcher, copies", work, shm), ("cp -a on tmpfs", shm, None), ("launcher on tmpfs", shm, None)]
    results = {name: [] for name in ["cp -a", "cp -a + sync", "sync"] + [name for name, _, _ in variants]}
    phases = {}
    # Finished runs on disk stay until the end: deleting them here would slow the creations in the
    # runs that follow on some file systems (see filesystem_note), and unevenly.
    try:
        for round_index in range(rounds):
            for index, (name, root, elsewhere) in enumerate(variants[:1] + [("cp -a", work, None)] + variants[1:]):
                target = os.path.join(root, "runs", f"{round_index}-{index}")
                os.makedirs(os.path.dirname(target), exist_ok=True)
                run(["cp", "-a", master_install, target])
                update = os.path.join(target, "update_1")
                if elsewhere:
                    # No file of an update on another volume can be linked into the install folder.
                    run(["cp", "-a", master_update, os.path.join(elsewhere, f"update-{round_index}")])
                    os.symlink(os.path.join(elsewhere, f"update-{round_index}"), update)
                elif name.startswith("launcher"):
                    run(["cp", "-a", master_update, update])
                # What the preparation wrote must not be written back on the timed run's clock.
                os.sync()
                if name.startswith("launcher"):
                    seconds, split = time_launcher_install(target, len(plan))
                    phases.setdefault(name, []).append(split)
                    detail = "   (" + ", ".join(f"{k} {v:.2f}" for k, v in split.items()) + ")"
                else:
                    seconds, synced = time_cp(master_update, target)
                    detail = f"   (then sync {synced:.2f})" if root != shm else ""
                    if root != shm:
                        results["cp -a + sync"].append(seconds + synced)
                        results["sync"].append(synced)
                results[name].append(seconds)
                print(f"  round {round_index + 1}: {name:20s} {seconds:7.3f} s{detail}")
                if root == shm:
                    shutil.rmtree(target, ignore_errors=True)
            if shm:
                shutil.rmtree(os.path.join(shm, f"update-{round_index}"), ignore_errors=True)

        # Untimed: the flush's share of an installation on disk.
        target = os.path.join(work, "runs", "flush")
        run(["cp", "-a", master_install, target])
        run(["cp", "-a", master_update, os.path.join(target, "update_1")])
        os.sync()
        flush = time_launcher_flush(target)
    finally:
        if shm:
            shutil.rmtree(shm, ignore_errors=True)

    medians = {name: statistics.median(seconds) for name, seconds in results.items() if seconds}
    figures = {}
    for name in [name for name, _, _ in variants] + ["cp -a", "cp -a + sync"]:
        if name in medians:
            print(f"  {name:20s}  median {medians[name]:7.3f} s")
    if flush is not None:
        print(f"  the launcher's flush (syncfs, one run under strace): {flush:.3f} s; sync after cp -a: median "
              f"{medians['sync']:.3f} s")
        figures["flush"] = (flush, medians["sync"])
    for name, baseline in (("launcher", "cp -a + sync"), ("launcher, copies", "cp -a + sync"),
                           ("launcher on tmpfs", "cp -a on tmpfs")):
        if name in medians:
            figures[name] = (medians[name], medians[baseline], medians[name] / medians[baseline])
            split = {k: statistics.median(p[k] for p in phases[name]) for k in phases[name][0]}
            print(f"  {name} / {baseline}: {medians[name] / medians[baseline]:.2f}; of which (medians) " +
                  ", ".join(f"{k} {v:.2f} s" for k, v in split.items()))
    return figures


def make_small_update(install, seed, files, folders=40, sizes=(5 << 10, 45 << 10)):
    """An update of `files` files of the given sizes in its update_1 folder, half of them replacing
    files of the install folder."""
    rng = random.Random(seed)
    dirs = plan_folders(rng, folders)
    plan = [(os.path.join(rng.choice(dirs), f"small{i:05d}.dat"), rng.randint(*sizes)) for i in range(files)]
    write_tree(os.path.join(install, "update_1"), dirs, plan, TreeWriter(seed), "new")
    old = [(relative, max(1, size // 2)) for relative, size in plan[::2]]
    write_tree(install, dirs, old, TreeWriter(seed + 1), "old")
    return plan


def bench_small(bin_dir, shm_root, files, rounds):
    root = tempfile.mkdtemp(prefix="bench-small-", dir=shm_root)
    try:
        master_update, master_install = os.path.join(root, "update"), os.path.join(root, "install")
        make_small_update(master_install, 11, files)
        os.rename(os.path.join(master_install, "update_1"), master_update)
        copy_executables(bin_dir, master_install, ["launcher", "Lobby.exe"])
        print(f"small: {files} files of 5 to 45 KB, half replacing files, on a tmpfs")
        results = {"launcher": [], "cp -a": []}
        for round_index in range(rounds):
            for name in ("launcher", "cp -a"):
                target = os.path.join(root, f"run-{round_index}-{name[0]}")
                run(["cp", "-a", master_install, target])
                if name == "launcher":
                    run(["cp", "-a", master_update, os.path.join(target, "update_1")])
                    seconds, _ = time_launcher_install(target, files)
                else:
                    seconds = time_cp(master_update, target)[0]
                results[name].append(seconds)
                print(f"  round {round_index + 1}: {name:10s} {seconds:7.3f} s")
                shutil.rmtree(target, ignore_errors=True)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    medians = {name: statistics.median(seconds) for name, seconds in results.items()}
    return medians["launcher"], medians["cp -a"], medians["launcher"] / medians["cp -a"]


def count_calls(install, argv=None):
    """System calls by name of one Linux launcher run in `install`, or of `argv` run there."""
    report = install + ".calls"
    with open(os.devnull, "wb") as out:
        run(["strace", "-c", "-o", report] + SKIP_SLEEP + (argv or [os.path.join(install, "launcher")]),
            cwd=install, stdout=out, stdin=subprocess.DEVNULL)
    if not argv:
        reap_orphans(1)
    calls = {}
    with open(report) as f:
        for line in f:
            fields = line.split()
            if len(fields) >= 5 and fields[-1] != "total" and fields[3].isdigit():
                calls[fields[-1]] = int(fields[3])
    os.remove(report)
    return calls


def bench_calls(bin_dir, work, files):
    if not shutil.which("strace"):
        print("calls: strace is missing; not measured")
        return None
    empty, with_update = os.path.join(work, "calls-none"), os.path.join(work, "calls-update")
    for install in (empty, with_update):
        copy_executables(bin_dir, install, ["launcher", "Lobby.exe"])
    make_small_update(with_update, 11, files)
    shutil.rmtree(os.path.join(empty, "update_1"), ignore_errors=True)
    os.sync()
    base, calls = count_calls(empty), count_calls(with_update)
    per_file = {name: (count - base.get(name, 0)) / files for name, count in calls.items()}
    total = sum(per_file.values())
    print(f"calls: {files} small files, half replacing; per update file {total:.1f}: " +
          ", ".join(f"{name} {count:.2f}" for name, count in sorted(per_file.items(), key=lambda item: -item[1])
                    if count >= 0.05))
    return total

def make_dependency_tree(root, seed, files, total_mib, replaced_share):
    """A master update and a master install below `root` as an application's dependencies have
    them: many small files in nested folders, most of them replacing older ones. Returns the two
    folders and the update's plan."""
    rng = random.Random(seed)
    dirs, plan = plan_tree(rng, files, total_mib * MiB, folders=max(1, files // 8), large_files=2)
    master_update, master_install = os.path.join(root, "update-master"), os.path.join(root, "install-master")
    write_tree(master_update, dirs, plan, TreeWriter(seed), "new")
    existing = sorted(rng.sample(range(len(plan)), round(len(plan) * replaced_share)))
    old_plan = [(plan[i][0], max(1, int(plan[i][1] * rng.uniform(0.5, 1.5)))) for i in existing]
    write_tree(master_install, dirs, old_plan, TreeWriter(seed + 1), "old")
    return master_update, master_install, plan, len(dirs) - 1, len(old_plan)


def check_installed(install, plan):
    """Raises unless every update file stands in `install` with the update's size, and no backup
    folder is left."""
    for relative, size in plan:
        found = os.lstat(os.path.join(install, relative)).st_size
        if found != size:
            raise RuntimeError(f"{install}: {relative} has {found} bytes, the update {size}")
    for leftover in ("zintu_backup", "update_1"):
        if os.path.lexists(os.path.join(install, leftover)):
            raise RuntimeError(f"{install}: {leftover} left behind")


def time_minimal_copier(bin_dir, update, install):
    """Seconds of minimal_copier installing `update` over `install`, from its start to its exit."""
    argv = [os.path.join(bin_dir, "minimal_copier"), update, install, os.path.join(install, "zintu_backup")]
    start = time.perf_counter_ns()
    run(argv, stdin=subprocess.DEVNULL)
    return (time.perf_counter_ns() - start) / 1e9


def time_contender(name, bin_dir, target, update, plan, cp_source, cp_flag):
    """Seconds of the launcher, minimal_copier or `cp` + `sync` (of cp_source, with cp_flag)
    installing the update over `target`; the launcher's phases, else None; and the round line's
    detail."""
    if name.startswith("cp "):
        copied, synced = time_cp(cp_source, target, cp_flag)
        return copied + synced, None, f"   (of which sync {synced:.3f})"
    if name == "launcher":
        seconds, split = time_launcher_install(target, len(plan))
        detail = "   (" + ", ".join(f"{k} {v:.3f}" for k, v in split.items()) + ")"
    else:
        seconds, split, detail = time_minimal_copier(bin_dir, update, target), None, ""
    return seconds, split, detail


def record_round(results, phases, round_index, name, seconds, split, detail):
    """Keeps a round's time unless it is round -1, the one that warms the caches and the file
    system's allocations up: with runs this short, the first would stand out."""
    if round_index < 0:
        print(f"  unmeasured: {name:16s} {seconds:7.3f} s{detail}")
        return
    results[name].append(seconds)
    if split is not None:
        phases.append(split)
    print(f"  round {round_index + 1}: {name:16s} {seconds:7.3f} s{detail}")


def print_copy_medians(results, phases, baseline_label):
    medians = {name: statistics.median(seconds) for name, seconds in results.items()}
    for name, median in medians.items():
        print(f"  {name:16s}  median {median:7.3f} s")
    split = {k: statistics.median(p[k] for p in phases) for k in phases[0]}
    ratio = medians["launcher"] / medians["minimal_copier"]
    # Each round runs the two back to back, so the ratio within a round shrugs off load that
    # comes and goes between rounds.
    paired = statistics.median(a / b for a, b in zip(results["launcher"], results["minimal_copier"]))
    print(f"  launcher / minimal_copier: {ratio:.2f} (median of the rounds' own ratios {paired:.2f}); "
          f"minimal_copier / {baseline_label}: "
          f"{medians['minimal_copier'] / medians[baseline_label]:.2f}; the launcher's time (medians) " +
          ", ".join(f"{k} {v:.3f} s" for k, v in split.items()))
    return {"launcher": medians["launcher"], "minimal": medians["minimal_copier"], "ratio": ratio,
            "baseline": medians[baseline_label]}


def exfat_unavailable():
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


def bench_exfat(bin_dir, work, files, total_mib, rounds):
    reason = exfat_unavailable()
    if reason:
        print(f"exfat: {reason}; not measured")
        return reason
    root = os.path.join(work, "exfat")
    os.makedirs(root)
    master_update, master_install, plan, folders, replaced = make_dependency_tree(root, 17, files, total_mib, 0.9)
    copy_executables(bin_dir, master_install, ["launcher", "Lobby.exe"])
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
            made = subprocess.run(["mount", "-o", "loop", "-t", "exfat-fuse", image, volume],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            mounted = made.returncode == 0
        if not mounted:
            reason = f"{step} failed here: " + made.stderr.decode(errors="replace").strip()
            print(f"exfat: {reason}; not measured")
            return reason
        print(f"exfat: {len(plan)} files, {total_mib} MiB in {folders} folders, {replaced} of them replacing "
              f"files; install and update on exFAT (exfat-fuse on a loop device), so every file is copied")
        results = {"launcher": [], "minimal_copier": [], "cp -r + sync": []}
        phases = []
        for round_index in range(-1, rounds):
            pair = ["launcher", "minimal_copier"] if round_index % 2 == 0 else ["minimal_copier", "launcher"]
            for name in pair + ["cp -r + sync"]:
                target = os.path.join(volume, f"run-{round_index}-{name[0]}")
                run(["cp", "-r", master_install, target])
                update = os.path.join(target, "update_1")
                run(["cp", "-r", master_update, update])
                os.sync()
                # sync(2) does not reach exfat-fuse's own state; an fsync there has the daemon write
                # all of it, so that no run pays for what the setup wrote.
                descriptor = os.open(os.path.join(target, "Lobby.exe"), os.O_RDONLY)
                os.fsync(descriptor)
                os.close(descriptor)
                seconds, split, detail = time_contender(name, bin_dir, target, update, plan, update, "-r")
                if name == "minimal_copier":
                    shutil.rmtree(update)
                if not name.startswith("cp "):
                    check_installed(target, plan)
                record_round(results, phases, round_index, name, seconds, split, detail)
                shutil.rmtree(target)
        return print_copy_medians(results, phases, "cp -r + sync")
    finally:
        if mounted:
            if subprocess.run(["umount", volume]).returncode != 0:
                subprocess.run(["umount", "-l", volume])
        shutil.rmtree(root, ignore_errors=True)


def bench_copies(bin_dir, work, shm_root, files, total_mib, rounds):
    root = os.path.join(work, "copies")
    os.makedirs(root)
    shm = tempfile.mkdtemp(prefix="bench-copies-", dir=shm_root)
    try:
        _, master_install, plan, folders, replaced = make_dependency_tree(root, 19, files, total_mib, 0.9)
        master_update = os.path.join(shm, "update-master")
        shutil.move(os.path.join(root, "update-master"), master_update)
        copy_executables(bin_dir, master_install, ["launcher", "Lobby.exe"])
        os.sync()
        note = filesystem_note(work)
        if note:
            print("note: " + note)
        print(f"copies: {len(plan)} files, {total_mib} MiB in {folders} folders, {replaced} of them replacing "
              f"files; install on the scratch disk, update a link to a folder on a tmpfs, so every file is copied")
        results = {"launcher": [], "minimal_copier": [], "cp -a + sync": []}
        phases = []
        # Finished runs stay until the end, as in the update figure.
        for round_index in range(-1, rounds):
            pair = ["launcher", "minimal_copier"] if round_index % 2 == 0 else ["minimal_copier", "launcher"]
            for name in pair + ["cp -a + sync"]:
                target = os.path.join(root, "runs", f"{round_index}-{name[0]}")
                os.makedirs(os.path.dirname(target), exist_ok=True)
                run(["cp", "-a", master_install, target])
                elsewhere = os.path.join(shm, f"update-{round_index}-{name[0]}")
                run(["cp", "-a", master_update, elsewhere])
                update = os.path.join(target, "update_1")
                os.sync()
                if name != "cp -a + sync":
                    os.symlink(elsewhere, update)
                seconds, split, detail = time_contender(name, bin_dir, target, update, plan, elsewhere, "-a")
                if name == "minimal_copier":
                    os.remove(update)
                if not name.startswith("cp "):
                    check_installed(target, plan)
                record_round(results, phases, round_index, name, seconds, split, detail)
                shutil.rmtree(elsewhere)
        return print_copy_medians(results, phases, "cp -a + sync")
    finally:
        shutil.rmtree(shm, ignore_errors=True)


def bench_copy_calls(bin_dir, work, shm_root, files):
    if not shutil.which("strace"):
        print("copycalls: strace is missing; not measured")
        return None
    root = os.path.join(work, "copycalls")
    shm = tempfile.mkdtemp(prefix="bench-copycalls-", dir=shm_root)
    try:
        empty, master = os.path.join(root, "none"), os.path.join(root, "master")
        for install in (empty, master):
            copy_executables(bin_dir, install, ["launcher", "Lobby.exe"])
        make_small_update(master, 23, files)
        master_update = os.path.join(shm, "update-master")
        shutil.move(os.path.join(master, "update_1"), master_update)
        empty_update = os.path.join(shm, "update-empty")
        os.makedirs(empty_update)

        def install_from(name, update):
            """A fresh copy of the install whose update_1 is a link to a fresh copy of `update`."""
            target = os.path.join(root, name)
            run(["cp", "-a", master if update == master_update else empty, target])
            run(["cp", "-a", update, os.path.join(shm, name)])
            os.symlink(os.path.join(shm, name), os.path.join(target, "update_1"))
            return target

        launcher = install_from("launcher", master_update)
        minimal_base = install_from("minimal-none", empty_update)
        minimal = install_from("minimal", master_update)
        os.sync()
        base, calls = count_calls(empty), count_calls(launcher)

        def minimal_calls(install):
            return count_calls(install, [os.path.join(bin_dir, "minimal_copier"), os.path.join(install, "update_1"),
                                         install, os.path.join(install, "zintu_backup")])

        minimal_none, minimal_update = minimal_calls(minimal_base), minimal_calls(minimal)
    finally:
        shutil.rmtree(shm, ignore_errors=True)

    def per_file(with_update, without):
        return {name: (count - without.get(name, 0)) / files for name, count in with_update.items()}

    launcher_per_file, minimal_per_file = per_file(calls, base), per_file(minimal_update, minimal_none)
    total, minimal_total = sum(launcher_per_file.values()), sum(minimal_per_file.values())
    print(f"copycalls: {files} small files, half replacing, the update a link to a folder on a tmpfs, so "
          f"every file is copied; system calls")
    for label, counts, count in (("launcher", launcher_per_file, total),
                                 ("minimal_copier", minimal_per_file, minimal_total)):
        print(f"  {label} per update file {count:.1f}: " +
              ", ".join(f"{name} {n:.2f}" for name, n in sorted(counts.items(), key=lambda item: -item[1])
                        if abs(n) >= 0.05))
    return total, minimal_total


def count_opens(launcher, cwd):
    """File opens on the Launcher's own thread (the one that opens the lock file) in one run."""
    env = dict(os.environ, WINEDEBUG="-all,+file")
    result = subprocess.run([os.path.join(ROOT, "scripts", "wine-run.sh"), launcher], cwd=cwd, env=env,
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    trace = result.stderr.decode("utf-8", errors="replace").splitlines()
    main = next(line.split(":", 1)[0] for line in trace if "launcher.lock" in line and ":trace:file:" in line)
    return sum(1 for line in trace if line.startswith(main + ":trace:file:Nt") and
               line.split(":", 3)[3].split()[0] in ("NtCreateFile", "NtOpenFile"))


def bench_opens(windows_bin, work, files):
    launcher = os.path.join(windows_bin, "Launcher.exe")
    if not (os.path.exists(launcher) and shutil.which("wine")):
        print("opens: no Launcher.exe or no Wine here; not measured")
        return None
    empty, with_update = os.path.join(work, "opens-none"), os.path.join(work, "opens-update")
    for install in (empty, with_update):
        for name in ("Launcher.exe", "Lobby.exe"):
            os.makedirs(install, exist_ok=True)
            shutil.copy2(os.path.join(windows_bin, name), install)
    make_small_update(with_update, 13, files, folders=8, sizes=(100, 2000))
    base = count_opens(os.path.join(empty, "Launcher.exe"), empty)
    opens = count_opens(os.path.join(with_update, "Launcher.exe"), with_update)
    per_file = (opens - base) / files
    print(f"opens: Launcher.exe under Wine, {files} small files, half replacing: {opens} opens, {base} without the "
          f"update; {per_file:.1f} per update file")
    return per_file


def bench_memory(bin_dir, work, files, folders, file_size):
    install = os.path.join(work, "memory")
    copy_executables(bin_dir, install, ["launcher", "Lobby.exe"])
    report = os.path.join(work, "time-v.txt")

    def peak_kib():
        with open(os.devnull, "wb") as out:
            run(["/usr/bin/time", "-v", "-o", report, os.path.join(install, "launcher")], cwd=install,
                stdout=out, stdin=subprocess.DEVNULL)
        reap_orphans(1)
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
    return {"idle_mib": idle_kib / 1024, "peak_mib": update_kib / 1024}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bin", required=True,
                        help="folder with launcher, Lobby.exe, minimal_start and minimal_copier")
    parser.add_argument("--work", required=True, help="scratch folder, on the file system under test")
    parser.add_argument("--only", default="launch,update,small,calls,opens,memory,exfat,copies,copycalls",
                        help="comma-separated sections to run")
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
    parser.add_argument("--copy-rounds", type=int, default=11)
    parser.add_argument("--shm", default="/dev/shm", help="a tmpfs for the tmpfs and copy figures, or ''")
    args = parser.parse_args()
    sections = set(args.only.split(","))
    # The runs below change their current folder.
    args.bin = os.path.abspath(args.bin)
    args.work = os.path.abspath(args.work)

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
    work = tempfile.mkdtemp(prefix="bench-", dir=args.work)
    shm = args.shm if args.shm and os.path.isdir(args.shm) else None
    summary = []
    try:
        print(f"machine: {os.cpu_count()} cores, load average {os.getloadavg()[0]:.1f}; timed programs run at "
              f"nice {os.getpriority(os.PRIO_PROCESS, 0)}; scratch {work}")
        if "launch" in sections:
            r = bench_launch(args.bin, work, args.launch_runs)
            summary.append(f"launch  launcher/minimal_start median {r['launcher_ms']:.2f}/{r['minimal_ms']:.2f} ms "
                           f"= {r['ratio']:.2f}   goal <= {GOAL_LAUNCH_RATIO}   "
                           f"{status(r['ratio'], GOAL_LAUNCH_RATIO)}")
        if "update" in sections:
            r = bench_update(args.bin, work, args.update_files, args.update_mib, args.update_folders,
                             args.update_rounds, shm)
            for name, label, goal in (("launcher", "cp -a + sync (on disk, links)", GOAL_UPDATE_RATIO),
                                      ("launcher, copies", "cp -a + sync (on disk, update on another volume: "
                                       "copies)", None),
                                      ("launcher on tmpfs", "cp -a (on a tmpfs, links)", GOAL_UPDATE_TMPFS_RATIO)):
                if name in r:
                    seconds, baseline, ratio = r[name]
                    summary.append(f"update  launcher/{label} median {seconds:.2f}/{baseline:.2f} s "
                                   f"= {ratio:.2f}" + (f"   goal <= {goal}   {status(ratio, goal)}" if goal else ""))
            if "flush" in r:
                summary.append("update  the launcher's flush before completion {:.2f} s; sync after cp -a {:.2f} s"
                               .format(*r["flush"]))
        if "small" in sections and shm:
            seconds, baseline, ratio = bench_small(args.bin, shm, args.small_files, args.small_rounds)
            summary.append(f"small   launcher/cp -a ({args.small_files} files of 5 to 45 KB on a tmpfs) median "
                           f"{seconds:.3f}/{baseline:.3f} s = {ratio:.2f}   goal <= {GOAL_SMALL_RATIO}   "
                           f"{status(ratio, GOAL_SMALL_RATIO)}")
        if "calls" in sections:
            per_file = bench_calls(args.bin, work, args.small_files)
            if per_file is not None:
                summary.append(f"calls   system calls per update file (Linux) {per_file:.1f}   goal <= "
                               f"{GOAL_CALLS_PER_FILE}   {status(per_file, GOAL_CALLS_PER_FILE)}")
        if "opens" in sections and args.windows_bin:
            per_file = bench_opens(os.path.abspath(args.windows_bin), work, args.opens_files)
            if per_file is not None:
                summary.append(f"opens   file opens per update file (Launcher.exe under Wine) {per_file:.1f}   goal <= "
                               f"{GOAL_OPENS_PER_FILE}   {status(per_file, GOAL_OPENS_PER_FILE)}")
        if "memory" in sections:
            if os.access("/usr/bin/time", os.X_OK):
                r = bench_memory(args.bin, work, args.memory_files, args.memory_folders, args.memory_file_size)
                summary.append(f"memory  peak RSS, update of {args.memory_files} files {r['peak_mib']:.1f} MiB   "
                               f"goal < {GOAL_PEAK_MIB} MiB   {status(r['peak_mib'], GOAL_PEAK_MIB, below=True)}")
            else:
                summary.append("memory  not measured: /usr/bin/time is missing (Debian package time)")
        if "exfat" in sections:
            r = bench_exfat(args.bin, work, args.copy_files, args.copy_mib, args.copy_rounds)
            if isinstance(r, str):
                summary.append(f"exfat   not measured: {r}")
            else:
                summary.append(f"exfat   launcher/minimal_copier ({args.copy_files} files, {args.copy_mib} MiB on exFAT) "
                               f"median {r['launcher']:.3f}/{r['minimal']:.3f} s = {r['ratio']:.2f}   goal <= "
                               f"{GOAL_COPIES_RATIO}   {status(r['ratio'], GOAL_COPIES_RATIO)}   "
                               f"(cp -r + sync {r['baseline']:.3f} s)")
        if "copies" in sections:
            if shm:
                r = bench_copies(args.bin, work, shm, args.copy_files, args.copy_mib, args.copy_rounds)
                summary.append(f"copies  launcher/minimal_copier (on disk, update on another volume) median "
                               f"{r['launcher']:.3f}/{r['minimal']:.3f} s = {r['ratio']:.2f}   goal <= "
                               f"{GOAL_COPIES_RATIO}   {status(r['ratio'], GOAL_COPIES_RATIO)}   "
                               f"(cp -a + sync {r['baseline']:.3f} s)")
            else:
                summary.append("copies  not measured: no tmpfs for the update (--shm)")
        if "copycalls" in sections:
            r = bench_copy_calls(args.bin, work, shm, args.small_files) if shm else None
            if r is not None:
                summary.append(f"copycalls  system calls per copied update file (Linux) {r[0]:.1f}   goal <= "
                               f"{GOAL_CALLS_PER_COPIED_FILE}   {status(r[0], GOAL_CALLS_PER_COPIED_FILE)}   "
                               f"(minimal_copier {r[1]:.1f})")
            else:
                summary.append("copycalls  not measured: " + ("no tmpfs for the update (--shm)" if not shm
                                                              else "strace is missing"))
    finally:
        shutil.rmtree(work, ignore_errors=True)
        try:
            os.rmdir(args.work)
        except OSError:
            pass
    print()
    print(f"summary ({os.cpu_count()} cores)")
    for line in summary:
        print("  " + line)


if __name__ == "__main__":
    sys.exit(main())
