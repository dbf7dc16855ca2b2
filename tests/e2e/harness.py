"""Runs the real Launcher on temporary install folders and reads back what happened.

The target comes from the environment, so every test module runs on both builds:
  E2E_TARGET   "linux" (default) or "windows" (Launcher.exe under Wine)
  E2E_BIN      folder holding the built launcher and the test Lobby
  WINEPREFIX   the Wine prefix the test run owns (windows only)
"""

import collections
import contextlib
import ctypes
import hashlib
import json
import os
import re
import shutil
import stat
import subprocess
import tempfile
import time
import unittest
from dataclasses import dataclass, field
from pathlib import Path

TARGET = os.environ.get("E2E_TARGET", "linux")
BIN = Path(os.environ.get("E2E_BIN", Path(__file__).resolve().parents[2] / "build" / TARGET / "bin"))
WINDOWS = TARGET == "windows"
LAUNCHER_NAME = "Launcher.exe" if WINDOWS else "launcher"
LOBBY_NAME = "Lobby.exe"
# Where the launcher keeps its rollback folders and installation records, in the install folder.
ROLLBACK_STORE = "zintu_rollback"


def pe_bits(path):
    """32 or 64: the word size a Windows program was built for."""
    with open(path, "rb") as f:
        head = f.read(4096)
    machine = int.from_bytes(head[int.from_bytes(head[0x3C:0x40], "little") + 4:][:2], "little")
    return 32 if machine == 0x14C else 64


# The test Lobby's builds, each installed as Lobby.exe: beside the 32-bit Launcher.exe a 32-bit
# and a 64-bit one; beside the x86_64 build that stands in for it, one of its own word size.
if WINDOWS and pe_bits(BIN / LOBBY_NAME) == 32:
    LOBBY_BUILDS = {"Lobby.exe": 32, "Lobby64.exe": 64}
else:
    LOBBY_BUILDS = {"Lobby.exe": 64}
ERROR_STYLE = 0x00010010
WAIT_SECONDS = 30
# Given as a run's standard output: the launcher starts with standard output closed.
CLOSED = "closed"
RESTART_LINE = b"restart mode / kill mode"
PASS_LINE = b"killing lobby processes"
# How a run that installs an update begins: it ends the running Lobbies first.
HEAD = [RESTART_LINE, PASS_LINE]
ALREADY_RUNNING = "Error: Another instance of this program is already running."
REINSTALL = "There was an error while rollbacking a failed update. You may need to reinstall the application."
SEPARATOR = "\\" if WINDOWS else "/"
READ_ONLY = 0o444
UPDATE_NAME = "update_7"
# Top-level entries of an update that the Launcher keeps for itself and skips.
OWN_NAME = re.compile(r"(zintu_rollback|(old_)?update_\d+)(/|$)|launcher\.lock$", re.IGNORECASE if WINDOWS else 0)
PR_SET_CHILD_SUBREAPER = 36


def native(path):
    """A Unix path as the Launcher sees and prints it: Z:\\... under Wine."""
    path = str(path)
    if not WINDOWS:
        return path
    return "Z:" + path.replace("/", "\\")


def eight_bit(text):
    """The 8-bit form a diagnostic line prints: the ANSI code page under Wine, UTF-8 on Linux."""
    if not WINDOWS:
        return text.encode("utf-8")
    return text.encode("cp1252", errors="replace")


def quoted(path):
    """A path as the file-system library writes it to a stream: in double quotes, '&' escaping."""
    text = native(path)
    return '"' + text.replace("&", "&&").replace('"', '&"') + '"'


def wine_environment():
    env = dict(os.environ)
    env["WINEDEBUG"] = "-all,+relay"
    env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    return env


_RELAY_CALL = re.compile(r'Call (?:user32|KERNEL32|kernel32|kernelbase|KERNELBASE)\.(\w+)\((.*)\) ret=')


def _unescape_wine(text):
    """Reads one string argument of a relay trace line (Wine's debugstr_w escaping)."""
    out, i = [], 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            n = text[i + 1]
            simple = {"n": "\n", "r": "\r", "t": "\t", "\\": "\\", '"': '"', "'": "'", "0": "\0"}
            if re.match(r"[0-9a-fA-F]{4}", text[i + 1:i + 5]):
                out.append(chr(int(text[i + 1:i + 5], 16)))
                i += 5
                continue
            out.append(simple.get(n, n))
            i += 2
            continue
        out.append(c)
        i += 1
    return "".join(out)


def _string_arguments(arguments):
    return [_unescape_wine(m) for m in re.findall(r'L"((?:[^"\\]|\\.)*)"', arguments)]


def _plain_arguments(arguments):
    """The arguments of a relay trace line as hexadecimal values, the strings shown after
    pointers left out."""
    return [int(value, 16) for value in re.sub(r' ?L"(?:[^"\\]|\\.)*"(?:\.\.\.)?', "", arguments).split(",")]


