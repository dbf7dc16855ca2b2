"""One fault at a chosen system call of a launcher run, the same way on both targets.

On Linux strace runs the launcher (without following the Lobby it starts) and the settle wait is
skipped. Under Wine a program's renames, links, deletions, folders and file creations are made by
the prefix's server, to which strace is attached; the program's own writes, flushes and status
queries are libc calls in its own process, which a preloaded library (tests/support/fault_preload.c)
wraps. A server counts every client's calls and a kill ends it with all of them, so every run
here takes a prefix of its own from a pool: hard-link copies of the test prefix, each with its own
server.

The calls offered: on Linux those of LAUNCHER_CALLS; under Wine the server's SERVER_CALLS, and the
program's write, pwrite64, fsync, fdatasync, fstat (a status by handle) and stat, lstat, fstatat
(by name) on files of the install folder. Renames, links, deletions and folders come in the same
order and number in every run of a case; file opens (the server opens files for the programs too)
depend on what else runs, so a fault on them names its paths.

A clean probe comes first: it lists the calls a run makes, each with its number among the calls
of its name (what strace's when= counts), from which a test picks the fault for the same case:

    with Injector() as injector:
        calls = injector.probe(folder).calls
        link = next(call for call in calls if call.name == "link" and call.path == str(target))
        run = injector.faulty_run(again, fault_at(calls, link, "kill"))
        assert run.fired and run.killed

The tests of updates that fail or are cut short share FaultTestCase, and Failure and Position: an
update that fails at a chosen file and what its rollback must leave.
"""

import contextlib
import errno
import os
import queue
import re
import shutil
import signal
import subprocess
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

from harness import (BIN, HEAD, LAUNCHER_NAME, WINDOWS, InstallFolder, Result, UpdateTestCase, asar, eight_bit,
                     from_eight_bit, holding, lay, lay_until_walk_suits, native, pe_bits, prepare_wine, rollback_named,
                     snapshot)

# Where a run's file-name operations are made, and where its data is written and flushed.
FILES = "server" if WINDOWS else "launcher"
DATA = "program" if WINDOWS else "launcher"

LAUNCHER_CALLS = ("rename", "renameat", "renameat2", "link", "linkat", "unlink", "unlinkat", "mkdir", "mkdirat",
                  "rmdir", "openat", "write", "pwrite64", "fsync", "fdatasync", "syncfs", "copy_file_range",
                  "symlink", "symlinkat", "chmod", "fchmod", "fchmodat", "ftruncate", "statx", "newfstatat",
                  "getdents64")
SERVER_CALLS = ("rename", "renameat", "renameat2", "link", "linkat", "unlink", "unlinkat", "mkdir", "mkdirat",
                "rmdir", "openat")
SKIP_SETTLE_WAIT = "inject=clock_nanosleep:retval=0:when=1"
PRELOAD_SOURCE = Path(__file__).resolve().parents[1] / "support" / "fault_preload.c"

# Which arguments of a traced call name files: a path, a folder's descriptor with a path below
# it, or a descriptor.
_PATHS = {"rename": (0, 1), "link": (0, 1), "symlink": (1,), "unlink": (0,), "mkdir": (0,), "rmdir": (0,),
          "chmod": (0,)}
_AT_PATHS = {"openat": ((0, 1),), "unlinkat": ((0, 1),), "mkdirat": ((0, 1),), "fchmodat": ((0, 1),),
             "statx": ((0, 1),), "newfstatat": ((0, 1),), "renameat": ((0, 1), (2, 3)),
             "renameat2": ((0, 1), (2, 3)), "linkat": ((0, 1), (2, 3)), "symlinkat": ((1, 2),)}
_FD_PATHS = {"write": (0,), "pwrite64": (0,), "fsync": (0,), "fdatasync": (0,), "syncfs": (0,), "fchmod": (0,),
             "ftruncate": (0,), "getdents64": (0,), "copy_file_range": (0, 2)}
