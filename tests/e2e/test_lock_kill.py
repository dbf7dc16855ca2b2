"""One Launcher per install folder, and ending the running Lobbies in kill and restart mode."""

import os
import re
import shutil
import signal
import subprocess
import unittest

from cases import LockAndKillTestCase
from harness import ALREADY_RUNNING, BIN, LOBBY_BUILDS, PASS_LINE, RESTART_LINE, ROLLBACK_STORE, WINDOWS, eight_bit, holding, quoted

# Wine words some system messages differently from Windows; either is the system's own text.
ACCESS_DENIED = {"Error: Access is denied.", "Error: Access denied."}
SHARING_VIOLATION = {"Error: The process cannot access the file because it is being used by another process.",
                     "Error: Sharing violation."}
NOT_FOUND = {"Error: The system cannot find the file specified.", "Error: File not found."}
# Long enough to outlast a kill or restart run (5 s wait and the passes) with room to spare.
STAY_SECONDS = 15


def start_lines(folder):
    return [b"storageFolder: " + eight_bit(folder.native()), b"siteenv: (empty)",
            b"searching for lobby " + eight_bit(quoted(folder.path / "Lobby.exe"))]


def swap_ascii_case(text):
    return "".join(c.swapcase() if c.isascii() else c for c in text)


class KillMode(LockAndKillTestCase):
    # Kill mode ends both Lobbies of its folder, even one started by a path in other letter case on
    # Windows, and nothing else, then stops without timing log, Lobby start or installing the
    # pending update, while a second Launcher of the folder is refused and one of another folder
    # runs undisturbed. The Lobbies are ended with exit code 1 on Windows and by SIGKILL on Linux.
    def test_kill_mode_ends_only_this_folders_lobbies(self):
        for build, bits in LOBBY_BUILDS.items():
            with self.subTest(lobby=build):
                self.kill_mode_ends_only_this_folders_lobbies(build, bits)

    def kill_mode_ends_only_this_folders_lobbies(self, build, bits):
        folder = self.install(f"Клиент Client {bits}", lobby_build=build)
        # Linux compares paths exactly, so a folder differing only in letter case is another one.
        other = self.install(f"Other {bits}" if WINDOWS else f"клиент client {bits}")
        folder.lobby_stays(STAY_SECONDS)
        other.lobby_stays(STAY_SECONDS)
        if not WINDOWS:
            self.adopt_orphans()

        self.assertEqual(folder.run().code, 0)
        folder.wait_lobby_starts(1)
        if WINDOWS:
            self.child(folder.start_lobby(swap_ascii_case(folder.native("Lobby.exe"))))
        else:
            self.assertEqual(folder.run().code, 0)
        ours = folder.wait_lobby_starts(2)
        self.assertEqual([start["bits"] for start in ours], [bits, bits])
        if WINDOWS:
            self.assertNotEqual(ours[1]["exe"], folder.native("Lobby.exe"))
            self.assertEqual(ours[1]["exe"].lower(), folder.native("Lobby.exe").lower())
        decoy = None
        if not WINDOWS:
            # Named like the Lobby in its arguments, but another program.
            decoy = self.child(subprocess.Popen([str(folder.path / "Lobby.exe"), "60"],
                                                executable=shutil.which("sleep")))

        quiet = self.root / f"kill-cwd-{bits}"
        quiet.mkdir()
        folder.write("update_3/version.txt", b"3")
        kill = self.begin(folder, "--kill", cwd=quiet)
        kill.wait_line(RESTART_LINE)
        beside = other.run()
        second = folder.run("--kill", cwd=quiet)
        result = kill.finish()

        self.assertDidNothing(second, ALREADY_RUNNING)
        self.assertEqual(beside.code, 0)
        self.assertMessages(beside)
        theirs, = other.wait_lobby_starts()

        self.assertEqual(result.code, 0)
        self.assertMessages(result)
        self.assertEqual(result.lines, [RESTART_LINE, PASS_LINE, PASS_LINE])
        if WINDOWS:
            self.assertEqual(result.terminations, [1, 1])
            self.assertEqual(result.created, [])
        else:
            self.assertEqual([self.ended_by(start["pid"]) for start in ours], [signal.SIGKILL, signal.SIGKILL])
        self.assertFalse((quiet / "liveUpdateLog.log").exists())
        self.assertEqual((folder.path / "update_3" / "version.txt").read_bytes(), b"3")
        self.assertFalse((folder.path / "version.txt").exists())
        self.assertEqual(len(folder.lobby_starts()), 2)
        if decoy is not None:
            self.assertIsNone(decoy.poll())

        other.wait_lobby_ended(theirs["pid"])
        # Ours started first with the same stay, so had they survived they would have ended by now.
        for start in ours:
            self.assertFalse(folder.has_ended(start["pid"]), start)
        self.assertLockFileEmpty(folder, other)
        if not WINDOWS:
            self.assertIsNone(self.ended_by(theirs["pid"]))

        shutil.rmtree(folder.path / "update_3")
        folder.lobby_stays(0)
        self.assertEqual(folder.run().code, 0)
        last = folder.wait_lobby_starts(3)[2]
        self.assertLockFileEmpty(folder)
        if not WINDOWS:
            self.assertIsNone(self.ended_by(last["pid"]))


