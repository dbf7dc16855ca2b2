"""A pending update that cannot be installed: the backups go back, the user is told, the update
folder waits for the next run and the Lobby is not started."""

import contextlib
import os
import shutil
import time
import unittest

from fault_cases import Failure, FaultTestCase, backed_up
from faults import FILES
from harness import (BIN, HEAD, LOBBY_NAME, READ_ONLY, REINSTALL, ROLLBACK_STORE, WINDOWS, eight_bit, holding,
                     host_path, mount_tmpfs, native)
from results import long_traced_paths
from syscalls import Fault, fault_at
from trees import folding, lay, lay_until_walk_suits, snapshot, walk_order


LINKS_UPDATE = {"link": "new-target", "file-to-link": "added.dll", "link-to-file": b"now a file",
                "dangling": b"was a dangling link", "folder-link": b"a file where a link to a folder stood"}
LINKS_INSTALL = {"link": "old-target", "file-to-link": b"old file", "link-to-file": "replaced.txt",
                 "dangling": "missing", "folder-link": "nested"}


class FailedUpdate(FaultTestCase):
    # A failure at file k of n moves every earlier backup back byte for byte, in the reverse order
    # of installation: read-only files, links (to folders too) and the .asar rule included, and an
    # archive that the update ships under both names comes back as it was; files the update added
    # stay, later files are never touched, the user sees the copy error, and the update folder
    # stays for the next run, which fails the same way. Once the update folder is deleted, the
    # next run starts the Lobby on the restored files.
    def test_failure_rolls_back_earlier_files(self):
        folder = self.install("Client")
        core_update = {
            "replaced.txt": b"new replaced",
            "locked.cfg": b"new locked",
            "opened.cfg": (b"new opened", READ_ONLY),
            "added.dll": b"new added",
            "nested/deeper/lib.dll": b"new lib",
            "app.asar_tmp": b"new archive",
            "app.asar": b"new archive under its own name",
            "made/inside/x.txt": b"new in a new folder",
            "hollow": None,
        }
        core_install = {
            "replaced.txt": b"old replaced \x00\xff",
            "locked.cfg": (b"old locked", READ_ONLY),
            "opened.cfg": b"old opened",
            "nested/deeper/lib.dll": b"old lib",
            "app.asar": b"old archive",
        }
        if not WINDOWS:
            core_update.update(LINKS_UPDATE)
            core_install.update(LINKS_INSTALL)
        failure = Failure(folder, core_update, core_install)
        update_before = snapshot(failure.update)

        with self.unreplaceable(folder.path / failure.failing):
            before = folder.tree()
            result = self.run_update(folder)
            self.check_rolled_back(failure, before, update_before, result)
            # The files that this run added stand now, so the next run backs them up too.
            after_first = folder.tree()
            failure.backed_up = backed_up(failure.announced[:-1], lambda target: os.path.lexists(folder.path / target))
            again = self.run_update(folder)
            self.check_rolled_back(failure, after_first, update_before, again)

        shutil.rmtree(failure.update)
        remaining = folder.tree()
        result = self.run_update(folder)
        self.assertEqual(result.code, 0, result.stderr[-2000:])
        self.assertMessages(result)
        self.assertEqual(result.lines, self.lobby_lines(folder))
        self.assertEqual(folder.tree(), remaining)
        self.assertLobbyStartedOnce(folder)

    # Backups that cannot be moved back stay in the rollback folder, which is kept and named with its
    # record; the user is told once to reinstall, then sees the copy error; every other backup goes
    # back. The next run moves the kept backups back first, then installs the update.
    def test_backup_that_cannot_be_moved_back_is_kept(self):
        def failure_in(folder):
            return Failure(folder, {"first.txt": b"new first", "second.txt": b"new second", "last.txt": b"new last",
                                    "deep/deep.bin": b"new deep"},
                           {"first.txt": b"old first", "second.txt": (b"old second \x00\xff", READ_ONLY),
                            "last.txt": (b"old last", READ_ONLY), "deep/deep.bin": b"old deep"},
                           blocker="folder")

        folder = self.install("Client")
        failure = failure_in(folder)
        update_before = snapshot(failure.update)
        before = folder.tree()
        # A backup goes back by a rename over what the update put in its place or, where that
        # fails, by a rename of that aside first: fail both for the two backups that go back first,
        # from the first rename out of the rollback folder in a clean run on. Under Wine access
        # denied would be waited out as a file another program holds.
        probe = self.install("Probe")
        self.assertEqual(failure_in(probe).order, failure.order)
        calls = self.probe_update(probe)
        back = next(call for call in calls if call.where == FILES and call.name.startswith("rename") and
                    f"/{ROLLBACK_STORE}/" in call.paths[0])
        stuck = failure.backed_up[-2:]

        run = self.faulty_update(folder, fault_at(calls, back, "error:ENOSPC" if WINDOWS else "error:EACCES", 4))

        self.assertEqual(len(run.fired), 4, run.fired)
        result = run.result
        rollback = self.rollback_folder(result, folder)
        self.assertNothingStarted(folder, result)
        kept = {relative: entry for relative, entry in snapshot(host_path(rollback)).items() if entry[0] != "folder"}
        self.assertEqual(kept, {relative: before[relative] for relative in stuck})
        after = folder.tree()
        expected = failure.restored(before)
        for relative in stuck:
            expected.pop(relative)
            after.pop(relative, None)
        self.assertEqual(after, expected)
        self.assertEqual(snapshot(failure.update), update_before)
        reinstall, message = self.boxes(result, 2)
        self.assertEqual(reinstall, REINSTALL)
        self.assertCopyError(message, self.failure_copy_error(failure))
        self.assertRolledBack(failure, result, rollback, b"keeping rollback folder ")

        shutil.rmtree(folder.path / failure.failing)
        again = self.run_update(folder)

        self.assertEqual(again.code, 0, again.stderr[-2000:])
        # The Lobbies are ended before the kept backups move back.
        recovery = again.lines[len(HEAD):len(HEAD) + 3]
        self.assertEqual(again.lines[:len(HEAD)], HEAD)
        self.assertEqual(sorted(recovery[:2]), sorted(self.rollbacking(folder, relative, rollback) for relative in stuck))
        self.assertEqual(recovery[2], b"deleting rollback folder " + eight_bit(rollback))
        self.assertNoRollbackLeft(folder)
        after = folder.tree()
        self.assertEqual([after[relative] for relative in stuck],
                         [("file", update_before[relative][1], before[relative][2]) for relative in stuck])


    # An update that writes one target twice (an archive under both of its names; on Windows also
    # two names that differ only in letter case, as an update folder written on Linux can hold)
    # and fails before either is reached leaves the original file as it was, on every failing run;
    # once the obstacle is gone the last of the two writers, in walk order, is installed.
    def test_two_update_files_for_one_target(self):
        folder = self.install("Client")
        lay(folder.path, {"res/app.asar": b"old archive", "data/File.bin": (b"old data", READ_ONLY)})
        update = folder.path / "update_7"
        writers = {"res/app.asar": b"new archive", "res/app.asar_tmp": b"new archive, other name",
                   "data/FILE.bin": b"new data", "data/file.bin": b"new data, other case"}
        lay(update, writers)
        # A name that Wine's sort by upper case puts first; on tmpfs the newest entry comes first.
        _, order = lay_until_walk_suits(update, (f"a_first{attempt}" for attempt in range(100)),
                                        lambda name: lay(update, {f"{name}/early.txt": b"early"}),
                                        lambda name, order: order[0] == f"{name}/early.txt")
        first = order[0]
        lay(folder.path, {f"{first}/inside.txt": b"a folder where the update has a file"})
        before = folder.tree()

        for _ in range(2):
            result = self.run_update(folder)
            self.assertNothingStarted(folder, result)
            message, = self.boxes(result, 1)
            self.assertCopyError(message, self.copy_error(update / first, folder.path / first))
            self.assertEqual(folder.tree(), before)
            self.assertNoRollbackLeft(folder)

        shutil.rmtree(folder.path / first)
        result = self.run_update(folder)

        self.assertEqual(result.code, 0, result.stderr[-2000:])
        last = max(["res/app.asar", "res/app.asar_tmp"], key=order.index)
        expected = {"res/app.asar": ("file", writers[last], True)}
        if WINDOWS:
            # Wine lists names equal but for letter case in no set order: either may come last. The
            # file keeps the original's write permission.
            data = {path: entry for path, entry in folder.tree().items() if path.upper() == "DATA/FILE.BIN"}
            self.assertIn(data, [{path: ("file", writers[path], False)} for path in ("data/FILE.bin", "data/file.bin")])
            expected.update(data)
        else:
            expected.update({"data/File.bin": ("file", b"old data", False), "data/FILE.bin": ("file", b"new data", True),
                             "data/file.bin": ("file", b"new data, other case", True)})
        fold = folding()
        self.assertEqual({fold(path): entry for path, entry in folder.tree().items() if "/" in path and
                          not path.startswith("a_first")}, {fold(path): entry for path, entry in expected.items()})


