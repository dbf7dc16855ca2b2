"""Running the programs under test and reading their clocks.

Every time is read off CLOCK_MONOTONIC (time.monotonic_ns()), the clock by which the test Lobby
stamps its start (LOBBY_START_STAMP) and minimal_copier prints the moment its copies are on the
disk ("on disk <ns>"). A program's start is the moment just before this process spawns it; both
sides of a ratio are spawned the same way.
"""

import contextlib
import ctypes
import os
import re
import select
import shutil
import subprocess
import tempfile
import time
from collections import namedtuple

SETTLE_LINE = b"restart mode / kill mode"
KILLING_LINE = b"killing lobby processes"
# The first line of each kind after the settle wait ends a stretch of the Launcher's run, as far
# as lines tell: they are read a millisecond after they are written at most.
MARKS = ((b"copying ", "to the first copy"), (b"deleting rollback folder ", "to 'deleting rollback folder'"),
         (b"storageFolder: ", "to 'storageFolder'"), (b"searching for lobby ", "to 'searching for lobby'"))
ROLLBACK_STORE = "zintu_rollback"
MINIMAL_BACKUP = "minimal_copier_backup"

# to_lobby and to_exit in seconds, settle wait left out; stretches: name -> seconds, in order.
LauncherRun = namedtuple("LauncherRun", "to_lobby to_exit stretches")
CopierRun = namedtuple("CopierRun", "to_disk to_exit")


def run(argv, **kwargs):
    subprocess.run(argv, check=True, **kwargs)


def adopt_orphans(adopt=True):
    # Both the Launcher and minimal_start leave a Lobby behind. As a subreaper this process
    # inherits it, so each round can wait until that Lobby is gone instead of letting it run into
    # the next timed start; and no zombie is left behind.
    PR_SET_CHILD_SUBREAPER = 36
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_CHILD_SUBREAPER, int(adopt), 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_CHILD_SUBREAPER)")


@contextlib.contextmanager
def leaving_orphans():
    """What is orphaned meanwhile goes to init rather than here: Wine's server and programs (its
    own Lobby.exe too) and a FUSE mount's daemon outlive what started them, and no run waits for
    them."""
    adopt_orphans(False)
    try:
        yield
    finally:
        adopt_orphans()


def reap_lobbies(count):
    """Waits for `count` adopted Lobbies to end; returns how many did. A parent's exit hands its
    children over before anyone learns of that exit, so the Lobby is ours to wait for by then.
    Other processes this one inherits (the daemon of a FUSE mount, Wine's server) end whenever they
    do: they are reaped on the way, but never taken for a Lobby."""
    reaped = 0
    while reaped < count:
        try:
            ended = os.waitid(os.P_ALL, 0, os.WEXITED | os.WNOWAIT)
        except ChildProcessError:
            break
        try:
            with open(f"/proc/{ended.si_pid}/stat") as f:
                name = f.read().split("(", 1)[1].rsplit(")", 1)[0]
        except OSError:
            name = ""
        os.waitpid(ended.si_pid, 0)
        reaped += name == "Lobby.exe"
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


def lobby_stamp_path():
    """Where the Lobby of this process's runs writes its start: off the volumes under test."""
    return os.path.join(tempfile.gettempdir(), f"bench-lobby-start-{os.getpid()}")


def take_stamp(path):
    """The Lobby's start written at `path`, or None; the file goes, so that a run that starts no
    Lobby cannot pass off an earlier one's."""
    try:
        with open(path) as f:
            text = f.read()
        os.remove(path)
    except FileNotFoundError:
        return None
    return int(text) if text.strip().isdigit() else None


def spawn_reading(argv, cwd, env=None):
    """Runs `argv` with its output in a file that this process reads every millisecond; returns its
    start, its output lines each with the moment it was read (a millisecond after it was written at
    most), its exit, its exit code and its error output. Not a pipe: every line written would wake
    this process, and the program with it, where a player's Launcher writes to a file or nowhere."""
    errors, output = tempfile.TemporaryFile(), tempfile.TemporaryFile()
    start = time.monotonic_ns()
    process = subprocess.Popen(argv, cwd=cwd, env=env, stdin=subprocess.DEVNULL, stdout=output, stderr=errors)
    chunks = []
    # A reading of its own: the program's writes move the offset it shares with `output`.
    ended = os.pidfd_open(process.pid)
    try:
        with open(f"/proc/self/fd/{output.fileno()}", "rb") as reader:
            while True:
                done = select.select([ended], [], [], 0.001)[0]
                moment = time.monotonic_ns()
                if chunk := reader.read():
                    chunks.append((moment, chunk))
                if done:
                    break
    finally:
        os.close(ended)
    code = process.wait()
    exited = moment
    output.close()
    errors.seek(0)
    error_text = errors.read().decode(errors="replace").strip()
    errors.close()
    lines, pending = [], b""
    for arrival, chunk in chunks:
        parts = (pending + chunk).split(b"\n")
        pending = parts.pop()
        lines += [(arrival, line) for line in parts]
    return start, lines, exited, code, error_text


