"""Starting the Lobby: its command line, server.dat, the timing log, flags and failures."""

import os
import unittest

from cases import LauncherTestCase
from harness import WINDOWS, decode_argument, eight_bit, native, quoted


class LobbyStart(LauncherTestCase):
    def expected_lines(self, folder, siteenv=None):
        return [b"storageFolder: " + eight_bit(folder.native()),
                b"siteenv: " + (siteenv if siteenv is not None else b"(empty)"),
                b"searching for lobby " + eight_bit(quoted(folder.path / "Lobby.exe"))]

    # A plain install folder: the documented command line, the three lines, the timing log. The
    # Lobby is the Launcher's own child, created without inheriting any of its handles: on Linux
    # it holds no file of the Launcher, the lock included, reads and writes /dev/null and leads a
    # session of its own.
    def test_normal_start(self):
        folder = self.install("Client")
        folder.write("server.dat", b"Production::x")
        result = folder.run()
        self.assertEqual(result.code, 0)
        self.assertEqual(result.lines, self.expected_lines(folder, b"production"))
        self.assertMessages(result)
        start, = folder.wait_lobby_starts()
        lobby = folder.native("Lobby.exe")
        self.assertEqual(start["argv"][1:], ["launcher='launcher'", "--storageFolder", folder.native(),
                                            "--siteenv", "production"])
        if WINDOWS:
            self.assertEqual(start["commandLine"],
                             f"{lobby} launcher='launcher' --storageFolder {folder.native()} --siteenv production")
            self.assertEqual(result.created, [[lobby, start["commandLine"]]])
            self.assertEqual(result.inheriting, [False])
        else:
            self.assertEqual(start["files"], {"0": "/dev/null", "1": "/dev/null", "2": "/dev/null"})
            self.assertTrue(start["sessionLeader"])
        self.assertEqual(decode_argument(start["cwd"]), native(folder.path.parent))
        log = (folder.path.parent / "liveUpdateLog.log").read_bytes()
        self.assertRegex(log, rb'^\{"logType": "startingTimeStamp", "value": [0-9]{13}\}' +
                         (rb"\r\n$" if WINDOWS else rb"\n$"))
        self.assertEqual((folder.path / "launcher.lock").read_bytes(), b"")

    # Spaces, ampersands and letters outside ASCII in the install folder reach the Lobby intact.
    def test_unusual_install_folder_names(self):
        for name in ["My Client & Co", "Clïent Ünïcode", "Клиент 客户端"]:
            with self.subTest(name=name):
                folder = self.install(name)
                folder.write("server.dat", b"Live::x")
                result = folder.run()
                self.assertEqual(result.code, 0, result.stderr[-2000:])
                self.assertEqual(result.lines, self.expected_lines(folder, b"live"))
                start, = folder.wait_lobby_starts()
                arguments = [decode_argument(a) for a in start["argv"]]
                self.assertEqual(arguments[1:], ["launcher='launcher'", "--storageFolder", folder.native(),
                                                 "--siteenv", "live"])
                self.assertEqual(decode_argument(start["exe"]), folder.native("Lobby.exe"))
                if WINDOWS and " " in name:
                    self.assertTrue(start["commandLine"].startswith(f'"{folder.native("Lobby.exe")}" '))
                    self.assertTrue(start["commandLine"].endswith(f' --storageFolder "{folder.native()}" --siteenv live'))

    # Whatever server.dat holds, the Lobby gets exactly the name before the first "::", or none.
    def test_server_dat_contents(self):
        cases = [
            (b"  QA::x\r\n", ["--siteenv", "qa"]),
            (b"a::b::c", ["--siteenv", "a"]),
            (b"::abc", []),
            (b"Production", []),
            (b"", []),
            (b"\r\n\r\n", []),
            (b" Prod ::x", ["--siteenv", "prod "]),
            (b'Say "hi" \\::x', ["--siteenv", 'say "hi" \\']),
            (b"trail\\::x", ["--siteenv", "trail\\"]),
            (b"--kill extra::x", ["--siteenv", "--kill extra"]),
            (b"\x00\x01\xff binary without separator", []),
            (b"x" * (1 << 20), []),
        ]
        for content, tail in cases:
            with self.subTest(content=content[:40]):
                folder = self.install("Client")
                folder.write("server.dat", content)
                result = folder.run()
                self.assertEqual(result.code, 0)
                self.assertMessages(result)
                start, = folder.wait_lobby_starts()
                self.assertEqual(start["argv"][1:], ["launcher='launcher'", "--storageFolder", folder.native()] + tail)
                (folder.path / "lobby-runs.jsonl").unlink()

    # A byte-order mark is neither trimmed nor lower-cased: it stays part of the name.
    def test_byte_order_mark(self):
        folder = self.install("Client")
        folder.write("server.dat", b"\xef\xbb\xbfLive::x")
        result = folder.run()
        self.assertEqual(result.code, 0)
        self.assertEqual(result.lines[1], b"siteenv: \xef\xbb\xbflive")
        start, = folder.wait_lobby_starts()
        expected = "\u00ef\u00bb\u00bflive" if WINDOWS else "\ufefflive"
        self.assertEqual(decode_argument(start["argv"][-1]), expected)

    # Only the whole, exact flags count; anything else is ignored and the Lobby starts at once.
    def test_unrecognised_flags_are_ignored(self):
        folder = self.install("Client")
        result = folder.run("--KILL", "-kill", "--kill=1", "--restart now", "--kil", "restart")
        self.assertEqual(result.code, 0)
        self.assertEqual(result.lines, self.expected_lines(folder))
        folder.wait_lobby_starts()

    # The timing log goes to the current directory, one line replaced on every run.
    def test_timing_log_in_current_directory(self):
        folder = self.install("Client")
        elsewhere = self.root / "elsewhere"
        elsewhere.mkdir()
        folder.run(cwd=elsewhere)
        folder.run(cwd=elsewhere)
        log = (elsewhere / "liveUpdateLog.log").read_bytes()
        self.assertEqual(log.count(b"startingTimeStamp"), 1)
        self.assertFalse((folder.path / "liveUpdateLog.log").exists())
        starts = folder.wait_lobby_starts(2)
        self.assertEqual(decode_argument(starts[1]["cwd"]), native(elsewhere))

    # A log name that is not an ordinary file of its own is reported and the Lobby starts all the
    # same: a folder, a second name of another file (left unchanged), and on Linux a link (the
    # file it names is left unchanged), a link to a missing file (which is not created), and a
    # pipe, which is neither waited for when nobody reads it nor written to when somebody does.
    # Wine shows a Unix link as the file it names, so only Linux can show links.
    def test_timing_log_unwritable(self):
        cases = ["folder", "hard link"] + ([] if WINDOWS else ["link", "dangling link", "pipe", "pipe with reader"])
        for case in cases:
            with self.subTest(case=case):
                folder = self.install(f"Client {case}")
                blocked = self.root / f"blocked {case}"
                blocked.mkdir()
                log = blocked / "liveUpdateLog.log"
                other = self.root / f"other {case}"
                reader = None
                if case == "folder":
                    log.mkdir()
                elif case == "dangling link":
                    os.symlink(other, log)
                elif case in ("link", "hard link"):
                    other.write_bytes(b"not the log\n")
                    (os.symlink if case == "link" else os.link)(other, log)
                else:
                    os.mkfifo(log)
                    if case == "pipe with reader":
                        reader = os.open(log, os.O_RDONLY | os.O_NONBLOCK)
                        self.addCleanup(os.close, reader)
                result = folder.run(cwd=blocked, timeout=60)
                self.assertEqual(result.code, 0)
                self.assertEqual(result.lines[0], b"warning: Could not create time tracking file 'liveUpdateLog.log'")
                self.assertEqual(result.lines[1:], self.expected_lines(folder))
                folder.wait_lobby_starts()
                if case in ("link", "hard link"):
                    self.assertEqual(other.read_bytes(), b"not the log\n")
                if case == "dangling link":
                    self.assertFalse(os.path.lexists(other))
                if reader is not None:
                    self.assertEqual(os.read(reader, 4096), b"")