class AcrossVolumes(FaultTestCase):
    """The rollback store on another file system than the install folder (a mount point), so that
    every move into it and back out of it is a copy and a delete, as for a folder of the install
    tree that is another volume."""

    def place(self, name):
        """An install folder whose rollback store is another volume, and its own current directory."""
        folder = self.install(name)
        if not mount_tmpfs(self, folder.path / ROLLBACK_STORE):
            self.skipTest("cannot mount a tmpfs here")
        return folder, self.root / f"cwd-{name}"

    # A failed update is rolled back as well when every move there and back is a copy and a
    # delete, contents and links kept; a target that cannot be moved leaves no copy behind.
    def test_failure_rolled_back_across_volumes(self):
        core_update = {"replaced.txt": b"new replaced", "big.bin": os.urandom(1 << 20), "added.dll": b"new added",
                       "nested/lib.dll": b"new lib", "app.asar_tmp": b"new archive"}
        core_install = {"replaced.txt": b"old replaced", "big.bin": os.urandom(1 << 20), "nested/lib.dll": b"old lib",
                        "app.asar": b"old archive"}
        if not WINDOWS:
            core_update.update(LINKS_UPDATE)
            core_install.update(LINKS_INSTALL)
        blocked, blocked_cwd = self.place("Blocked")
        blocked_failure = Failure(blocked, core_update, core_install, blocker="folder")
        held, held_cwd = self.place("Unremovable")
        held_failure = Failure(held, core_update, core_install)
        updates_before = [snapshot(blocked_failure.update), snapshot(held_failure.update)]

        with self.unreplaceable(held.path / held_failure.failing):
            befores = [blocked.tree(), held.tree()]
            runs = [self.begin_update(blocked, blocked_cwd), self.begin_update(held, held_cwd)]
            results = [run.finish() for run in runs]
            for failure, before, update_before, result, cwd in zip(
                    [blocked_failure, held_failure], befores, updates_before, results, [blocked_cwd, held_cwd]):
                with self.subTest(target=failure.folder.path.name):
                    rollback = self.rollback_folder(result, failure.folder)
                    self.assertNotEqual(os.stat(host_path(rollback).parent).st_dev,
                                        os.stat(failure.folder.path).st_dev)
                    self.check_rolled_back(failure, before, update_before, result, cwd)

    # Read-only files cross to the other file system and back: a completed update keeps each
    # replaced file's write permission, a failed one restores the old files with theirs.
    def test_read_only_files_across_volumes(self):
        core_update = {"locked.cfg": b"new locked", "opened.cfg": (b"new opened", READ_ONLY)}
        core_install = {"locked.cfg": (b"old locked", READ_ONLY), "opened.cfg": b"old opened"}
        installed, installed_cwd = self.place("Installed")
        lay(installed.path / "update_4", core_update)
        lay(installed.path, core_install)
        failed, failed_cwd = self.place("Failed")
        failure = Failure(failed, core_update, core_install, blocker="folder")
        update_before = snapshot(failure.update)
        before = failed.tree()

        runs = [self.begin_update(installed, installed_cwd), self.begin_update(failed, failed_cwd)]
        completed, rolled_back = [run.finish() for run in runs]

        with self.subTest(update="completed"):
            self.rollback_folder(completed, installed)
            self.assertEqual(installed.tree(), {"locked.cfg": ("file", b"new locked", False),
                                                "opened.cfg": ("file", b"new opened", True)})
            self.assertEqual(completed.code, 0, completed.message_texts)
            self.assertMessages(completed)
            self.assertNoRollbackLeft(installed)
            self.assertLobbyStartedOnce(installed)
        with self.subTest(update="rolled back"):
            self.check_rolled_back(failure, before, update_before, rolled_back, failed_cwd)

    # Windows copies a running program to another volume but cannot delete it: the update fails
    # with the copy error and no second copy of the program is left in the rollback folder.
    def test_running_program_across_volumes(self):
        if not WINDOWS:
            self.skipTest("Linux lets a running program's file be moved")
        folder, cwd = self.place("Running")
        folder.write("bin/helper.exe", (BIN / LOBBY_NAME).read_bytes())
        folder.write("bin/lobby-stay-seconds.txt", "60")
        folder.write("update_2/bin/helper.exe", b"new helper")
        before = folder.tree()
        helper = folder.start_lobby(folder.native("bin", "helper.exe"))
        self.addCleanup(helper.wait)
        self.addCleanup(helper.kill)
        started = folder.path / "bin" / "lobby-runs.jsonl"
        deadline = time.monotonic() + 30
        while not started.exists() and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertTrue(started.exists(), "the helper program did not start")

        result = self.run_update(folder)

        rollback = self.rollback_folder(result, folder)
        self.assertNothingStarted(folder, result)
        update = folder.path / "update_2"
        self.assertEqual(result.lines, HEAD + [self.copying(folder, update, "bin/helper.exe", rollback),
                                               self.waiting_line(result, folder.path / "bin/helper.exe"),
                                               b"deleting rollback folder " + eight_bit(rollback)])
        message, = self.boxes(result, 1)
        self.assertCopyError(message, self.copy_error(update / "bin/helper.exe", folder.path / "bin/helper.exe"))
        self.assertEqual({path: entry for path, entry in folder.tree().items() if path != "bin/lobby-runs.jsonl"},
                         before)
        self.assertNoRollbackLeft(folder)
        self.assertIsNone(helper.poll())