@dataclass
class Message:
    text: str
    caption: str = "Zintu Launcher"
    style: int = ERROR_STYLE
    # Wine's trace shows at most 300 characters of a text: the rest of a longer one is not seen.
    cut: bool = False


@dataclass
class Result:
    code: int
    stdout: bytes
    stderr: bytes
    messages: list = field(default_factory=list)
    terminations: list = field(default_factory=list)
    created: list = field(default_factory=list)
    # Per CreateProcessW call, in order: whether the new process was to inherit handles.
    inheriting: list = field(default_factory=list)

    @property
    def lines(self):
        """Diagnostic lines as bytes, each without its line ending."""
        return [line.rstrip(b"\r") for line in self.stdout.split(b"\n")][:-1] if self.stdout else []

    @property
    def text_lines(self):
        return [line.decode("utf-8", errors="replace") for line in self.lines]

    @property
    def message_texts(self):
        return [m.text for m in self.messages]


def _parse_linux_messages(stderr):
    text = stderr.decode("utf-8", errors="replace")
    parts = re.split(r"(?:^|\n)Zintu Launcher: ", text)
    return [Message(part[:-1] if part.endswith("\n") else part) for part in parts[1:]]


def _parse_wine_trace(stderr):
    messages, terminations, created, inheriting = [], [], [], []
    for line in stderr.decode("utf-8", errors="replace").splitlines():
        m = _RELAY_CALL.search(line)
        if not m:
            continue
        name, arguments = m.groups()
        if name == "MessageBoxW":
            strings = _string_arguments(arguments)
            style = int(arguments.rsplit(",", 1)[1], 16)
            cut = bool(re.match(r'\w+ L"(?:[^"\\]|\\.)*"\.\.\.', arguments.split(",", 1)[1]))
            messages.append(Message(strings[0], strings[1], style, cut))
        elif name == "TerminateProcess":
            terminations.append(int(arguments.rsplit(",", 1)[1], 16))
        elif name == "CreateProcessW":
            created.append(_string_arguments(arguments))
            inheriting.append(_plain_arguments(arguments)[4] != 0)
    return messages, terminations, created, inheriting


_STRACE_CALL = re.compile(r'^(?:\d+ +)?(syncfs|fsync|fdatasync|write)\(\d+<(.*?)>(?:, "(.*?)")?.*\) += (-?\d+)$')
_WINE_LINE = re.compile(r'^(\w+):(?:trace:file:(CreateFileW|WriteFile) (.*)|(Call|Ret)  ?KERNEL32\.FlushFileBuffers\((.*?)\)'
                        r'(?: retval=([0-9a-f]+))?)')


def flushes_and_writes(trace):
    """The flushes and writes that a traced run made, in order, as (call, path, outcome): ("flush",
    path, succeeded) for a file or folder, ("flush volume", path, succeeded), ("write", path, text
    written or its length). `trace` is strace's output (strace -f -y -e trace=write,syncfs,fsync)
    on Linux, or the run's standard error under Wine with WINEDEBUG=+file and the relay trace."""
    events = []
    if not WINDOWS:
        for line in trace.splitlines():
            m = _STRACE_CALL.match(line)
            if not m:
                continue
            call, path, text, ret = m.groups()
            if call == "write":
                events.append(("write", path, text))
            else:
                events.append(("flush volume" if call == "syncfs" else "flush", path, ret == "0"))
        return events
    opening, handles, flushing = {}, {}, {}
    for line in trace.splitlines():
        m = _WINE_LINE.match(line)
        if not m:
            continue
        thread, file_call, arguments, relay, handle, retval = m.groups()
        if file_call == "CreateFileW" and arguments.startswith("returning "):
            handles[int(arguments.split()[1], 16) & 0xFFFFFFFF] = opening.pop(thread, None)
        elif file_call == "CreateFileW":
            # As the user knows the path, not in the form that works at any length.
            opening[thread] = re.sub(r"^\\\\\?\\(?=[A-Za-z]:)", "", _string_arguments(arguments)[0])
        elif file_call == "WriteFile":
            handle, _, length = arguments.split()[:3]
            events.append(("write", handles.get(int(handle, 16)), int(length)))
        elif relay == "Call":
            flushing[thread] = handles.get(int(handle, 16))
        elif relay == "Ret":
            path = flushing.pop(thread, None)
            volume = path is not None and path.startswith(("\\\\?\\Volume", "\\\\.\\"))
            events.append(("flush volume" if volume else "flush", path, int(retval, 16) != 0))
    return events


_TRACED_STRING = re.compile(r'L"((?:[^"\\]|\\.)*)"(\.\.\.)?')


def long_traced_paths(trace):
    """The paths of 260 characters or more that the Win32 file calls of a run received, from its
    standard error under WINEDEBUG=+file: those that begin with a drive or with two backslashes
    (Wine shows at most 300 characters of a string, cut short with "..."; its own NT names and the
    names it resolves below a drive are left out)."""
    paths = []
    for line in trace.splitlines():
        if ":trace:file:" not in line:
            continue
        for text, cut in _TRACED_STRING.findall(line):
            text = _unescape_wine(text)
            if (cut or len(text) >= 260) and re.match(r"[A-Za-z]:\\|\\\\", text):
                paths.append(text)
    return paths