def time_launcher(install, expected_files):
    """The Launcher installing the update in `install`, from its start to the Lobby's start and to
    its exit, less the settle wait; and how the time divides, as far as its lines tell.

    The settle wait lies between the arrivals of its "restart mode / kill mode" line and of its
    (last) "killing lobby processes" line: only the sleeps and any earlier passes over the running
    processes lie there, and a line's lag to its reading falls on both ends of it alike."""
    stamp = lobby_stamp_path()
    start, lines, exited, code, errors = spawn_reading(
        [os.path.join(install, "launcher")], install, dict(os.environ, LOBBY_START_STAMP=stamp))
    reap_lobbies(1)
    lobby = take_stamp(stamp)
    settled = [arrival for arrival, line in lines if line == SETTLE_LINE]
    killing = [arrival for arrival, line in lines if line == KILLING_LINE]
    copies = [line for _, line in lines if line.startswith(b"copying ")]
    problem = None
    if code != 0:
        problem = f"exit {code}: {errors}"
    elif not settled or not killing:
        problem = "no settle wait seen: an update was expected"
    elif lobby is None:
        problem = "the Lobby wrote no start (LOBBY_START_STAMP)"
    elif len(copies) != expected_files:
        problem = f"{len(copies)} files copied, {expected_files} expected"
    elif f" using as rollback {os.path.join(install, ROLLBACK_STORE)}/".encode() not in copies[0]:
        problem = f"rollback folder not in the install folder: {copies[0].decode(errors='replace')}"
    else:
        problem = launcher_leftovers(install)
    if problem:
        raise RuntimeError(f"launcher in {install}: {problem}")
    settle = killing[-1] - settled[0]

    marks = [("to the Lobby's start", lobby), ("then to its exit", exited)]
    for prefix, name in MARKS:
        arrival = next((arrival for arrival, line in lines if line.startswith(prefix) and arrival >= killing[-1]),
                       None)
        if arrival is not None:
            marks.append((name, arrival))
    stretches, previous = {"start-up": (settled[0] - start) / 1e9}, killing[-1]
    for name, moment in sorted(marks, key=lambda mark: mark[1]):
        stretches[name] = max(0, moment - previous) / 1e9
        previous = max(previous, moment)
    return LauncherRun((lobby - start - settle) / 1e9, (exited - start - settle) / 1e9, stretches)


def launcher_leftovers(install):
    """What the Launcher left that a finished installation must not leave, or None: its rollback
    store holds a rollback folder or record, or the update folder still stands."""
    store = os.path.join(install, ROLLBACK_STORE)
    left = sorted(os.listdir(store)) if os.path.isdir(store) else []
    if left:
        return f"{ROLLBACK_STORE} holds {left[:5]}"
    if os.path.lexists(os.path.join(install, "update_1")):
        return "update_1 left behind"
    return None


def time_minimal_copier(bin_dir, update, install, link=False):
    """minimal_copier installing `update` over `install` (with `link`, by hard links, a line per
    file), from its start to the moment its new version is on the disk and to its exit."""
    backup = os.path.join(install, MINIMAL_BACKUP)
    start, lines, exited, code, errors = spawn_reading(
        [os.path.join(bin_dir, "minimal_copier"), *(["--link"] if link else []), update, install, backup], install)
    stamps = [stamp for _, line in lines if (stamp := re.fullmatch(rb"on disk (\d+)", line))]
    if code != 0 or len(stamps) != 1:
        raise RuntimeError(f"minimal_copier in {install}: exit {code}, last output {[line for _, line in lines[-3:]]}: "
                           f"{errors}")
    if os.path.lexists(backup):
        raise RuntimeError(f"minimal_copier in {install}: {MINIMAL_BACKUP} left behind")
    return CopierRun((int(stamps[0].group(1)) - start) / 1e9, (exited - start) / 1e9)


def time_cp(update, install, flag="-a", sync=True):
    """Seconds of `cp -a` (or `flag`) of the update over the install folder, and of the `sync -f`
    after it (0 without)."""
    start = time.monotonic_ns()
    run(["cp", flag, update + "/.", install + "/"])
    copied = time.monotonic_ns()
    if sync:
        run(["sync", "-f", install])
    return (copied - start) / 1e9, (time.monotonic_ns() - copied) / 1e9


def time_launcher_flush(install):
    """Seconds that the Launcher's flush of the file system (syncfs) takes in an installation, from
    a run under strace that traces nothing else; None without strace."""
    if not shutil.which("strace"):
        return None
    trace = os.path.join(install, "..", os.path.basename(install) + ".strace")
    with open(os.devnull, "wb") as out:
        run(["strace", "-f", "--seccomp-bpf", "-qq", "-T", "-e", "trace=syncfs", "-o", trace,
             os.path.join(install, "launcher")], cwd=install, stdout=out, stdin=subprocess.DEVNULL)
    reap_lobbies(1)
    with open(trace) as f:
        durations = [float(m.group(1)) for m in re.finditer(r"syncfs\(.*<([0-9.]+)>", f.read())]
    os.remove(trace)
    return sum(durations)


def stretches_text(run_, digits=3):
    return ", ".join(f"{name} {seconds:.{digits}f}" for name, seconds in run_.stretches.items())