_LINE = re.compile(r"^(?:\d+ +)?(\w+)\(")
_DESCRIPTOR = re.compile(r"^(?:-?\d+|AT_FDCWD)<(.*)>(?:\(deleted\))?$", re.S)
KILLED = "+++ killed by SIGKILL +++"
# What runs in a prefix between runs: its server and the services its first program started.
RESIDENT = {"wineserver", "wineserver32", "wineserver64", "services.exe", "winedevice.exe", "plugplay.exe",
            "svchost.exe", "rpcss.exe"}
SETTLE_SECONDS = 30
# The plain files that a Failure's walk meets around its folder of chosen files.
PLAIN_FILES = 8


@dataclass(frozen=True)
class Call:
    """A call a run made: where ("launcher" on Linux; "server" or "program" under Wine), its name,
    the host paths it names, its number among the calls of its name in that place (strace's
    when=), and its line in the trace or log."""
    where: str
    name: str
    paths: tuple
    k: int
    text: str = field(default="", compare=False)

    @property
    def path(self):
        return self.paths[0] if self.paths else None


@dataclass(frozen=True)
class Fault:
    """Fails (action "error:EACCES", "error:ENOSPC", "error:EIO"...) or kills ("kill") the `when`-th
    call of that name in that place: K, "K..L" or "K+". With `paths`, only calls that name one of
    them count; for program calls a path may also be the end of a name, such as ".journal"."""
    where: str
    name: str
    when: object
    action: str
    paths: tuple = ()

    def strace_options(self):
        action = "signal=KILL" if self.action == "kill" else self.action.replace(":", "=")
        return ["-e", f"trace={self.name}", "-e", f"inject={self.name}:{action}:when={self.when}"]

    def errno(self):
        """The error the call fails with; 0 for a kill."""
        return 0 if self.action == "kill" else getattr(errno, self.action.partition(":")[2])

    def counts(self, call):
        return call.where == self.where and call.name == self.name and touches(call, self.paths)

    def strikes(self, k):
        first, _, last = str(self.when).partition("..")
        if first.endswith("+"):
            return k >= int(first[:-1])
        return int(first) <= k <= int(last or first)


@dataclass
class Run:
    """A run's result and what the tracing saw: every call (a probe), or the calls the fault struck
    and whether the process it aimed at (under Wine the server, for its calls) died of SIGKILL."""
    result: Result
    calls: list = field(default_factory=list)
    fired: list = field(default_factory=list)
    killed: bool = False


def touches(call, paths):
    """Whether a fault with these paths counts the call (any call, without paths). strace 6.1's -P
    looks at the first path of a rename only; a path not beginning with "/" (program calls only)
    is the end of a name."""
    named = call.paths[:1] if call.name.startswith("rename") else call.paths
    return not paths or any(str(p) in named or (not str(p).startswith("/") and any(q.endswith(str(p)) for q in named))
                            for p in paths)


def fault_at(calls, call, action, count=1, paths=()):
    """The fault that strikes `call` of a probe's `calls` (and the count - 1 calls of its name
    after it that count) in another run of the same case; with `paths`, counted among the calls
    that name one of them only."""
    # The server's own work, its registry saved by relative names, comes at its own times.
    counted = [c for c in calls if c.where == call.where and c.name == call.name and touches(c, paths) and
               (c.where != "server" or any(path.startswith("/") for path in c.paths))]
    k = counted.index(call) + 1
    return Fault(call.where, call.name, k if count == 1 else f"{k}..{k + count - 1}", action, tuple(paths))


def _arguments(text):
    """The top-level arguments of a strace line's call, and what follows its closing parenthesis."""
    start = text.index("(") + 1
    arguments, depth, quoted, named, current, i = [], 0, False, False, start, start
    while i < len(text):
        c = text[i]
        if quoted:
            if c == "\\":
                i += 1
            elif c == '"':
                quoted = False
        elif named:
            named = c != ">"
        elif c == '"':
            quoted = True
        elif c == "<" and text[i - 1] in "0123456789D":
            # The file behind a descriptor (-y), whose name may hold anything.
            named = True
        elif c in "([{":
            depth += 1
        elif c in ")]}":
            if depth == 0:
                arguments.append(text[current:i].strip())
                return arguments, text[i + 1:]
            depth -= 1
        elif c == "," and depth == 0:
            arguments.append(text[current:i].strip())
            current = i + 1
        i += 1
    return arguments, ""