class InstallFolder:
    """A temporary install folder holding copies of the launcher and the test Lobby."""

    def __init__(self, root, name="Client", lobby=True, launcher=True, lobby_build=LOBBY_NAME, drive=None):
        self.path = Path(root) / name
        # Windows: a drive letter whose root is this folder (the caller links it in the prefix).
        self.drive = drive
        self.path.mkdir(parents=True, exist_ok=True)
        if launcher:
            shutil.copy2(BIN / LAUNCHER_NAME, self.path / LAUNCHER_NAME)
        if lobby:
            shutil.copy2(BIN / lobby_build, self.path / LOBBY_NAME)

    @property
    def launcher(self):
        return self.path / LAUNCHER_NAME

    @property
    def program(self):
        """The launcher as it is started: by its path on the drive, where the folder is one's root."""
        return f"{self.drive.upper()}:\\{LAUNCHER_NAME}" if self.drive else self.launcher

    def native(self, *parts):
        if self.drive:
            return f"{self.drive.upper()}:\\" + "\\".join(parts)
        return native(self.path.joinpath(*parts))

    def write(self, relative, content=b"", mode=None):
        file = self.path / relative
        file.parent.mkdir(parents=True, exist_ok=True)
        file.write_bytes(content if isinstance(content, bytes) else content.encode("utf-8"))
        if mode is not None:
            file.chmod(mode)
        return file

    def lobby_stays(self, seconds):
        self.write("lobby-stay-seconds.txt", str(seconds))

    def run(self, *args, cwd=None, timeout=120, extra_env=None, stdout=None, prefix=()):
        """Runs the launcher to its end (see run_launcher)."""
        return run_launcher(self.program, list(args), cwd=cwd or self.path.parent, timeout=timeout,
                            extra_env=extra_env, stdout=stdout, prefix=prefix)

    def start(self, *args, cwd=None, stdout=None, stderr=None):
        """Starts the launcher without waiting; the caller waits on the returned process."""
        command, env = launcher_command(self.program, list(args))
        return subprocess.Popen(command, cwd=cwd or self.path.parent, env=env,
                                stdin=subprocess.DEVNULL, stdout=stdout or subprocess.DEVNULL,
                                stderr=stderr or subprocess.DEVNULL)

    def begin(self, *args, cwd=None, extra_env=None):
        """Starts the launcher like run() but returns at once, with a StartedRun to finish later."""
        return StartedRun(self.program, list(args), cwd=cwd or self.path.parent, extra_env=extra_env)

    def start_lobby(self, path=None):
        """Starts the Lobby directly, not through the launcher, by `path` in the form the launcher
        sees (a Windows path under Wine), for example the same path in other letter case."""
        command = [path or self.native(LOBBY_NAME)]
        env = wine_environment() if WINDOWS else dict(os.environ)
        if WINDOWS:
            command.insert(0, "wine")
            env["WINEDEBUG"] = "-all"
        return subprocess.Popen(command, cwd=self.path.parent, env=env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def lobby_records(self):
        file = self.path / "lobby-runs.jsonl"
        if not file.exists():
            return []
        return [json.loads(line) for line in file.read_text().splitlines() if line.strip()]

    def lobby_starts(self):
        return [r for r in self.lobby_records() if r["event"] == "started"]

    def wait_lobby_starts(self, count=1, timeout=WAIT_SECONDS, cwd=None):
        """Waits until the Lobby has recorded `count` starts (by runs in the current directory
        `cwd`, if given); returns those records."""
        def starts():
            return [r for r in self.lobby_starts() if cwd is None or decode_argument(r["cwd"]) == native(cwd)]

        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            found = starts()
            if len(found) >= count:
                return found
            time.sleep(0.05)
        raise AssertionError(f"the Lobby recorded {len(starts())} starts, expected {count}")

    def wait_lobby_ended(self, pid, timeout=WAIT_SECONDS):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if any(r["event"] == "ended" and r["pid"] == pid for r in self.lobby_records()):
                return
            time.sleep(0.05)
        raise AssertionError(f"Lobby {pid} did not end by itself")

    def has_ended(self, pid):
        return any(r["event"] == "ended" and r["pid"] == pid for r in self.lobby_records())

    def tree(self, ignore=("lobby-runs.jsonl", "launcher.lock", LAUNCHER_NAME, LOBBY_NAME, ROLLBACK_STORE)):
        """The install folder's entries (see snapshot), without the launcher's own files."""
        return snapshot(self.path, ignore)


def decode_argument(text):
    """Lobby record text as characters: UTF-16 under Wine, UTF-8 bytes on Linux."""
    if WINDOWS:
        return text
    return text.encode("latin-1").decode("utf-8", errors="surrogateescape")


def snapshot(root, ignore=(), executable=False):
    """Every entry below root by relative path: kind, content or link text, and write permission
    (and with `executable`, whether the owner may run it). Entries whose first path element is in
    `ignore` are left out, with everything below them."""
    root = Path(root)
    result = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for name in sorted(dirnames + filenames):
            path = Path(dirpath) / name
            relative = path.relative_to(root).as_posix()
            if relative.split("/")[0] in ignore:
                continue
            info = os.lstat(path)
            writable = bool(info.st_mode & stat.S_IWUSR)
            if stat.S_ISLNK(info.st_mode):
                result[relative] = ("link", os.readlink(path))
            elif stat.S_ISDIR(info.st_mode):
                result[relative] = ("folder",)
            elif stat.S_ISREG(info.st_mode):
                result[relative] = ("file", path.read_bytes(), writable) + \
                    ((bool(info.st_mode & stat.S_IXUSR),) if executable else ())
            else:
                result[relative] = ("special", stat.S_IFMT(info.st_mode))
    return result


def launcher_command(launcher, args):
    if WINDOWS:
        return ["wine", str(launcher)] + args, wine_environment()
    return [str(launcher)] + args, dict(os.environ)


def _close_standard_output():
    os.close(1)


def run_launcher(launcher, args, cwd, timeout=120, extra_env=None, stdout=None, prefix=()):
    """Runs the launcher to its end. `stdout` replaces the file that collects its diagnostic lines:
    a file descriptor, or CLOSED to start it with standard output closed (Linux only); the result
    then holds no lines. `prefix` is a command that runs the launcher (strace, say)."""
    command, env = launcher_command(launcher, args)
    command = list(prefix) + command
    env.update(extra_env or {})
    closed = stdout == CLOSED
    # Files, not pipes: a Lobby left running must not hold the test's pipes open.
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        code = subprocess.run(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                              stdout=out if stdout is None or closed else stdout, stderr=err,
                              preexec_fn=_close_standard_output if closed else None,
                              timeout=timeout).returncode
        out.seek(0)
        err.seek(0)
        stdout, stderr = out.read(), err.read()
    return read_result(code, stdout, stderr)


def read_result(code, stdout, stderr):
    """What a finished run left: its exit code, its lines and the messages it showed."""
    result = Result(code, stdout, stderr)
    if WINDOWS:
        result.messages, result.terminations, result.created, result.inheriting = _parse_wine_trace(stderr)
    else:
        result.messages = _parse_linux_messages(stderr)
    return result


class StartedRun:
    """A launcher run that goes on while the test acts; finish() waits for it and reads what happened."""

    def __init__(self, launcher, args, cwd, extra_env=None):
        command, env = launcher_command(launcher, args)
        env.update(extra_env or {})
        self._files = tempfile.TemporaryDirectory(prefix="launcher-run-")
        self._out = Path(self._files.name) / "stdout"
        self._err = Path(self._files.name) / "stderr"
        # Appending, and read back through the name: the test's reads never move the launcher's writes.
        with open(self._out, "ab") as out, open(self._err, "ab") as err:
            self.process = subprocess.Popen(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL, stdout=out,
                                            stderr=err)

    def output_lines(self):
        """The diagnostic lines written so far, as bytes without line endings."""
        return [line.rstrip(b"\r") for line in self._out.read_bytes().split(b"\n")[:-1]]

    def wait_line(self, line, timeout=WAIT_SECONDS):
        """Waits until the launcher has written `line`; fails if it ends or the time runs out first."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if line in self.output_lines():
                return
            if self.process.poll() is not None:
                break
            time.sleep(0.05)
        raise AssertionError(f"the launcher did not write {line!r}; it wrote {self.output_lines()!r}")

    def finish(self, timeout=120):
        try:
            code = self.process.wait(timeout)
            return read_result(code, self._out.read_bytes(), self._err.read_bytes())
        finally:
            self._files.cleanup()

    def stop(self):
        """Ends a run that the test no longer waits for (cleanup after a failure)."""
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self._files.cleanup()


HOLD_FILE = BIN / ("hold_file.exe" if WINDOWS else "hold_file")


@contextlib.contextmanager
def holding(path, seconds=WAIT_SECONDS, until=None, share=False):
    """Keeps the existing file or folder `path` open (tests/lobby/hold_file.cpp) for the block:
    without sharing, or with all sharing, as a scanner does. The helper has opened it when the
    block starts. With `until` it lets go `seconds` after something appears at that path, whether
    or not the block has ended."""
    path = Path(path)
    marker = Path(str(path) + ".held")
    arguments = [str(seconds)] + ([native(until)] if until else []) + \
        (["share"] if share else [])
    if WINDOWS:
        command, env = ["wine", str(HOLD_FILE), native(path)] + arguments, wine_environment()
        env["WINEDEBUG"] = "-all"
    else:
        command, env = [str(HOLD_FILE), str(path)] + arguments, dict(os.environ)
    process = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + WAIT_SECONDS
        while not marker.exists():
            if process.poll() is not None or time.monotonic() > deadline:
                raise AssertionError(f"hold_file could not hold {path} (exit code {process.poll()})")
            time.sleep(0.05)
        # At once: beside a file of an update, the marker would be installed with it.
        marker.unlink()
        yield process
    finally:
        if process.poll() is None:
            process.kill()
        process.wait()


def prepare_wine(prefix=None):
    """Makes the test prefix (or another) trace the calls the tests read, and keeps its server up."""
    env = wine_environment()
    env["WINEDEBUG"] = "-all"
    if prefix is not None:
        env["WINEPREFIX"] = str(prefix)
    subprocess.run(["wineserver", "-p", "10"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=False)
    relay = ("user32.MessageBoxW;kernel32.CreateProcessW;kernel32.TerminateProcess;kernel32.FlushFileBuffers")
    subprocess.run(["wine", "reg", "add", r"HKCU\Software\Wine\Debug", "/v", "RelayInclude", "/t", "REG_SZ",
                    "/d", relay, "/f"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=True)


class LauncherTestCase(unittest.TestCase):
    """Gives every test its own temporary root for install folders."""

    @classmethod
    def setUpClass(cls):
        if WINDOWS:
            prepare_wine()

    def setUp(self):
        self.root = Path(tempfile.mkdtemp(prefix="launcher-e2e-"))
        self.addCleanup(self._remove_root)

    def _remove_root(self):
        for dirpath, dirnames, filenames in os.walk(self.root):
            for name in dirnames + filenames:
                path = Path(dirpath) / name
                if not path.is_symlink():
                    try:
                        path.chmod(path.stat().st_mode | stat.S_IWUSR | stat.S_IXUSR)
                    except OSError:
                        pass
        shutil.rmtree(self.root, ignore_errors=True)

    def install(self, name="Client", **kwargs):
        return InstallFolder(self.root, name, **kwargs)

    def assertMessages(self, result, *texts):
        """The user saw exactly these messages, each in an error box captioned "Zintu Launcher"."""
        self.assertEqual(result.message_texts, list(texts))
        for message in result.messages:
            self.assertEqual(message.caption, "Zintu Launcher")
            self.assertEqual(message.style, ERROR_STYLE)


def host_path(text):
    """A path as the Launcher prints it, as a path on this machine: under Wine the drive letter
    is resolved through the prefix's dosdevices links."""
    if not WINDOWS:
        return Path(text)
    base = Path(os.environ["WINEPREFIX"]) / "dosdevices" / text[:2].lower()
    return base.joinpath(*[part for part in text[3:].split("\\") if part])


def walk_order(folder):
    """Relative paths, with "/", of the entries below folder that are not folders, in the order the
    Launcher's recursive walk meets them: each folder's entries in listing order, a sub-folder's
    tree right where the sub-folder is met. A link to a folder counts as a folder and is not
    entered. Linux lists in the file system's own order; Wine sorts names by their upper case."""
    order = []

    def visit(path, prefix):
        with os.scandir(path) as listing:
            entries = list(listing)
        if WINDOWS:
            entries.sort(key=lambda entry: entry.name.upper())
        for entry in entries:
            if not entry.is_dir():
                order.append(prefix + entry.name)
            elif not entry.is_symlink():
                visit(entry.path, prefix + entry.name + "/")

    visit(folder, "")
    return order


def mount_tmpfs(test, path, size="64m"):
    """Mounts a new tmpfs of the given size at path for the rest of the test; False when this
    machine does not let the test mount one."""
    path = Path(path)
    path.mkdir(parents=True, exist_ok=True)
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size},mode=0755", "tmpfs", str(path)],
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if mounted.returncode != 0:
        return False
    # Lazily: a Lobby that has not yet exited may still have its program there.
    test.addCleanup(subprocess.run, ["umount", "--lazy", str(path)], stdin=subprocess.DEVNULL,
                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return True


# How each kind of volume that players' games lie on is made in an image file and mounted.
IMAGE_VOLUMES = {
    "ntfs": (["mkfs.ntfs", "-q", "-F", "-f"], ["-t", "ntfs-3g"]),
    "exfat": (["mkfs.exfat"], ["-o", "loop", "-t", "exfat-fuse"]),
    "xfs": (["mkfs.xfs", "-q"], ["-o", "loop"]),
    "btrfs": (["mkfs.btrfs", "-q"], ["-o", "loop"]),
}


def mount_image(test, kind, path, size="320m"):
    """Mounts a new volume of the given kind (a key of IMAGE_VOLUMES), made in a sparse image file
    beside path, at path for the rest of the test. Returns "" once mounted, else why this machine
    cannot (no FUSE or loop device, a tool missing): the failing command's own words."""
    path = Path(path)
    path.mkdir(parents=True, exist_ok=True)
    image = path.with_name(path.name + ".img")
    make, options = IMAGE_VOLUMES[kind]
    test.addCleanup(image.unlink, missing_ok=True)
    for command in (["truncate", "-s", size, str(image)], make + [str(image)], ["mount", *options, str(image), str(path)]):
        try:
            done = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        except OSError as error:
            return f"{command[0]}: {error.strerror}"
        if done.returncode != 0:
            return done.stderr.decode("utf-8", errors="replace").strip() or f"{command[0]} exited with {done.returncode}"
    # Lazily: a Lobby that has not yet exited may still have its program there.
    test.addCleanup(subprocess.run, ["umount", "--lazy", str(path)], stdin=subprocess.DEVNULL,
                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return ""


def asar(relative):
    """Where an update file lands in the install folder: only ".asar_tmp" exactly becomes ".asar"."""
    return relative[:-len("_tmp")] if relative.endswith(".asar_tmp") else relative


def from_eight_bit(line):
    return line.decode("cp1252" if WINDOWS else "utf-8", errors="replace")


def lay(base, entries):
    """Creates entries below base: bytes for a file, (bytes, mode) for a file with that mode, a
    str for a symbolic link with that text, None for an empty folder."""
    for relative, entry in entries.items():
        path = base / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        if entry is None:
            path.mkdir()
        elif isinstance(entry, str):
            os.symlink(entry, path)
        elif isinstance(entry, tuple):
            path.write_bytes(entry[0])
            path.chmod(entry[1])
        else:
            path.write_bytes(entry)


def lay_until_walk_suits(update, names, lay_as, suits, also=()):
    """Lays entries under each of `names` in turn (lay_as(name)) until the update's walk order suits
    (suits(name, order)); returns that name and the order. The walk follows the file system's order
    of names (a hash of the name on ext4, the newest entry first on tmpfs, by upper case under Wine),
    so only trying tells which name comes where. What a name that does not suit laid is removed,
    below the update and below each folder of `also`."""
    names = list(names)
    for name in names:
        lay_as(name)
        order = walk_order(update)
        if suits(name, order):
            return name, order
        for base in (update, *also):
            shutil.rmtree(base / name, ignore_errors=True)
    raise AssertionError(f"none of the names {names[0]} to {names[-1]} puts the walk of {update} in the order wanted")


def without(tree, top):
    return {relative: entry for relative, entry in tree.items() if relative.split("/")[0] != top}


def rollback_named(copying):
    """The rollback folder that a "copying" line names."""
    found = re.search(rb" using as rollback (.*[\\/]zintu_rollback[\\/][0-9a-f]{8})[\\/]", copying)
    return from_eight_bit(found.group(1))


def folding(ignores_case=False):
    """Paths as the file system tells them apart, as a key: Windows ignores letter case, and so
    does a volume that `ignores_case` (exFAT)."""
    return str.upper if WINDOWS or ignores_case else str


def skipped(relative):
    """Whether the Launcher skips the update's entry: it stands under a name the Launcher keeps."""
    return bool(OWN_NAME.match(relative))


def after_update(before, update, order, fold=None):
    """The install folder once the whole update is in, from its tree `before` and the update's
    entries `update` (see snapshot) met in walk `order`: each target written by the update's files
    in that order, the last one winning under its own name in place of every name the file system
    (`fold`, see folding) takes for the same, with the permissions of what stood there before the
    first; the names the Launcher keeps for itself skipped; folders made only for files, since the
    walk meets neither the update's empty folders nor its links to folders."""
    fold = fold or folding()
    result = dict(before)
    names = collections.defaultdict(list)
    for path in before:
        names[fold(path)].append(path)
    originals = {}
    for relative in order:
        if skipped(relative):
            continue
        target = asar(relative)
        key = fold(target)
        standing = names[key]
        originals.setdefault(key, before.get(standing[0]) if standing else None)
        for path in standing:
            del result[path]
        entry, original = update[relative], originals[key]
        if entry[0] == "file" and original and original[0] == "file":
            entry = entry[:2] + original[2:]
        result[target] = entry
        names[key] = [target]
        parts = target.split("/")
        for depth in range(1, len(parts)):
            folder = "/".join(parts[:depth])
            if not names[fold(folder)]:
                result[folder] = ("folder",)
                names[fold(folder)] = [folder]
    return result


def describe(entry):
    """A tree entry in a few words, for failure messages."""
    if entry is None:
        return "nothing"
    if entry[0] == "file":
        return f"file of {len(entry[1])} bytes {hashlib.sha1(entry[1]).hexdigest()[:8]}" + \
            ("" if entry[2] else " read-only")
    return " ".join(entry)


# Every kind of entry an update brings: replacing and new files, read-only on either side, nested
# and deep new folders, archives under the ".asar_tmp" rule, an empty file, an empty folder.
EVERY_KIND_UPDATE = {
    "app.exe": b"new program",
    "readme.txt": b"new readme",
    "settings.cfg": (b"new settings", READ_ONLY),
    "version.txt": b"2.0",
    "zero.bin": b"",
    "resources/app.asar_tmp": b"new archive",
    "resources/extra.asar_tmp": b"new extra archive",
    "resources/icons/a.png": b"new a",
    "resources/icons/b.png": b"new b",
    "resources/icons/c.png": (b"new c", READ_ONLY),
    "resources/locales/en.pak": b"new en",
    "resources/locales/de.pak": b"new de",
    "resources/locales/fr.pak": b"new fr",
    "resources/locales/ja.pak": b"new ja",
    "bin/core.dll": bytes(range(256)) * 512,
    "bin/net.dll": b"new net",
    "bin/plugins/chat.dll": b"new chat",
    "bin/plugins/voice.dll": b"new voice",
    "bin/plugins/codecs/deep/h264.dll": b"new codec",
    "data/levels/1.dat": b"new level 1",
    "data/levels/2.dat": (b"new level 2", READ_ONLY),
    "data/levels/3.dat": b"new level 3",
    "data/big.bin": bytes(reversed(range(256))) * 2048,
    "data/new/set.bin": b"new set",
    "docs/license.txt": b"license",
    "docs/credits.txt": b"credits",
    "fonts/main.ttf": b"new main font",
    "fonts/bold.ttf": (b"new bold font", READ_ONLY),
    "fonts/mono.ttf": b"new mono font",
    "x/y/z/deep.txt": b"new deep",
    "x/y/z/new.txt": b"new in deep",
    "x/y/sibling.txt": b"new sibling",
    "shaders/main.asar_tmp": b"new shaders",
    "shaders/main.asar_tmp.bak": b"not an archive",
    "plugins/empty": None,
}
EVERY_KIND_INSTALL = {
    "app.exe": b"old program",
    "readme.txt": (b"old readme", READ_ONLY),
    "version.txt": b"1.0",
    "zero.bin": b"old, not empty",
    "resources/app.asar": b"old archive \x00\xff",
    "resources/icons/a.png": b"old a",
    "resources/icons/c.png": (b"old c", READ_ONLY),
    "resources/locales/en.pak": b"old en",
    "resources/locales/de.pak": (b"old de", READ_ONLY),
    "bin/core.dll": b"old core",
    "bin/net.dll": (b"old net", READ_ONLY),
    "data/levels/1.dat": b"old level 1",
    "data/levels/2.dat": b"old level 2",
    "data/big.bin": b"old big",
    "fonts/main.ttf": b"old main font",
    "fonts/bold.ttf": b"old bold font",
    "x/y/z/deep.txt": b"old deep",
    "keep.txt": b"not in the update",
    "resources/keep.asar": b"kept archive",
    "data/saves/slot1.sav": (b"saved game", READ_ONLY),
    "x/y/z/keep.txt": b"kept deep",
}
if not WINDOWS:
    EVERY_KIND_UPDATE.update({"shortcut": "app.exe", "current": "version.txt"})
    EVERY_KIND_INSTALL.update({"shortcut": b"old shortcut file"})


class LockAndKillTestCase(LauncherTestCase):
    def assertLockFileEmpty(self, *folders):
        for folder in folders:
            self.assertEqual((folder.path / "launcher.lock").read_bytes(), b"", folder.path)

    def assertDidNothing(self, result, *messages):
        """The run failed before it scanned, waited, ended or started anything."""
        self.assertEqual(result.code, 255)
        self.assertMessages(result, *messages)
        self.assertEqual(result.lines, [])
        if WINDOWS:
            self.assertEqual(result.terminations, [])
            self.assertEqual(result.created, [])

    def begin(self, folder, *args, **kwargs):
        run = folder.begin(*args, **kwargs)
        self.addCleanup(run.stop)
        return run

    def child(self, process):
        self.addCleanup(process.wait)
        self.addCleanup(lambda: process.poll() is None and process.kill())
        return process

    def adopt_orphans(self):
        """Linux: makes the test the parent of the Lobbies that its Launchers leave behind, until
        the test ends, so that it can read how each of them ended (see ended_by)."""
        prctl = ctypes.CDLL(None, use_errno=True).prctl
        if prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
            self.skipTest(f"cannot adopt orphaned processes: {os.strerror(ctypes.get_errno())}")
        self.addCleanup(prctl, PR_SET_CHILD_SUBREAPER, 0, 0, 0, 0)

    def ended_by(self, pid):
        """Waits for an adopted Lobby to end; the signal that ended it, or None when it exited."""
        _, status = os.waitpid(pid, 0)
        return os.WTERMSIG(status) if os.WIFSIGNALED(status) else None


class UpdateTestCase(LauncherTestCase):
    def setUp(self):
        super().setUp()
        self.addTypeEqualityFunc(dict, self.assertTreeEqual)

    def assertTreeEqual(self, first, second, msg=None):
        """Compares trees (see snapshot) by the paths that differ: their contents can be too large to
        print, and a diff of them too slow to make."""
        differing = sorted(path for path in first.keys() | second.keys() if first.get(path) != second.get(path))
        if differing:
            self.fail(self._formatMessage(msg, f"{len(differing)} paths differ:\n" + "\n".join(
                f"{path}: {describe(first.get(path))}, expected {describe(second.get(path))}"
                for path in differing[:30])))

    def run_update(self, folder, extra_env=None, stdout=None, prefix=()):
        return folder.run(extra_env=extra_env, stdout=stdout, prefix=prefix)

    def run_update_under_strace(self, folder, *options):
        """Runs an update under strace with the given options (Linux only)."""
        # The sanitizer build's leak check cannot run under a tracer.
        leaks = {"ASAN_OPTIONS": ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "detect_leaks=0"]))}
        return self.run_update(folder, prefix=["strace", "-f", "-qq", *options], extra_env=leaks)

    def run_update_tracing_flushes(self, folder):
        """Runs an update and returns its result and its flushes and writes (see flushes_and_writes)."""
        if WINDOWS:
            result = self.run_update(folder, extra_env={"WINEDEBUG": "-all,+relay,+file"})
            return result, flushes_and_writes(result.stderr.decode("utf-8", errors="replace"))
        trace = self.root / "flushes.strace"
        result = self.run_update_under_strace(folder, "-y", "-o", str(trace), "-e", "trace=write,syncfs,fsync,fdatasync")
        return result, flushes_and_writes(trace.read_text(errors="replace"))

    def assertDurableBeforeComplete(self, events, copied):
        """Everything the installation placed reached the disk before its completion entry was
        written, and that entry was flushed in turn: the volume was flushed at once or, where it
        cannot be (Wine), each copied file on its own; linked files are the update's own."""
        record = [i for i, (call, path, _) in enumerate(events) if call == "write" and str(path).endswith(".journal")]
        self.assertTrue(record, events)
        complete = record[-1]
        volume = any(call == "flush volume" and ok for call, _, ok in events[:complete])
        flushed = {path for call, path, ok in events[:complete] if call == "flush" and ok}
        self.assertTrue(volume or flushed >= set(copied), (copied, events[max(0, complete - 12):complete]))
        self.assertIn(("flush", events[complete][1], True), events[complete + 1:])
        if not WINDOWS:
            self.assertTrue(volume, "no syncfs before the completion entry")
            self.assertTrue(events[complete][2].startswith("c\\0\\0\\0\\0"), events[complete])

    def begin_update(self, folder, cwd=None, extra_env=None):
        """Starts a run that goes on beside others; each gets its own folder to leave its log in."""
        if cwd:
            cwd.mkdir(exist_ok=True)
        return folder.begin(cwd=cwd, extra_env=extra_env)

    def lobby_lines(self, folder):
        return [b"storageFolder: " + eight_bit(folder.native()), b"siteenv: (empty)",
                b"searching for lobby " + eight_bit(quoted(folder.path / "Lobby.exe"))]

    def copying(self, folder, update, relative, rollback):
        return (b"copying " + eight_bit(native(update / relative)) + b" to " +
                eight_bit(native(folder.path / asar(relative))) + b" using as rollback " +
                eight_bit(rollback + SEPARATOR + relative.replace("/", SEPARATOR)))

    def rollbacking(self, folder, relative, rollback):
        return (b"rollbacking " + eight_bit(rollback + SEPARATOR + relative.replace("/", SEPARATOR)) + b" into " +
                eight_bit(native(folder.path / asar(relative))))

    def assertInstalled(self, result, folder, update, order):
        """The run installed every file of the update in walk order and started the Lobby, without a
        message, and left no rollback folder; returns the rollback folder it used."""
        rollback = self.rollback_folder(result, folder)
        self.assertEqual(result.code, 0, result.stderr[-2000:])
        self.assertMessages(result)
        self.assertEqual(result.lines,
                         HEAD + [self.copying(folder, update, relative, rollback) for relative in order] +
                         self.lobby_lines(folder) + [b"deleting rollback folder " + eight_bit(rollback)])
        self.assertNoRollbackLeft(folder)
        return rollback

    def rollback_folder(self, result, folder):
        """The run's rollback folder, from the line that deletes or keeps it: a fresh one in the
        install folder's rollback store."""
        named = [m.group(1) for m in map(re.compile(rb"(?:deleting|keeping) rollback folder (.*)").fullmatch,
                                         result.lines) if m]
        self.assertEqual(len(named), 1, (result.code, result.lines, result.stderr[-2000:]))
        rollback = from_eight_bit(named[0])
        self.assertRegex(rollback, r"[\\/][0-9a-f]{8}\Z")
        self.assertEqual(rollback[:-9], from_eight_bit(eight_bit(folder.native(ROLLBACK_STORE))))
        return rollback

    def assertNoRollbackLeft(self, folder):
        """Neither a rollback folder nor an installation record is left in the install folder."""
        store = folder.path / ROLLBACK_STORE
        self.assertEqual(sorted(path.name for path in store.iterdir()) if store.exists() else [], [])

    def assertLobbyStartedOnce(self, folder):
        """Returns the Lobby's start record."""
        start, = folder.wait_lobby_starts()
        self.assertEqual([decode_argument(argument) for argument in start["argv"][1:]],
                         ["launcher='launcher'", "--storageFolder", folder.native()])
        return start