class InstallFolderObstacles(FaultTestCase):
    # A file where the update needs a folder, or a folder where it has a file, fails the update
    # with the installation's own error before any backup exists, and nothing changes; so does an
    # update entry that is neither a file nor a link (a pipe on Linux), before anything opens it.
    def test_obstacles_in_the_install_folder(self):
        needs_folder = self.install("NeedsFolder")
        needs_folder.write("plugins", b"a file where a folder belongs")
        needs_folder.write("update_2/plugins/chat/chat.dll", b"chat")
        folder_at_file = self.install("FolderAtFile")
        folder_at_file.write("data.bin/inner.txt", b"inside a folder")
        folder_at_file.write("update_2/data.bin", b"a file")
        folders = [needs_folder, folder_at_file]
        if not WINDOWS:
            pipe = self.install("Pipe")
            pipe.write("data.bin", b"old data")
            (pipe.path / "update_2").mkdir()
            os.mkfifo(pipe.path / "update_2" / "data.bin")
            folders.append(pipe)
        cases = [(folder, folder.tree(), self.begin_update(folder)) for folder in folders]

        for folder, before, run in cases:
            with self.subTest(folder=folder.path.name):
                result = run.finish(timeout=60)
                rollback = self.rollback_folder(result, folder)
                self.assertNothingStarted(folder, result)
                update = folder.path / "update_2"
                relative, = walk_order(update)
                self.assertEqual(result.lines, HEAD + [self.copying(folder, update, relative, rollback),
                                                       b"deleting rollback folder " + eight_bit(rollback)])
                message, = self.boxes(result, 1)
                if folder is needs_folder:
                    self.assertRegex(message, r"^Error: boost::filesystem::create_director")
                    self.assertIn(native(folder.path / "plugins"), message)
                else:
                    self.assertCopyError(message, self.copy_error(update / relative, folder.path / relative))
                self.assertEqual(folder.tree(), before)
                self.assertNoRollbackLeft(folder)

    # A copy that fails half-way, on a full volume, leaves no truncated file behind.
    def test_copy_failing_half_way(self):
        folder = self.install("Client")
        if not mount_tmpfs(self, folder.path / "small", size="256k"):
            self.skipTest("cannot mount a small tmpfs here")
        folder.write("small/keep.txt", b"stays")
        folder.write("update_4/small/huge.bin", os.urandom(2 << 20))
        update = folder.path / "update_4"
        before = folder.tree()

        result = self.run_update(folder)

        rollback = self.rollback_folder(result, folder)
        self.assertNothingStarted(folder, result)
        self.assertEqual(result.lines, HEAD + [self.copying(folder, update, "small/huge.bin", rollback),
                                               b"deleting rollback folder " + eight_bit(rollback)])
        message, = self.boxes(result, 1)
        self.assertCopyError(message, self.copy_error(update / "small/huge.bin", folder.path / "small/huge.bin"))
        self.assertEqual(folder.tree(), before)
        self.assertTrue(update.is_dir())