class RestartMode(LockAndKillTestCase):
    # "--restart" and a pending update both end the folder's running Lobby before going on, cope
    # with a Lobby that ends by itself during the wait, and then start the Lobby anew: after an
    # update that ships Lobby.exe, the new one (under Wine of the other bitness).
    def test_running_lobbies_are_ended_then_restarted(self):
        for build, bits in LOBBY_BUILDS.items():
            for trigger in ["--restart", "update"]:
                with self.subTest(lobby=build, trigger=trigger):
                    self.lobbies_ended_then_restarted(build, bits, trigger)

    def lobbies_ended_then_restarted(self, build, bits, trigger):
        folder = self.install(f"Client {trigger} {bits}", lobby_build=build)
        folder.lobby_stays(2)
        self.assertEqual(folder.run().code, 0)
        short, = folder.wait_lobby_starts(1)
        folder.lobby_stays(STAY_SECONDS)
        self.assertEqual(folder.run().code, 0)
        _, long = folder.wait_lobby_starts(2)
        self.assertEqual([short["bits"], long["bits"]], [bits, bits])
        args = [trigger] if trigger.startswith("--") else []
        new_build, new_bits = next(((b, n) for b, n in LOBBY_BUILDS.items() if b != build), (build, bits))
        new_lobby = (BIN / new_build).read_bytes() + b"appended by the update"
        if trigger == "update":
            folder.write("update_1/news.txt", "new")
            folder.write("update_1/Lobby.exe", new_lobby)

        result = folder.run(*args)

        self.assertEqual(result.code, 0)
        self.assertMessages(result)
        self.assertEqual(result.lines[:3], [RESTART_LINE, PASS_LINE, PASS_LINE])
        # An installation's backups are deleted once the Lobby has started.
        started = result.lines[:-1] if trigger == "update" else result.lines
        self.assertEqual(started[-3:], start_lines(folder))
        if trigger == "update":
            self.assertTrue(result.lines[-1].startswith(b"deleting rollback folder "), result.lines)
        if trigger == "--restart":
            self.assertEqual(len(result.lines), 6)
        if WINDOWS:
            self.assertEqual(result.terminations, [1])
        self.assertTrue(folder.has_ended(short["pid"]))
        restarted = folder.wait_lobby_starts(3)[2]
        if trigger == "update":
            self.assertEqual((folder.path / "news.txt").read_text(), "new")
            self.assertEqual((folder.path / "Lobby.exe").read_bytes(), new_lobby)
            self.assertFalse((folder.path / "update_1").exists())
            self.assertEqual(restarted["bits"], new_bits)
        folder.wait_lobby_ended(restarted["pid"])
        self.assertFalse(folder.has_ended(long["pid"]))
        self.assertLockFileEmpty(folder)

    # A Lobby that starts the Launcher with "--restart" as soon as it starts finds the lock free:
    # the run that started it deletes its installation's backups (here 1,000) and what is retired
    # (here 3,000 files) only once it has let go, and leaves neither behind.
    def test_lobby_restarting_at_once(self):
        folder = self.install("Client")
        for i in range(3000):
            folder.write(f"old_update_1/f{i}.dat", b"retired")
        for i in range(1000):
            folder.write(f"data/f{i}.dat", b"old")
            folder.write(f"update_2/data/f{i}.dat", b"new")
        folder.write("lobby-starts-launcher.txt", "--restart")

        result = folder.run()

        self.assertEqual(result.code, 0)
        self.assertMessages(result)
        self.assertTrue(result.lines[-1].startswith(b"deleting rollback folder "), result.lines[-3:])
        folder.wait_lobby_starts(2)
        for retired in ["old_update_1", "old_update_2", "update_2"]:
            self.assertFalse((folder.path / retired).exists(), retired)
        self.assertEqual({path.read_bytes() for path in (folder.path / "data").iterdir()}, {b"new"})
        self.assertEqual(list((folder.path / ROLLBACK_STORE).iterdir()), [])
        self.assertLockFileEmpty(folder)


