"""Installing a pending update: file by file over the install folder, each replaced file moved
into a rollback folder first, older update folders retired, the Lobby started afterwards."""

import os
import unittest

from cases import UpdateTestCase
from harness import CLOSED, HEAD, LAUNCHER_NAME, READ_ONLY, ROLLBACK_STORE, WINDOWS, eight_bit, host_path, mount_tmpfs, native
from runs import InstallFolder
from trees import after_update, asar, snapshot, walk_order, without


class CompleteUpdate(UpdateTestCase):
    # A complete update puts every file in its place in walk order, keeps each replaced file's
    # write permission, turns only ".asar_tmp" into ".asar", copies links to files as links and
    # leaves out links to folders, creates no empty folder, makes all of it durable before it
    # records the installation complete, and removes the rollback and update folders before the
    # Lobby starts. A file whose permissions stay as the update's is its very file (a hard link),
    # and keeps them, read-only ones too, once the update's name of it is gone; the others are
    # copies.
    def test_complete_update(self):
        folder = self.install("Client")
        folder.write("readme.txt", b"old readme\n")
        folder.write("locked.cfg", b"old locked", mode=READ_ONLY)
        folder.write("opened.cfg", b"old opened")
        folder.write("resources/app.asar", b"old archive")
        folder.write("resources/keep.bin", b"\x00\x01 not in the update")
        folder.write("bin/deep/nested/lib.dll", b"old lib")
        big = os.urandom(3 << 20)
        folder.write("big.bin", b"old big")
        folder.write("both.cfg", b"old both", mode=READ_ONLY)

        folder.write("update_7/readme.txt", b"new readme\n")
        folder.write("update_7/locked.cfg", b"new locked")
        folder.write("update_7/opened.cfg", b"new opened", mode=READ_ONLY)
        folder.write("update_7/resources/app.asar_tmp", b"new archive")
        folder.write("update_7/resources/Shouty.ASAR_TMP", b"shouty")
        folder.write("update_7/resources/Mixed.Asar_Tmp", b"mixed")
        folder.write("update_7/resources/app.asar_tmp.bak", b"bak")
        folder.write("update_7/plugins/new/chat.dll", b"chat")
        folder.write("update_7/fresh.dat", b"fresh read-only", mode=READ_ONLY)
        folder.write("update_7/bin/deep/nested/lib.dll", b"new lib")
        folder.write("update_7/big.bin", big)
        folder.write("update_7/both.cfg", b"new both", mode=READ_ONLY)
        for empty in ["empty", "plugins/hollow", "deep/er/est"]:
            (folder.path / "update_7" / empty).mkdir(parents=True)

        expected = {
            "readme.txt": ("file", b"new readme\n", True),
            "locked.cfg": ("file", b"new locked", False),
            "opened.cfg": ("file", b"new opened", True),
            "resources": ("folder",),
            "resources/app.asar": ("file", b"new archive", True),
            "resources/keep.bin": ("file", b"\x00\x01 not in the update", True),
            "resources/Shouty.ASAR_TMP": ("file", b"shouty", True),
            "resources/Mixed.Asar_Tmp": ("file", b"mixed", True),
            "resources/app.asar_tmp.bak": ("file", b"bak", True),
            "plugins": ("folder",),
            "plugins/new": ("folder",),
            "plugins/new/chat.dll": ("file", b"chat", True),
            "fresh.dat": ("file", b"fresh read-only", False),
            "bin": ("folder",),
            "bin/deep": ("folder",),
            "bin/deep/nested": ("folder",),
            "bin/deep/nested/lib.dll": ("file", b"new lib", True),
            "big.bin": ("file", big, True),
            "both.cfg": ("file", b"new both", False),
        }
        copied = {"locked.cfg", "opened.cfg"}
        if not WINDOWS:
            victim = self.root / "victim.txt"
            victim.write_bytes(b"outside the install folder")
            folder.write("shortcut", b"old shortcut")
            os.symlink("old-alias-target", folder.path / "alias")
            os.symlink("missing-file", folder.path / "dangle")
            os.symlink(victim, folder.path / "outside.cfg")
            os.symlink("readme.txt", folder.path / "update_7" / "latest")
            os.symlink("plugins/new/chat.dll", folder.path / "update_7" / "shortcut")
            os.symlink("new-alias-target", folder.path / "update_7" / "alias")
            os.symlink("nowhere", folder.path / "update_7" / "broken")
            os.symlink("plugins", folder.path / "update_7" / "plugins-link")
            folder.write("update_7/dangle", b"dangle file")
            folder.write("update_7/outside.cfg", b"inside")
            expected.update({
                "latest": ("link", "readme.txt"),
                "shortcut": ("link", "plugins/new/chat.dll"),
                "alias": ("link", "new-alias-target"),
                "broken": ("link", "nowhere"),
                "dangle": ("file", b"dangle file", True),
                "outside.cfg": ("file", b"inside", True),
            })
        update = folder.path / "update_7"
        order = walk_order(update)
        files = {asar(relative): os.lstat(update / relative).st_ino for relative in order
                 if not (update / relative).is_symlink()}
        # The tree the other tests expect after their updates, held to this one written out by hand.
        self.assertEqual(after_update(without(folder.tree(), "update_7"), snapshot(update), order), expected)

        result, flushes = self.run_update_tracing_flushes(folder)

        self.assertInstalled(result, folder, update, order)
        self.assertEqual(folder.tree(), expected)
        self.assertEqual({target for target, inode in files.items() if os.stat(folder.path / target).st_ino != inode},
                         copied)
        self.assertDurableBeforeComplete(flushes, [folder.native(target) for target in copied])
        if not WINDOWS:
            self.assertEqual(victim.read_bytes(), b"outside the install folder")
        self.assertFalse(update.exists())
        self.assertTrue((self.root / "liveUpdateLog.log").exists())
        self.assertLobbyStartedOnce(folder)

    # An update's top-level entries named as the Launcher's own folders (its rollback store, a
    # pending or a retired update; on Windows in any letter case) are skipped with one line each:
    # neither this run nor the next installs them, restores them or takes them for an update.
    def test_launchers_own_names_in_an_update(self):
        folder = self.install("Client")
        folder.write("version.txt", b"1")
        planted = ["update_1/version.txt", "old_update_3/b.txt", "zintu_rollback/0badc0de/version.txt",
                   "zintu_rollback/0badc0de.journal"] + (["Update_2/d.txt"] if WINDOWS else [])
        for relative in planted:
            folder.write(f"update_7/{relative}", b"planted")
        folder.write("update_7/version.txt", b"7")
        update = folder.path / "update_7"
        own = sorted({relative.split("/")[0] for relative in planted})
        order = [relative for relative in walk_order(update) if relative.split("/")[0] not in own]

        result = self.run_update(folder)

        skipping = [line for line in result.lines if line.startswith(b"skipping ")]
        self.assertEqual(sorted(skipping), sorted(b"skipping " + eight_bit(native(update / top)) +
                                                  b": the launcher keeps this name for itself" for top in own))
        result.stdout = b"".join(line + b"\n" for line in result.lines if line not in skipping)
        self.assertInstalled(result, folder, update, order)
        self.assertEqual(folder.tree(), {"version.txt": ("file", b"7", True)})

        again = folder.run()

        self.assertEqual(again.code, 0, again.stderr[-2000:])
        self.assertEqual(again.lines, self.lobby_lines(folder))
        self.assertEqual(folder.tree(), {"version.txt": ("file", b"7", True)})
        self.assertNoRollbackLeft(folder)
        folder.wait_lobby_starts(2)

    # Update files and install folders whose names lie outside the code page are installed under
    # their own names; the diagnostic lines carry the 8-bit form of those names.
    def test_names_outside_the_code_page(self):
        folder = self.install("Clïent Клиент 客户端")
        folder.write("données/日本語.txt", b"old text")
        folder.write("Ωmega.asar", b"old archive")
        folder.write("update_12/données/日本語.txt", b"new text")
        folder.write("update_12/Ωmega.asar_tmp", b"new archive")
        folder.write("update_12/café €.txt", b"coffee")
        folder.write("update_12/Ünï/Кириллица/файл.bin", b"nested")
        update = folder.path / "update_12"
        order = walk_order(update)

        result = self.run_update(folder)

        self.assertInstalled(result, folder, update, order)
        self.assertEqual(folder.tree(), {
            "données": ("folder",),
            "données/日本語.txt": ("file", b"new text", True),
            "Ωmega.asar": ("file", b"new archive", True),
            "café €.txt": ("file", b"coffee", True),
            "Ünï": ("folder",),
            "Ünï/Кириллица": ("folder",),
            "Ünï/Кириллица/файл.bin": ("file", b"nested", True),
        })
        self.assertFalse(update.exists())
        self.assertLobbyStartedOnce(folder)

    # A folder of the install tree that is another volume (a mount point) is updated as well:
    # its replaced files, links and archives cross to the rollback folder and are deleted there.
    def test_folder_on_another_volume(self):
        folder = self.install("Client")
        if not mount_tmpfs(self, folder.path / "bin"):
            self.skipTest("cannot mount a tmpfs here")
        big = os.urandom(2 << 20)
        folder.write("app.exe", b"old program")
        folder.write("bin/core.dll", b"old core")
        folder.write("bin/app.asar", b"old archive")
        folder.write("bin/big.bin", b"old big")
        folder.write("update_3/app.exe", b"new program")
        folder.write("update_3/bin/core.dll", b"new core")
        folder.write("update_3/bin/app.asar_tmp", b"new archive")
        folder.write("update_3/bin/plugins/x.dll", b"new plugin")
        folder.write("update_3/bin/big.bin", big)
        expected = {
            "app.exe": ("file", b"new program", True),
            "bin": ("folder",),
            "bin/core.dll": ("file", b"new core", True),
            "bin/app.asar": ("file", b"new archive", True),
            "bin/plugins": ("folder",),
            "bin/plugins/x.dll": ("file", b"new plugin", True),
            "bin/big.bin": ("file", big, True),
        }
        if not WINDOWS:
            os.symlink("old-target", folder.path / "bin/link")
            folder.write("bin/file-to-link", b"old file")
            os.symlink("core.dll", folder.path / "bin/link-to-file")
            os.symlink("new-target", folder.path / "update_3/bin/link")
            os.symlink("core.dll", folder.path / "update_3/bin/file-to-link")
            folder.write("update_3/bin/link-to-file", b"now a file")
            expected.update({"bin/link": ("link", "new-target"), "bin/file-to-link": ("link", "core.dll"),
                             "bin/link-to-file": ("file", b"now a file", True)})
        update = folder.path / "update_3"
        order = walk_order(update)

        result = self.run_update(folder)

        rollback = self.assertInstalled(result, folder, update, order)
        self.assertNotEqual(os.stat(host_path(rollback).parent).st_dev, os.stat(folder.path / "bin").st_dev)
        self.assertEqual(folder.tree(), expected)
        self.assertFalse(update.exists())
        self.assertLobbyStartedOnce(folder)

    # On Linux an update is installed whole when standard output is closed, or is a pipe whose
    # reader has gone: the lines neither land in the lock file, which stays empty, nor does the
    # broken pipe end the Launcher, and the Lobby starts with the broken-pipe signal at its default
    # action.
    def test_unusable_standard_output(self):
        if WINDOWS:
            self.skipTest("standard streams of a GUI program under Wine are not the Launcher's own")
        for case in ["closed", "broken pipe"]:
            with self.subTest(case=case):
                folder = self.install(f"Client {case}")
                folder.write("readme.txt", b"old readme\n")
                folder.write("update_3/readme.txt", b"new readme\n")
                folder.write("update_3/plugins/chat.dll", b"chat")
                if case == "closed":
                    result = self.run_update(folder, stdout=CLOSED)
                else:
                    reader, writer = os.pipe()
                    os.close(reader)
                    try:
                        result = self.run_update(folder, stdout=writer)
                    finally:
                        os.close(writer)

                self.assertEqual(result.code, 0, result.stderr[-2000:])
                self.assertMessages(result)
                self.assertEqual(folder.tree(), {"readme.txt": ("file", b"new readme\n", True),
                                                 "plugins": ("folder",),
                                                 "plugins/chat.dll": ("file", b"chat", True)})
                self.assertEqual((folder.path / "launcher.lock").read_bytes(), b"")
                self.assertNoRollbackLeft(folder)
                start = self.assertLobbyStartedOnce(folder)
                self.assertFalse(start["sigpipeIgnored"])

    # An update that ships the Launcher installs it like any other file although it runs: the
    # running one is renamed into the rollback folder on its own volume (the install folder is on
    # another volume than the system's temporary folder). The run starts the Lobby, and the next
    # run is the new Launcher, which deletes whatever of the old one could not be deleted while it
    # ran, and rolls nothing back.
    def test_update_that_ships_the_launcher(self):
        volume = self.root / "volume"
        if not mount_tmpfs(self, volume):
            self.skipTest("cannot mount a tmpfs here")
        folder = InstallFolder(volume, "Client")
        new_launcher = folder.launcher.read_bytes() + b"appended by the update"
        folder.write(f"update_5/{LAUNCHER_NAME}", new_launcher)
        folder.write("update_5/version.txt", b"5")
        update = folder.path / "update_5"
        order = walk_order(update)

        result = self.run_update(folder)

        rollback = self.rollback_folder(result, folder)
        self.assertEqual(result.code, 0, result.stderr[-2000:])
        self.assertMessages(result)
        self.assertEqual(result.lines, HEAD + [self.copying(folder, update, relative, rollback) for relative in order] +
                         self.lobby_lines(folder) + [b"deleting rollback folder " + eight_bit(rollback)])
        self.assertEqual(folder.launcher.read_bytes(), new_launcher)
        self.assertEqual(folder.tree(), {"version.txt": ("file", b"5", True)})
        self.assertLobbyStartedOnce(folder)

        second = folder.run()

        self.assertEqual(second.code, 0, second.stderr[-2000:])
        self.assertMessages(second)
        leftover = [b"deleting rollback folder " + eight_bit(rollback)]
        self.assertIn(second.lines, [self.lobby_lines(folder), leftover + self.lobby_lines(folder)])
        self.assertNoRollbackLeft(folder)
        folder.wait_lobby_starts(2)


    # Two files of one update that reach the Launcher's own name (on Windows, names that differ in
    # letter case) install the later over the earlier, in one rename: the update does not fail.
    def test_two_update_files_for_the_launcher(self):
        if not WINDOWS:
            self.skipTest("only Windows takes names that differ in letter case for one")
        folder = self.install("Client")
        twins = {LAUNCHER_NAME: folder.launcher.read_bytes() + b"first",
                 LAUNCHER_NAME.upper(): folder.launcher.read_bytes() + b"second"}
        for name, data in twins.items():
            folder.write(f"update_5/{name}", data)

        result = self.run_update(folder)

        self.assertEqual(result.code, 0, result.stderr[-2000:])
        self.assertMessages(result)
        standing = [path for path in folder.path.iterdir() if path.name.lower() == LAUNCHER_NAME.lower()]
        self.assertEqual(len(standing), 1, standing)
        self.assertIn(standing[0].read_bytes(), twins.values())
        self.assertFalse((folder.path / "update_5").exists())
        # The old image, which ran, is left aside for the next run to delete.
        left = [path.suffix for path in (folder.path / ROLLBACK_STORE).iterdir()]
        self.assertIn(left, [[], [".displaced"]])
        self.assertLobbyStartedOnce(folder)