def _string(argument):
    if not argument.startswith('"'):
        return None
    body = argument[1:argument.rindex('"')] if argument.count('"') > 1 else argument[1:]
    raw = body.encode("latin-1", "backslashreplace").decode("unicode_escape").encode("latin-1")
    return raw.decode("utf-8", "surrogateescape")


def _descriptor(argument):
    found = _DESCRIPTOR.match(argument)
    return found.group(1) if found else None


def _traced_paths(name, arguments):
    def at(folder, path):
        if folder is None or path is None:
            return None
        return folder if path == "" else path if path.startswith("/") else folder + "/" + path

    def argument(i):
        return arguments[i] if i < len(arguments) else ""

    paths = [_string(argument(i)) for i in _PATHS.get(name, ())]
    paths += [at(_descriptor(argument(i)), _string(argument(j))) for i, j in _AT_PATHS.get(name, ())]
    paths += [_descriptor(argument(i)) for i in _FD_PATHS.get(name, ())]
    return tuple(path for path in paths if path)


def read_trace(text, where, host=os.path.normpath):
    """The calls of a strace output (made with -y), numbered per name, and whether the traced
    process died of SIGKILL. Each call's result ends its text: "= ?" for one cut short."""
    calls, numbers = [], {}
    killed = False
    for line in text.splitlines():
        if line.rstrip().endswith(KILLED):
            killed = True
        found = _LINE.match(line)
        if not found:
            continue
        name = found.group(1)
        arguments, _ = _arguments(line)
        numbers[name] = numbers.get(name, 0) + 1
        calls.append(Call(where, name, tuple(host(path) for path in _traced_paths(name, arguments)),
                          numbers[name], line))
    return calls, killed


def _struck(calls, fault, killed):
    """The calls of a faulty run's trace that the fault struck: marked (INJECTED), or, for a kill,
    the call that the process died in, where the fault's count reaches it."""
    if fault.action != "kill":
        return [call for call in calls if call.name == fault.name and call.text.rstrip().endswith("(INJECTED)")]
    counted = [call for call in calls if fault.counts(call)]
    last = counted[-1] if counted else None
    if killed and last is not None and re.search(r"\) += \?$", last.text.rstrip()) and fault.strikes(len(counted)):
        return [Call(last.where, last.name, last.paths, len(counted), last.text)]
    return []