class InstanceLock(LockAndKillTestCase):
    # Of eight Launchers started together on one folder exactly one does the work; each of the
    # others is refused at once, before any scan, wait, termination or start.
    def test_launchers_started_together(self):
        folder = self.install("Client")
        # Restart mode holds the lock through its 5 s wait, so all eight overlap with the winner.
        runs = [self.begin(folder, "--restart") for _ in range(8)]
        results = [run.finish() for run in runs]

        self.assertEqual(sorted(r.code for r in results), [0] + [255] * 7)
        winner, = [r for r in results if r.code == 0]
        self.assertMessages(winner)
        self.assertEqual(winner.lines, [RESTART_LINE, PASS_LINE] + start_lines(folder))
        for loser in (r for r in results if r.code != 0):
            self.assertDidNothing(loser, ALREADY_RUNNING)
        folder.wait_lobby_starts(1)
        self.assertEqual(len(folder.lobby_starts()), 1)
        self.assertLockFileEmpty(folder)

    # A missing lock file is created empty and an existing one is used without being written.
    def test_lock_file_kept_as_found(self):
        for content in [None, b"kept as it is\n"]:
            with self.subTest(content=content):
                folder = self.install("Client new" if content is None else "Client existing")
                lock = folder.path / "launcher.lock"
                if content is not None:
                    lock.write_bytes(content)
                result = folder.run(cwd=folder.path)
                self.assertEqual(result.code, 0)
                self.assertMessages(result)
                self.assertEqual(result.lines, start_lines(folder))
                self.assertEqual(lock.read_bytes(), content or b"")
                folder.wait_lobby_starts()

    # A lock file that cannot be opened for writing is reported with the system's message, after
    # three attempts when another process holds it without sharing, before anything else happens;
    # a link to a missing file is reported as such, and its target is not created.
    def test_unusable_lock_file(self):
        for case in ["folder", "read-only", "held without sharing", "link to a missing file"]:
            with self.subTest(case=case):
                folder = self.install("Client " + case)
                lock = folder.path / "launcher.lock"
                missing = self.root / f"missing {case}"
                if case == "link to a missing file":
                    os.symlink(missing, lock)
                    expected = {f"Error: the lock file {quoted(lock)} is a link to a missing file"}
                    if WINDOWS:
                        # Wine shows a Unix link to a missing file as no file at all, so the
                        # lock's open reports the file missing.
                        expected |= NOT_FOUND
                    result = folder.run(cwd=folder.path)
                elif case == "folder":
                    lock.mkdir()
                    expected = ACCESS_DENIED if WINDOWS else {"Error: Is a directory"}
                    result = folder.run(cwd=folder.path)
                elif case == "read-only":
                    if not self.make_read_only(lock):
                        self.skipTest("running as root, and the file system cannot make a file immutable")
                    # Root meets the immutable file, which refuses even root with another error.
                    refusal = "Error: Operation not permitted" if os.geteuid() == 0 else "Error: Permission denied"
                    expected = ACCESS_DENIED if WINDOWS else {refusal}
                    result = folder.run(cwd=folder.path)
                else:
                    if not WINDOWS:
                        self.skipTest("only Windows opens files without sharing; other systems let any open pass")
                    lock.write_bytes(b"")
                    expected = SHARING_VIOLATION
                    # Wine warns of every failed open, which tells the attempts apart.
                    with holding(lock):
                        result = folder.run(cwd=folder.path, extra_env={"WINEDEBUG": "-all,+relay,warn+file"})
                    attempts = re.findall(rb'Unable to create file L"[^"]*launcher\.lock" \(status c0000043\)',
                                          result.stderr)
                    self.assertEqual(len(attempts), 3)

                self.assertEqual(len(result.messages), 1)
                self.assertIn(result.messages[0].text, expected)
                self.assertDidNothing(result, result.messages[0].text)
                self.assertFalse((folder.path / "liveUpdateLog.log").exists())
                self.assertEqual(folder.lobby_starts(), [])
                self.assertEqual(lock.is_dir(), case == "folder")
                self.assertFalse(os.path.lexists(missing))

    def make_read_only(self, lock):
        """Makes the lock file read-only for this process; for root only an immutable file is."""
        lock.write_bytes(b"")
        lock.chmod(0o444)
        if os.geteuid() != 0:
            return True
        if shutil.which("chattr") is None:
            return False
        if subprocess.run(["chattr", "+i", str(lock)], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode != 0:
            return False
        self.addCleanup(subprocess.run, ["chattr", "-i", str(lock)], check=False)
        return True


if __name__ == "__main__":
    unittest.main()
