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
"""

import contextlib
import os
import queue
import shutil
import signal
import subprocess
import tempfile
from pathlib import Path

from harness import BIN, LAUNCHER_NAME, WINDOWS, pe_bits
from prefixes import Prefix, _ServerTrace
from syscalls import Call, Run, _struck, read_trace

# Where a run's file-name operations are made, and where its data is written and flushed.
FILES = "server" if WINDOWS else "launcher"
DATA = "program" if WINDOWS else "launcher"
# How a step links a file into place: the launcher on Linux reaches each name from a handle of its
# folder, which strace's path filter (-P) cannot match; a fault on such a call is aimed by its count.
LINK = "link" if WINDOWS else "linkat"

LAUNCHER_CALLS = ("rename", "renameat", "renameat2", "link", "linkat", "unlink", "unlinkat", "mkdir", "mkdirat",
                  "rmdir", "openat", "write", "pwrite64", "fsync", "fdatasync", "syncfs", "copy_file_range",
                  "symlink", "symlinkat", "chmod", "fchmod", "fchmodat", "ftruncate", "statx", "newfstatat",
                  "getdents64")
SERVER_CALLS = ("rename", "renameat", "renameat2", "link", "linkat", "unlink", "unlinkat", "mkdir", "mkdirat",
                "rmdir", "openat")
SKIP_SETTLE_WAIT = "inject=clock_nanosleep:retval=0:when=1"
PRELOAD_SOURCE = Path(__file__).resolve().parents[1] / "support" / "fault_preload.c"


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
