"""The test-case classes that the test modules share."""

import ctypes
import os
import re
import shutil
import stat
import tempfile
import unittest
from pathlib import Path

from harness import (ERROR_STYLE, HEAD, ROLLBACK_STORE, SEPARATOR, WINDOWS, decode_argument, eight_bit, from_eight_bit,
                     native, prepare_wine, quoted)
from results import flushes_and_writes
from runs import InstallFolder
from trees import asar, describe

PR_SET_CHILD_SUBREAPER = 36


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
