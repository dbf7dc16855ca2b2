"""The tests of updates that fail or are cut short share FaultTestCase, and Failure and Position: an
update that fails at a chosen file and what its rollback must leave."""

import contextlib
import os
import subprocess

from cases import UpdateTestCase
from faults import Injector
from harness import HEAD, WINDOWS, eight_bit, from_eight_bit, holding, native
from results import rollback_named
from runs import InstallFolder
from trees import asar, lay, lay_until_walk_suits, snapshot

# The plain files that a Failure's walk meets around its folder of chosen files.
PLAIN_FILES = 8


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
