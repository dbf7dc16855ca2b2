"""Copies of the test Wine prefix for runs that a fault strikes, each with a server of its own
(see faults.py)."""

import contextlib
import os
import re
import signal
import subprocess
import time
from pathlib import Path

from harness import prepare_wine
from syscalls import read_trace

# What runs in a prefix between runs: its server and the services its first program started.
RESIDENT = {"wineserver", "wineserver32", "wineserver64", "services.exe", "winedevice.exe", "plugplay.exe",
            "svchost.exe", "rpcss.exe"}
SETTLE_SECONDS = 30


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


def _ended(pid):
    """Whether the process is dying or dead: exiting (PF_EXITING, set before it closes its files,
    so before any client can see it gone), a zombie its parent has not reaped yet, or gone."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rpartition(")")[2].split()
    except OSError:
        return True
    return fields[0] in ("Z", "X") or bool(int(fields[6]) & 0x4)


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
        pid = self.pid = self.prefix.ready()
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
        # A server that a fault killed ends its strace once strace has written the death down;
        # told to stop before then, strace would leave without the lines that show the fault fired.
        deadline = time.monotonic() + 30
        while self.process.poll() is None and _ended(self.pid) and time.monotonic() < deadline:
            time.sleep(0.02)
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
        self.process.wait(60)

    def calls(self):
        calls, killed = read_trace(self.file.read_text(errors="replace"), "server", self.prefix.host)
        if killed:
            self.prefix.end_programs()
        return calls, killed