class HeldForAMoment(FaultTestCase):
    """Files that another program holds for a moment, as virus scanners and indexers hold fresh
    files: the Launcher waits them out and names each on a line."""

    # Under Wine: a file to replace, held without sharing until shortly after the installation
    # began, is waited out with one line and the update completes; a file of the update held for
    # good delays nothing: the update is installed without a wait, and what is left of it once
    # retired waits for a later run. The update's lock file, never installed, held with all
    # sharing past the run, leaves the run a success that starts the Lobby, and the next run
    # installs nothing again and leaves nothing behind.
    def test_held_files_are_waited_out(self):
        if not WINDOWS:
            self.skipTest("only Windows keeps other programs away from a file that one holds")
        replaced, updated, locked = self.install("Replaced"), self.install("Updated"), self.install("Locked")
        for folder in (replaced, updated):
            folder.write("data.pak", b"old data")
            folder.write("update_3/data.pak", b"new data")
            folder.write("update_3/other.txt", b"other")
        locked.write("update_3/launcher.lock", b"an update's own lock file")
        locked.write("update_3/version.txt", b"3")

        with contextlib.ExitStack() as holds:
            holds.enter_context(holding(replaced.path / "data.pak", 2, until=replaced.path / ROLLBACK_STORE))
            holds.enter_context(holding(updated.path / "update_3/data.pak"))
            holds.enter_context(holding(locked.path / "update_3/launcher.lock", share=True))
            runs = [(folder, self.begin_update(folder, self.root / f"cwd-{folder.path.name}"))
                    for folder in (replaced, updated, locked)]
            results = [run.finish() for _, run in runs]

        for (folder, _), result in zip(runs, results):
            with self.subTest(folder=folder.path.name):
                self.assertEqual(result.code, 0, result.stderr[-2000:])
                self.assertMessages(result)
                self.assertLobbyStartedOnce(folder)
                self.assertNoRollbackLeft(folder)
        self.waiting_line(results[0], replaced.path / "data.pak")
        self.assertFalse([line for line in results[1].lines if line.startswith(b"waiting for ")])
        installed = {"data.pak": ("file", b"new data", True), "other.txt": ("file", b"other", True)}
        self.assertEqual(replaced.tree(), installed)
        self.assertEqual(updated.tree(), {**installed, "old_update_3": ("folder",),
                                          "old_update_3/data.pak": ("file", b"new data", True)})
        self.assertIn(b"skipping " + eight_bit(native(locked.path / "update_3/launcher.lock")) +
                      b": the lock file is never replaced", results[2].lines)

        for folder, tree in ((locked, {"version.txt": ("file", b"3", True)}), (updated, installed)):
            again = folder.run()
            self.assertEqual(again.code, 0, again.stderr[-2000:])
            self.assertEqual(again.lines, self.lobby_lines(folder))
            self.assertEqual(folder.tree(), tree)
            folder.wait_lobby_starts(2)
        self.assertEqual((locked.path / "launcher.lock").read_bytes(), b"")

    # What earlier runs left of a retired update, with a file another program holds, never delays
    # a start: no wait and no line, the Lobby starts and the leftover stays; the first run after
    # the file is let go deletes it. Under Wine the file is held without sharing; on Linux every
    # removal in its folder fails as busy.
    def test_held_leftover_never_delays_a_start(self):
        folder = self.install("Client")
        folder.write("version.txt", b"4")
        folder.write("old_update_4/data.pak", b"left over")
        leftover = {"old_update_4": ("folder",), "old_update_4/data.pak": ("file", b"left over", True)}

        if WINDOWS:
            with holding(folder.path / "old_update_4/data.pak"):
                held = folder.run()
        else:
            held = self.run_update_under_strace(folder, "-o", "/dev/null", "-e", "trace=unlinkat", "-e",
                                                "inject=unlinkat:error=EBUSY", "-P", str(folder.path / "old_update_4"))

        self.assertEqual(held.code, 0, held.stderr[-2000:])
        self.assertMessages(held)
        self.assertEqual(held.lines, self.lobby_lines(folder))
        self.assertEqual(folder.tree(), {"version.txt": ("file", b"4", True), **leftover})
        folder.wait_lobby_starts()

        later = folder.run()

        self.assertEqual(later.lines, self.lobby_lines(folder))
        self.assertEqual(folder.tree(), {"version.txt": ("file", b"4", True)})
        folder.wait_lobby_starts(2)

    # A file to replace whose first three moves fail as held by another program (on Linux busy;
    # under Wine access denied, which Windows gives for a file held without delete sharing) is
    # waited out: one line names it, and the update completes.
    def test_busy_file_is_waited_out(self):
        folder = self.install("Client")
        folder.write("data.pak", b"old data")
        folder.write("update_3/data.pak", b"new data")
        update = folder.path / "update_3"

        # On Linux the first renames of the run are those of this file, each from its folder's handle.
        name, error, paths = (("rename", "error:EACCES", (folder.path / "data.pak",)) if WINDOWS else
                              ("renameat", "error:EBUSY", ()))
        run = self.faulty_update(folder, Fault(FILES, name, "1..3", error, paths))

        self.assertEqual(len(run.fired), 3, run.fired)
        result = run.result
        waiting = self.waiting_line(result, folder.path / "data.pak")
        result.stdout = b"".join(line + b"\n" for line in result.lines if line != waiting)
        self.assertInstalled(result, folder, update, ["data.pak"])
        self.assertEqual(folder.tree(), {"data.pak": ("file", b"new data", True)})
        self.assertLobbyStartedOnce(folder)