class LaunchFailures(LauncherTestCase):
    def assertFailedWithoutChanges(self, folder, before, result, message, lines):
        self.assertEqual(result.code, 255)
        self.assertMessages(result, message)
        self.assertEqual(result.lines, lines)
        self.assertEqual(folder.lobby_starts(), [])
        self.assertEqual(folder.tree(), before)
        if WINDOWS:
            self.assertEqual(result.created, [])

    # A missing Lobby is named in the message; nothing is started and no file changes.
    def test_lobby_missing(self):
        folder = self.install("Client", lobby=False)
        folder.write("server.dat", b"qa::x")
        before = folder.tree()
        result = folder.run()
        lobby = quoted(folder.path / "Lobby.exe")
        self.assertFailedWithoutChanges(folder, before, result, f"Error: {lobby} not found",
                                        [b"storageFolder: " + eight_bit(folder.native()), b"siteenv: qa",
                                         b"searching for lobby " + eight_bit(lobby)])
        self.assertTrue((folder.path.parent / "liveUpdateLog.log").exists())

    # A Lobby.exe that is not a program, or a folder, gives the system's error code.
    def test_lobby_not_a_program(self):
        for kind in ["text", "folder"]:
            with self.subTest(kind=kind):
                folder = self.install(kind, lobby=False)
                if kind == "text":
                    folder.write("Lobby.exe", b"not a program\n", mode=0o755)
                    code = "193" if WINDOWS else "8"
                else:
                    (folder.path / "Lobby.exe").mkdir()
                    # Windows reports access denied; Wine reports an invalid handle.
                    code = "(5|6)" if WINDOWS else "13"
                result = folder.run()
                self.assertEqual(result.code, 255)
                self.assertEqual(len(result.messages), 1)
                self.assertRegex(result.messages[0].text, f"^Error: Error running lobby: system:{code}$")
                self.assertEqual(len(result.lines), 3)

    # A server.dat that is not a readable regular file of at most 16 MiB is reported at once with
    # its name and the reason, and nothing is started: a folder, one too large, and on Linux a
    # file whose reads fail, a pipe and an endless device.
    def test_server_dat_unreadable(self):
        cases = {"folder": "it is a folder", "too large": "it is larger than 16 MiB"}
        if not WINDOWS:
            cases.update({"read error": "Input/output error", "pipe": "it is not a regular file",
                          "endless device": "it is not a regular file"})
        for case, reason in cases.items():
            with self.subTest(case=case):
                folder = self.install(f"Client {case}")
                server = folder.path / "server.dat"
                if case == "folder":
                    server.mkdir()
                elif case == "too large":
                    with open(server, "wb") as sparse:
                        sparse.truncate((16 << 20) + 1)
                elif case == "read error":
                    os.symlink("/proc/self/mem", server)
                elif case == "pipe":
                    os.mkfifo(server)
                else:
                    os.symlink("/dev/zero", server)
                result = folder.run(timeout=60)
                self.assertEqual(result.code, 255)
                self.assertEqual(result.lines, [b"storageFolder: " + eight_bit(folder.native())])
                self.assertMessages(result, "Error: error reading " + quoted(server) + ": " + reason)
                self.assertEqual(folder.lobby_starts(), [])

    # A site environment name holding a NUL byte cannot be passed on and is refused clearly.
    def test_server_dat_nul_in_name(self):
        folder = self.install("Client")
        folder.write("server.dat", b"pro\x00d::x")
        result = folder.run()
        self.assertEqual(result.code, 255)
        self.assertEqual(result.message_texts,
                         ["Error: Error running lobby: the site environment name in "
                          + quoted(folder.path / "server.dat") + " holds a NUL byte"])
        self.assertEqual(folder.lobby_starts(), [])


if __name__ == "__main__":
    unittest.main()