class Prefix:
    """A copy of the test prefix whose server this module starts, traces and stops."""

    def __init__(self, path):
        self.path = Path(path)
        self.env = {"WINEPREFIX": str(self.path)}
        self.prepared = False

    def _wine(self, *command):
        subprocess.run(command, env=self._wine_env(), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True, timeout=120)

    def _wine_env(self):
        env = dict(os.environ, WINEDEBUG="-all", **self.env)
        env.pop("LD_PRELOAD", None)
        return env

    def server(self):
        """The pid of the prefix's server: the wineserver whose working folder is named after the
        prefix folder's device and inode (server-<dev>-<inode>, in /tmp/.wine-<uid> or the
        folder that Debian's build names in the prefix's "wineserver" file)."""
        info = os.stat(self.path)
        name = f"server-{info.st_dev:x}-{info.st_ino:x}"
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                if (os.path.basename(os.readlink(f"/proc/{entry}/cwd")) == name and
                        os.path.basename(os.readlink(f"/proc/{entry}/exe")).startswith("wineserver")):
                    return int(entry)
            except OSError:
                continue
        return None

    def ready(self):
        """The pid of the running server, once nothing else runs in the prefix but its services.
        The first program of a server starts those services, so a new server is warmed up first;
        the desktop (explorer.exe), which Wine starts for a message box, and Lobbies of earlier
        runs end on their own, and are waited for: their calls would fall into the run."""
        pid = self.server()
        if pid is None:
            self.end_programs()
            if not self.prepared:
                # The server saves a changed registry half a minute later, by renames that would
                # fall into some run: the copy's tracing set-up is saved by a stop right away.
                self._wine("wineserver", "-p", "300")
                prepare_wine(self.path)
                self._wine("wineserver", "-k")
                self.prepared = True
            # Up between runs, yet gone a while after the last should this module never stop it.
            self._wine("wineserver", "-p", "300")
            self._wine("wine", "reg", "query", r"HKCU\Software\Wine\Debug")
            pid = self.server()
            if pid is None:
                raise AssertionError(f"no wineserver runs for {self.path}")
        deadline = time.monotonic() + SETTLE_SECONDS
        while True:
            passing = [program for program in self.programs() if _image(program) not in RESIDENT]
            if not passing:
                return pid
            if time.monotonic() > deadline:
                for stray in passing:
                    with contextlib.suppress(OSError):
                        os.kill(stray, signal.SIGKILL)
            time.sleep(0.05)

    def host(self, path):
        """A path the server named, as the host names it: drive letters resolved."""
        devices = str(self.path / "dosdevices") + "/"
        if path.startswith(devices):
            drive, _, rest = path[len(devices):].partition("/")
            path = os.path.join(os.path.realpath(devices + drive), rest)
        return os.path.normpath(path)

    def forms(self, path):
        """The names under which the server may reach path: its own, and through each drive."""
        path = os.path.realpath(path)
        forms = [path]
        for drive in sorted((self.path / "dosdevices").glob("?:")):
            root = os.path.realpath(drive)
            if path == root or path.startswith(root.rstrip("/") + "/"):
                forms.append(str(drive) + "/" + path[len(root):].lstrip("/"))
        return forms

    def programs(self):
        """Processes of this prefix (those left behind by a killed server too), by pid."""
        pids = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit() or int(entry) == os.getpid():
                continue
            try:
                with open(f"/proc/{entry}/environ", "rb") as f:
                    if f"WINEPREFIX={self.path}".encode() in f.read().split(b"\0"):
                        pids.append(int(entry))
            except OSError:
                continue
        return pids

    def end_programs(self):
        for pid in self.programs():
            with contextlib.suppress(OSError):
                os.kill(pid, signal.SIGKILL)

    def stop(self):
        if self.server() is not None:
            subprocess.run(["wineserver", "-k"], env=self._wine_env(), stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        self.end_programs()


def _image(pid):
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            program = f.read().split(b"\0")[0].decode(errors="replace")
    except OSError:
        return None
    return re.split(r"[\\/]", program)[-1].lower()


class _ServerTrace:
    """strace attached to a prefix's server for the block; reads the calls once it has ended."""

    def __init__(self, prefix, file, options):
        self.prefix, self.file, self.options = prefix, file, options

    def __enter__(self):
        pid = self.prefix.ready()
        self.process = subprocess.Popen(["strace", "-q", "-y", "-s", "4096", "-o", str(self.file), *self.options,
                                         "-p", str(pid)], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 30
        while self._tracer(pid) != self.process.pid:
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.process.kill()
                self.process.wait()
                raise AssertionError(f"strace could not attach to wineserver {pid}")
            time.sleep(0.02)
        return self

    @staticmethod
    def _tracer(pid):
        try:
            with open(f"/proc/{pid}/status") as f:
                return int(next(line for line in f if line.startswith("TracerPid:")).split()[1])
        except (OSError, StopIteration):
            return None

    def __exit__(self, *exc):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
        self.process.wait(60)

    def calls(self):
        calls, killed = read_trace(self.file.read_text(errors="replace"), "server", self.prefix.host)
        if killed:
            self.prefix.end_programs()
        return calls, killed


class Injector:
    """Probes and faulty runs; under Wine each takes one of `size` prefixes, so that as many cases
    can run side by side (from threads). close() stops their servers and removes them."""

    def __init__(self, size=2):
        self.root = None
        if not WINDOWS:
            return
        shared = Path(os.environ["WINEPREFIX"])
        # Beside the test prefix: hard links need its file system.
        self.root = Path(tempfile.mkdtemp(prefix="fault-prefixes-", dir=shared.parent))
        self.library = self.root / "fault_preload.so"
        # Of the program's word size: a 32-bit Launcher.exe runs in a 32-bit process (gcc-multilib).
        bits = ["-m32"] if pe_bits(BIN / LAUNCHER_NAME) == 32 else []
        built = subprocess.run(["gcc", *bits, "-shared", "-fPIC", "-O2", "-o", str(self.library), str(PRELOAD_SOURCE),
                                "-ldl"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if built.returncode != 0:
            shutil.rmtree(self.root)
            raise AssertionError("cannot build the fault library: " + built.stdout.decode(errors="replace"))
        self.prefixes = queue.Queue()
        self.all = []
        for i in range(size):
            prefix = Prefix(self.root / f"prefix-{i}")
            self._copy(shared, prefix.path)
            self.all.append(prefix)
            self.prefixes.put(prefix)

    @staticmethod
    def _copy(shared, path):
        """A copy of the prefix: its files hard links, but the registry files, which the server
        replaces by rename, real copies, and no tie to the test prefix's server folder."""
        # A file that another module's program deletes meanwhile is missed, and may be.
        subprocess.run(["cp", "-al", str(shared), str(path)], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        if not (path / "system.reg").is_file():
            raise AssertionError(f"cannot copy the Wine prefix {shared} to {path}")
        (path / "wineserver").unlink(missing_ok=True)
        for file in path.iterdir():
            if file.is_file() and not file.is_symlink():
                file.unlink()
                shutil.copy2(shared / file.name, file)

    def close(self):
        if self.root is None:
            return
        for prefix in self.all:
            prefix.stop()
        shutil.rmtree(self.root, ignore_errors=True)
        self.root = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    @contextlib.contextmanager
    def _prefix(self):
        prefix = self.prefixes.get()
        try:
            yield prefix
        finally:
            self.prefixes.put(prefix)

    def run(self, folder, **run_options):
        """A run without a fault or a trace: on Linux with the settle wait skipped, under Wine in a
        prefix of the pool."""
        if not WINDOWS:
            with tempfile.TemporaryDirectory(prefix="fault-run-") as work:
                return _linux_run(folder, Path(work) / "trace", ["-e", "trace=clock_nanosleep"], run_options)
        with self._prefix() as prefix:
            return self._wine_run(folder, prefix, None, {}, run_options)

    def link_drive(self, drive, path):
        """Makes `path` the root of drive letter `drive` in every prefix of the pool (Wine)."""
        for prefix in self.all if WINDOWS else ():
            link = prefix.path / "dosdevices" / f"{drive}:"
            link.unlink(missing_ok=True)
            link.symlink_to(path)

    def probe(self, folder, **run_options):
        """Runs the case cleanly; the Run lists every call made (see Call), file opens of any kind
        among them, since they all count for strace."""
        with tempfile.TemporaryDirectory(prefix="fault-probe-") as work:
            work = Path(work)
            if not WINDOWS:
                result = _linux_run(folder, work / "trace", ["-e", "trace=" + ",".join(LAUNCHER_CALLS)], run_options)
                calls, _ = read_trace((work / "trace").read_text(errors="replace"), "launcher")
                return Run(result, calls=[call for call in calls if call.name != "clock_nanosleep"])
            with self._prefix() as prefix:
                log = work / "program.log"
                with _ServerTrace(prefix, work / "server", ["-e", "trace=" + ",".join(SERVER_CALLS)]) as server:
                    result = self._wine_run(folder, prefix, log, {}, run_options)
                calls, _ = server.calls()
                return Run(result, calls=calls + _program_calls(log))

    def faulty_run(self, folder, fault, **run_options):
        """Runs the case with the fault; the Run tells the calls it struck and whether it killed."""
        if fault.where != "program" and not all(str(path).startswith("/") for path in fault.paths):
            raise ValueError(f"strace matches whole paths only: {fault}")
        with tempfile.TemporaryDirectory(prefix="fault-run-") as work:
            work = Path(work)
            if fault.where == "launcher":
                options = fault.strace_options()
                for path in fault.paths:
                    options += ["-P", str(path)]
                result = _linux_run(folder, work / "trace", options, run_options)
                calls, killed = read_trace((work / "trace").read_text(errors="replace"), "launcher")
                killed = killed and result.code == -signal.SIGKILL
                return Run(result, fired=_struck(calls, fault, killed), killed=killed)
            with self._prefix() as prefix:
                if fault.where == "server":
                    return self._server_fault(folder, prefix, fault, work, run_options)
                return self._program_fault(folder, prefix, fault, work, run_options)

    def _server_fault(self, folder, prefix, fault, work, run_options):
        options = fault.strace_options()
        for path in fault.paths:
            for form in prefix.forms(path):
                options += ["-P", form]
        with _ServerTrace(prefix, work / "server", options) as server:
            result = self._wine_run(folder, prefix, None, {}, run_options)
        calls, killed = server.calls()
        return Run(result, fired=_struck(calls, fault, killed), killed=killed)

    def _program_fault(self, folder, prefix, fault, work, run_options):
        first, _, last = str(fault.when).partition("..")
        settings = {"FAULTS_NAME": fault.name, "FAULTS_FROM": first.rstrip("+"),
                    "FAULTS_TO": "" if first.endswith("+") else last or first,
                    "FAULTS_ERRNO": str(fault.errno()),
                    "FAULTS_MATCH": "\n".join(os.path.realpath(p) if str(p).startswith("/") else str(p)
                                              for p in fault.paths)}
        log = work / "program.log"
        result = self._wine_run(folder, prefix, log, settings, run_options)
        fired = [call for call in _program_calls(log, "fired") if fault.strikes(call.k)]
        return Run(result, fired=fired, killed=result.code == -signal.SIGKILL and fault.action == "kill" and bool(fired))

    def _wine_run(self, folder, prefix, log, settings, run_options):
        prefix.ready()
        env = dict(run_options.pop("extra_env", None) or {})
        env.update(prefix.env)
        if log is not None:
            env.update({"LD_PRELOAD": str(self.library), "FAULTS_LOG": str(log),
                        "FAULTS_SCOPE": os.path.realpath(folder.path), **settings})
        return folder.run(extra_env=env, **run_options)


def _program_calls(log, kind="call"):
    """The library's log: every counted call of a probe ("call NAME PATH"), numbered per name, or
    the calls a fault struck ("fired NAME K PATH")."""
    calls, numbers = [], {}
    if not log.exists():
        return calls
    for line in log.read_text(errors="surrogateescape").splitlines():
        parts = line.split(" ", 3 if kind == "fired" else 2)
        if parts[0] != kind:
            continue
        if kind == "fired":
            calls.append(Call("program", parts[1], (parts[3],), int(parts[2]), line))
        else:
            numbers[parts[1]] = numbers.get(parts[1], 0) + 1
            calls.append(Call("program", parts[1], (parts[2],), numbers[parts[1]], line))
    return calls


def _linux_run(folder, trace, options, run_options):
    """Runs the launcher under strace, its settle wait skipped (where no path filter keeps the
    sleep from counting). The sanitizer build's leak check cannot run under a tracer."""
    env = dict(run_options.pop("extra_env", None) or {})
    env["ASAN_OPTIONS"] = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "detect_leaks=0"]))
    skip = [] if "-P" in options else ["-e", SKIP_SETTLE_WAIT]
    trace_set = next(i for i, option in enumerate(options) if option.startswith("trace="))
    options = list(options)
    options[trace_set] += ",clock_nanosleep"
    return folder.run(prefix=["strace", "-q", "-y", "-s", "4096", "-o", str(trace), *skip, *options], extra_env=env,
                      **run_options)


def backed_up(announced, stood):
    """The update files among `announced`, in order, whose target held an entry of the previous
    installation (stood(target) is true) when the update first wrote it; a later write of the same
    target finds the update's own file and backs nothing up."""
    written, result = set(), []
    for relative in announced:
        target = asar(relative)
        if target not in written and stood(target):
            result.append(relative)
        written.add(target)
    return result


class Failure:
    """An update laid out so that its walk meets a folder of chosen files first and then at least
    two plain files. The first plain file after the folder is the one that fails: its target is
    an old file that the test makes unreplaceable, or with blocker="folder" a folder standing
    where the update has a file. Everything in the folder is installed before the failure."""

    def __init__(self, folder, core_update, core_install, blocker="file", name="update_7"):
        self.folder = folder
        # The test holds the failing file under Wine; the run waits for it before it fails.
        self.held = WINDOWS and blocker == "file"
        self.update = folder.path / name
        for i in range(PLAIN_FILES):
            lay(self.update, {f"plain_{i}.txt": f"new plain {i}".encode()})

        def plain_after(core, order):
            """Where the walk meets the folder's last file, and the plain files it meets after it."""
            last = max(i for i, relative in enumerate(order) if relative.startswith(core + "/"))
            return last, [relative for relative in order[last + 1:] if relative.startswith("plain_")]

        # A name that puts the folder early enough in the walk.
        self.core, self.order = lay_until_walk_suits(self.update, (f"core{attempt}" for attempt in range(200)),
                                                     lambda core: lay(self.update / core, core_update),
                                                     lambda core, order: len(plain_after(core, order)[1]) >= 2)
        last, later = plain_after(self.core, self.order)
        self.failing = later[0]
        if blocker == "folder":
            lay(folder.path, {self.failing + "/inside.txt": b"a folder where the update has a file"})
        else:
            lay(folder.path, {self.failing: b"old " + self.failing.encode()})
        for position, relative in enumerate(later[1:]):
            if position % 2 == 0:
                lay(folder.path, {relative: b"old " + relative.encode()})
        for relative in self.order[:last + 1]:
            if relative.startswith("plain_"):
                lay(folder.path, {relative: b"old " + relative.encode()})
        lay(folder.path / self.core, core_install)
        self.announced = self.order[:self.order.index(self.failing) + 1]
        self.backed_up = backed_up(self.announced[:-1], lambda target: os.path.lexists(folder.path / target))

    def restored(self, before):
        """The install folder after the rollback: as before, plus what the update added before the
        failure where nothing stood (the last write of a target winning) and the folders made for it."""
        update = snapshot(self.update)
        expected = dict(before)
        for relative in self.announced[:-1]:
            if asar(relative) in before:
                continue
            parts = asar(relative).split("/")
            for depth in range(1, len(parts)):
                expected.setdefault("/".join(parts[:depth]), ("folder",))
            expected[asar(relative)] = update[relative]
        return expected


class Position:
    """An update that fails at its k-th file in walk order, seen from the install folder as it
    was before the run: the files before k that found something at their target were backed up."""

    restored = Failure.restored

    def __init__(self, folder, update, order, k, before, held=False):
        self.folder = folder
        self.update = update
        self.failing = order[k]
        self.announced = order[:k + 1]
        self.backed_up = backed_up(order[:k], lambda target: target in before)
        # Held by another program, which the run waits for before it fails.
        self.held = held


class FaultTestCase(UpdateTestCase):
    """Updates that fail or are cut short, and the runs that install them afterwards."""

    @classmethod
    def injector(cls):
        """The class's fault injector (faults.py), made at its first use and closed after the class."""
        if "_injector" not in cls.__dict__:
            cls._injector = Injector()
            cls.addClassCleanup(cls._injector.close)
        return cls._injector

    def probe_update(self, folder, **options):
        """The calls a clean update run makes (see faults.py)."""
        return self.injector().probe(folder, **options).calls

    def faulty_update(self, folder, fault, **options):
        """Runs an update with the fault (see faults.py), which must strike."""
        run = self.injector().faulty_run(folder, fault, **options)
        self.assertTrue(run.fired, f"{fault} struck no call; the run wrote {run.result.lines}")
        return run

    @contextlib.contextmanager
    def unreplaceable(self, path):
        """Keeps the launcher from moving the file at path: held open without sharing under Wine,
        immutable on Linux."""
        if WINDOWS:
            # For the whole block, however long the runs in it wait for the file.
            with holding(path, seconds=3600):
                yield
            return
        made = subprocess.run(["chattr", "+i", str(path)], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
        if made.returncode != 0:
            self.skipTest(f"cannot make {path} immutable with chattr on this file system")
        try:
            yield
        finally:
            subprocess.run(["chattr", "-i", str(path)], check=True)

    def copy_error(self, source, target):
        return ("Error: error copying file " + from_eight_bit(eight_bit(native(source))) + " to " +
                from_eight_bit(eight_bit(native(target))) + " error:")

    def failure_copy_error(self, failure):
        return self.copy_error(failure.update / failure.failing, failure.folder.path / asar(failure.failing))

    def boxes(self, result, count):
        """The texts of the user's message boxes, of which there must be `count`."""
        self.assertEqual(len(result.messages), count, result.message_texts)
        self.assertMessages(result, *result.message_texts)
        return result.message_texts

    def assertCopyError(self, message, prefix):
        self.assertTrue(message.startswith(prefix), f"{message!r} does not start with {prefix!r}")
        self.assertGreater(len(message), len(prefix) + 1, "the copy error names no reason")

    def assertNothingStarted(self, folder, result, cwd=None):
        self.assertEqual(result.code, 255, result.stderr[-2000:])
        self.assertFalse(((cwd or self.root) / "liveUpdateLog.log").exists())
        self.assertEqual(folder.lobby_starts(), [])

    def waiting_line(self, result, path):
        """The one line that says the run waited for the file at path, held by another program."""
        prefix = b"waiting for " + eight_bit(native(path)) + b": "
        waiting = [line for line in result.lines if line.startswith(prefix)]
        self.assertEqual(len(waiting), 1, result.lines)
        return waiting[0]

    def assertRolledBack(self, failure, result, rollback, ending):
        """Files announced up to the failing one (after waiting for it, when it was held), then the
        backups moved back, then `ending`."""
        folder = failure.folder
        waited = [self.waiting_line(result, folder.path / asar(failure.failing))] if failure.held else []
        announced = len(HEAD) + len(failure.announced) + len(waited)
        self.assertEqual(result.lines[:announced],
                         HEAD + [self.copying(folder, failure.update, relative, rollback)
                                 for relative in failure.announced] + waited)
        self.assertEqual(result.lines[announced:-1],
                         [self.rollbacking(folder, relative, rollback) for relative in reversed(failure.backed_up)])
        self.assertEqual(result.lines[-1], ending + eight_bit(rollback))

    def check_rolled_back(self, failure, before, update_before, result, cwd=None):
        rollback = self.rollback_folder(result, failure.folder)
        self.assertNothingStarted(failure.folder, result, cwd)
        self.assertEqual(failure.folder.tree(), failure.restored(before))
        self.assertEqual(snapshot(failure.update), update_before)
        message, = self.boxes(result, 1)
        self.assertCopyError(message, self.failure_copy_error(failure))
        self.assertRolledBack(failure, result, rollback, b"deleting rollback folder ")
        self.assertNoRollbackLeft(failure.folder)

    def place(self, name):
        """An install folder below a folder of its own, which is also the runs' current directory,
        so that runs side by side cannot meet."""
        base = self.root / name
        return InstallFolder(base, "Client"), base

    def check_installed(self, folder, update, order, expected, result, cwd, after_kill=False):
        """The run installed the update's files in `order` (None: there was no update left), deleted
        its rollback and update folders and started the Lobby. After a killed run it first finishes
        what that one left behind; those lines are returned."""
        self.assertEqual(result.code, 0, result.stderr[-2000:])
        self.assertMessages(result)
        lines = list(result.lines)
        recovery = []
        # The Lobbies are ended before what a killed run left is undone.
        first = len(HEAD) if lines[:len(HEAD)] == HEAD else 0
        while after_kill and len(lines) > first and lines[first].startswith((b"rollbacking ", b"deleting rollback folder ")):
            recovery.append(lines.pop(first))
        if order is None:
            self.assertEqual(lines, self.lobby_lines(folder))
        else:
            rollback = rollback_named(lines[len(HEAD)]) if len(lines) > len(HEAD) else ""
            self.assertEqual(lines, HEAD + [self.copying(folder, update, relative, rollback) for relative in order] +
                             self.lobby_lines(folder) + [b"deleting rollback folder " + eight_bit(rollback)])
        self.assertEqual(folder.tree(), expected)
        self.assertFalse(update.exists())
        self.assertNoRollbackLeft(folder)
        self.assertTrue((cwd / "liveUpdateLog.log").exists())
        if not after_kill:
            self.assertLobbyStartedOnce(folder)
        return recovery