class LongPaths(FaultTestCase):
    # Backups more than 300 characters deep: an update installs there, and one that fails there
    # rolls back. On Windows every such path reaches the system in the form that works at any
    # length (Wine's file trace shows none in the plain form), while lines and messages show the
    # plain form.
    def test_paths_over_300_characters(self):
        deep = "/".join(f"{i}" + "d" * 60 for i in range(4))
        installs = self.install("Installs")
        installs.write(f"{deep}/level.dat", b"old level")
        installs.write(f"update_4/{deep}/level.dat", b"new level")
        installs.write(f"update_4/{deep}/new.dat", b"new")
        update = installs.path / "update_4"
        order = walk_order(update)
        fails = self.install("Fails")
        failure = Failure(fails, {f"{deep}/level.dat": b"new level", f"{deep}/added.dat": b"added"},
                          {f"{deep}/level.dat": b"old level"}, blocker="folder")
        update_before = snapshot(failure.update)
        before = fails.tree()
        trace = {"WINEDEBUG": "-all,+relay,+file"} if WINDOWS else {}

        runs = [self.begin_update(folder, self.root / f"cwd-{folder.path.name}", trace) for folder in (installs, fails)]
        installed, rolled_back = [run.finish() for run in runs]

        rollback = self.assertInstalled(installed, installs, update, order)
        self.assertGreater(len(rollback + "/" + deep + "/level.dat"), 300)
        self.assertEqual(installs.tree(), {**{"/".join(deep.split("/")[:depth]): ("folder",) for depth in range(1, 5)},
                                           f"{deep}/level.dat": ("file", b"new level", True),
                                           f"{deep}/new.dat": ("file", b"new", True)})
        self.check_rolled_back(failure, before, update_before, rolled_back, self.root / "cwd-Fails")
        if WINDOWS:
            for result in (installed, rolled_back):
                paths = long_traced_paths(result.stderr.decode("utf-8", errors="replace"))
                self.assertTrue(paths)
                self.assertEqual([path for path in paths if not path.startswith("\\\\?\\")], [])


class VanishedUpdate(FaultTestCase):
    # An update folder that disappears while the launcher waits for Lobbies to end installs
    # nothing, and the Lobby starts as usual.
    def test_update_folder_gone_before_installation(self):
        folder = self.install("Client")
        folder.write("version.txt", b"one")
        folder.write("update_5/version.txt", b"five")
        before = folder.tree()
        run = self.begin_update(folder)
        self.addCleanup(run.stop)
        run.wait_line(b"restart mode / kill mode")
        shutil.rmtree(folder.path / "update_5")

        result = run.finish()

        self.assertEqual(result.code, 0, result.stderr[-2000:])
        self.assertMessages(result)
        self.assertEqual(result.lines, HEAD + self.lobby_lines(folder))
        self.assertEqual(folder.tree(), {path: entry for path, entry in before.items()
                                         if not path.startswith("update_5")})
        self.assertFalse((folder.path / ROLLBACK_STORE).exists())
        self.assertLobbyStartedOnce(folder)


if __name__ == "__main__":
    unittest.main()
