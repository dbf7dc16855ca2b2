"""Runs the real Launcher on temporary install folders and reads back what happened."""

import json
import os
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

from harness import (BIN, CLOSED, LAUNCHER_NAME, LOBBY_NAME, ROLLBACK_STORE, WAIT_SECONDS, WINDOWS, decode_argument,
                     native, wine_environment)
from results import read_result
from trees import snapshot


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