class PendingUpdateFolders(UpdateTestCase):
    # Of update_9, update_10, update_100, update_2 and update_0999 the newest by plain string
    # order, update_9, is installed; the others are removed without a trace and never installed,
    # and so is what an earlier run left of retired ones (old_update_3, and old_update_9 and
    # old_update_10 under the names these take); folders that only look like updates (on Windows
    # also Old_Update_4), and a file named like one, are left alone.
    def test_newest_by_string_order_wins_and_older_ones_are_retired(self):
        folder = self.install("Client")
        folder.write("version.txt", b"one")
        for suffix in ["10", "100", "2", "0999"]:
            folder.write(f"update_{suffix}/version.txt", suffix.encode())
            folder.write(f"update_{suffix}/from_{suffix}.txt", b"never installed")
        folder.write("update_9/version.txt", b"nine")
        folder.write("update_9/sub/nine.dll", b"nine dll")
        for lookalike in ["update_", "update_1a", "Update_1", "update_-1", "old_update_3a", "update_ 4", "Old_Update_4"]:
            folder.write(f"{lookalike}/keep.txt", lookalike.encode())
        for leftover in ["3", "9", "10"]:
            folder.write(f"old_update_{leftover}/from_{leftover}.txt", b"never installed")
        folder.write("update_5", b"a file, not a folder")
        before = folder.tree()
        update = folder.path / "update_9"
        order = walk_order(update)

        result = self.run_update(folder)

        self.assertInstalled(result, folder, update, order)
        pending = {"update_10", "update_100", "update_2", "update_0999", "update_9", "old_update_3", "old_update_9",
                   "old_update_10"}
        expected = {path: entry for path, entry in before.items() if path.split("/")[0] not in pending}
        expected.update({"version.txt": ("file", b"nine", True), "sub": ("folder",),
                         "sub/nine.dll": ("file", b"nine dll", True)})
        self.assertEqual(folder.tree(), expected)
        self.assertLobbyStartedOnce(folder)

    # An update that holds no file, only empty folders or nothing at all, installs nothing,
    # creates no folder, is removed, and the Lobby starts.
    def test_update_without_files(self):
        hollow = self.install("Hollow")
        for empty in ["empty", "deep/er/est"]:
            (hollow.path / "update_3" / empty).mkdir(parents=True)
        bare = self.install("Bare")
        (bare.path / "update_1").mkdir()
        bare.write("data.txt", b"stays")
        runs = [(folder, folder.tree(), self.begin_update(folder)) for folder in [hollow, bare]]

        for folder, before, run in runs:
            with self.subTest(folder=folder.path.name):
                result = run.finish()
                rollback = self.rollback_folder(result, folder)
                self.assertEqual(result.code, 0, result.stderr[-2000:])
                self.assertMessages(result)
                self.assertEqual(result.lines, HEAD + self.lobby_lines(folder) +
                                 [b"deleting rollback folder " + eight_bit(rollback)])
                self.assertEqual(folder.tree(), {path: entry for path, entry in before.items()
                                                 if not path.startswith("update_")})
                self.assertNoRollbackLeft(folder)
                self.assertLobbyStartedOnce(folder)



class StagedUpdate(UpdateTestCase):
    # The staging recipe of docs/integrating.md, step by step: an update downloaded into a folder
    # of another name is left alone by a Launcher that runs meanwhile; renamed to its fixed-width
    # update name once complete, it is installed by the next Launcher run, which also drops an
    # older pending update that plain digits would have ranked above it, removes the update folder
    # and starts the Lobby with the documented arguments.
    def test_staging_recipe(self):
        folder = self.install("Client")
        folder.write("version.txt", b"1650")
        folder.write("resources/app.asar", b"old archive")
        staging = folder.path / "downloading_000001700"
        folder.write("downloading_000001700/version.txt", b"1700")
        folder.write("downloading_000001700/resources/app.asar_tmp", b"new arch")
        before = folder.tree()

        early = folder.run()

        self.assertEqual(early.code, 0, early.stderr[-2000:])
        self.assertMessages(early)
        self.assertEqual(early.lines, self.lobby_lines(folder))
        self.assertEqual(folder.tree(), before)
        folder.wait_lobby_starts()
        (folder.path / "lobby-runs.jsonl").unlink()

        folder.write("downloading_000001700/resources/app.asar_tmp", b"new archive, complete")
        folder.write("downloading_000001700/plugins/chat.dll", b"chat")
        # Staged and renamed the same way before the newer one, and still pending: as plain digits,
        # "990" would rank above "1700".
        folder.write("update_000000990/version.txt", b"990, never installed")
        update = folder.path / "update_000001700"
        os.rename(staging, update)
        order = walk_order(update)

        result = folder.run("--restart")

        self.assertInstalled(result, folder, update, order)
        self.assertEqual(folder.tree(), {
            "version.txt": ("file", b"1700", True),
            "resources": ("folder",),
            "resources/app.asar": ("file", b"new archive, complete", True),
            "plugins": ("folder",),
            "plugins/chat.dll": ("file", b"chat", True),
        })
        self.assertFalse(staging.exists())
        self.assertLobbyStartedOnce(folder)


if __name__ == "__main__":
    unittest.main()
