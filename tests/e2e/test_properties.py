"""Any update tree, wherever the game is installed, and any single fault: a run leaves exactly the
previous installation (files the update added whole aside) or exactly the new one, and its message
names the failure; the next runs install the update whole and leave nothing behind but the empty
rollback store.

Hypothesis generates the place (under Wine a drive's root, a path near the old 260-character
limit, a name with spaces, '&' and letters outside ASCII; on the test's disk or on an NTFS, exFAT,
XFS or btrfs volume), install trees, updates and one fault each: a folder where the update has a
file, or an error or a kill at a system call that a clean run of the same case made, on Linux any
the launcher makes, under Wine those its server makes for it and its own writes and flushes of the
record. A fault that does not fire fails the test. E2E_PROPERTY_EXAMPLES sets how many examples run
(each is a few cases run side by side); CI runs a fixed, derandomized budget, and
scripts/properties.sh runs a longer, random one. E2E_REPORT names a file that gets what fired
where; with E2E_VOLUMES_REQUIRED=1 a volume that cannot be mounted fails the test instead of
being skipped."""

import collections
import concurrent.futures
import dataclasses
import os
import re
import shutil
import tempfile
import threading
import unittest
import zlib
from pathlib import Path

from hypothesis import HealthCheck, Phase, example, given, settings
from hypothesis import strategies as st

from cases import UpdateTestCase
from faults import Injector
from harness import (BIN, IMAGE_VOLUMES, LAUNCHER_NAME, LOBBY_NAME, ROLLBACK_STORE, UPDATE_NAME, WINDOWS, eight_bit,
                     from_eight_bit, mount_image, native)
from runs import InstallFolder
from syscalls import fault_at
from trees import after_update, asar, folding, lay, skipped, snapshot, walk_order

LONG = os.environ.get("E2E_PROPERTY_LONG") == "1"
EXAMPLES = int(os.environ.get("E2E_PROPERTY_EXAMPLES", "10" if WINDOWS else "40"))
SANITIZED = os.environ.get("E2E_SANITIZED") == "1"
VOLUMES_REQUIRED = os.environ.get("E2E_VOLUMES_REQUIRED") == "1"

# Folder names never differ from each other in letter case; file names do, on purpose.
FOLDERS = ["", "bin", "data", "res", "res/img", "deep/er/est"]
NAMES = ["a.txt", "b.dll", "app.asar", "app.asar_tmp", "x.asar", "x.asar_tmp", "y.ASAR_TMP", "n.asar_tmp.bak",
         "e.bin", "File.bin", "FILE.bin", "file.bin"]
PATHS = [f"{folder}/{name}" if folder else name for folder in FOLDERS for name in NAMES]
# Top-level entries of an update that the Launcher keeps for itself and skips.
OWN_NAMES = ["zintu_rollback/0badc0de/a.txt", "update_3/a.txt", "old_update_2/b.dll", "launcher.lock"] + \
    (["Update_4/c.txt", "ZINTU_ROLLBACK/d.txt"] if WINDOWS else [])
READ_ONLY, EXECUTABLE, PLAIN = 0o444, 0o755, 0o644
# What an earlier run may leave of retired updates: under the name this update's takes, too.
LEFTOVERS = {"old_update_7/left.txt": b"left by an earlier run"}
# The install folder's own files, compared on their own or not at all.
OWN_FILES = ("lobby-runs.jsonl", "launcher.lock", LAUNCHER_NAME, LOBBY_NAME, ROLLBACK_STORE)

# Where the game is installed: the test's own disk or a volume of each kind, and in it a plain
# folder, one deep enough that the update's paths cross the old 260-character limit, one named with
# spaces, '&' and letters outside ASCII (one the ANSI code page lacks), or under Wine a drive's root.
VOLUMES = ["disk"] + list(IMAGE_VOLUMES)
NO_LINKS = {"exfat"}
# ntfs-3g shows every file rwxrwxrwx; exFAT has no permissions at all.
NO_PERMISSIONS = {"ntfs", "exfat"}
CASE_INSENSITIVE = {"exfat"}
PLACES = ["plain", "deep", "named"] + (["root"] if WINDOWS else [])
NAMED = "Spiele & Co Ää Ω"
DRIVES = "defghijklmnoprstuvwxy"
# The record's completion entry, a frame of its own: tag, empty length, checksum.
COMPLETE = b"c\0\0\0\0" + zlib.crc32(b"c\0\0\0\0").to_bytes(4, "little")
HEADER = len("zzintu installation journal 2") + 1

# The error a call fails with, as a full disk, a bad sector or a refusing filter would make it
# fail; Wine's server tells the program which of them it met (an access denied is waited out).
DATA_CALLS = {"write", "pwrite64", "copy_file_range", "ftruncate"}
FLUSH_CALLS = {"fsync", "fdatasync", "syncfs"}
SERVER_ERRORS = ["EACCES", "ENOSPC", "EIO"]
# How the message names each error: the C library's words, or under Wine the system's words for
# the Win32 error that the server, or the program's own call, maps it to.
ERROR_TEXTS = {("server", "EACCES"): "Access denied", ("server", "ENOSPC"): "Disk full",
               ("server", "EIO"): "No access to memory location", ("program", "ENOSPC"): "Disk full",
               ("program", "EIO"): "Not ready"} if WINDOWS else \
    {("launcher", "EACCES"): "Permission denied", ("launcher", "ENOSPC"): "No space left on device",
     ("launcher", "EIO"): "Input/output error"}


def errno_for(call, drawn):
    if WINDOWS and call.where == "server":
        return drawn
    return "ENOSPC" if call.name in DATA_CALLS else "EIO" if call.name in FLUSH_CALLS else "EACCES"


def spread(options=None):
    """A number (or one of the options) that Hypothesis's liking for small numbers leaves evenly
    spread: its draws are scrambled by a multiplicative hash."""
    numbers = st.integers(0, 2 ** 20).map(lambda n: (n + 1) * 2654435761 % 2 ** 32)
    return numbers if options is None else numbers.map(lambda n: options[n % len(options)])


def entries(prefix, links):
    """A file (content, mode) or, on Linux, a symbolic link: its text leads to nothing the trees
    hold, so that no walk meets a loop, or in the install tree to the folder it stands in, which
    an update's file replaces as it would any link."""
    files = st.tuples(st.binary(max_size=24).map(lambda data: prefix + data),
                      st.sampled_from([PLAIN, PLAIN, READ_ONLY, EXECUTABLE]))
    files = files | st.just((b"", PLAIN))
    if WINDOWS:
        return files
    return st.one_of(files, files, files, st.sampled_from(links))


def tree(paths, prefix, links=("missing", "./nowhere.dat", "../elsewhere/x")):
    return paths.flatmap(lambda paths: st.tuples(*[entries(prefix, links) for _ in paths]).map(
        lambda values: dict(zip(paths, values))))


def faults(kind):
    """One fault of the kind: a folder where the update has a file (chosen by its place in the
    walk), or an error or a kill at one of the calls a clean run makes (chosen by its place among
    them, by name and then by its place among the calls of that name; under Wine with the error its
    server meets). A kill may leave the record damaged as a
    power cut leaves it."""
    pick = st.tuples(spread(), spread())
    if kind == "folder":
        return st.tuples(st.just("folder"), st.integers(0, 3) | st.integers(0, 200))
    if kind == "error":
        return st.tuples(st.just("error"), pick, spread(options=SERVER_ERRORS))
    return st.tuples(st.just("kill"), pick, st.none() | st.tuples(st.integers(0, 99), st.integers(1, 64)))


TWICE = {"asar": ("app.asar", "app.asar", "app.asar_tmp"), "case": ("File.bin", "FILE.bin", "file.bin")}


def with_one_target_twice(case, twice, fold):
    """The case with a file of the install folder that two files of the update write: an archive
    under both of its names, or (Windows) two names that differ in letter case."""
    if twice is None:
        return case
    folder, kind = twice
    original, *writers = [f"{folder}/{name}" if folder else name for name in TWICE[kind]]
    install = {path: entry for path, entry in case["install"].items() if fold(path) != fold(original)}
    install[original] = (b"old original", READ_ONLY)
    update = {path: entry for path, entry in case["update"].items() if path not in writers}
    update.update({writer: (b"new " + writer.encode(), PLAIN) for writer in writers})
    return {**case, "install": install, "update": update}


def case_folding(case):
    """Paths as the case's volume tells them apart (see folding)."""
    return folding(case["volume"] in CASE_INSENSITIVE)


def kept(case):
    """The case as its volume can hold it: no symbolic links where it has none, and one of the
    names that differ only in letter case where it folds them."""
    fold = str.upper if case["volume"] in CASE_INSENSITIVE else str

    def keep(entries):
        entries = {path: entry for path, entry in entries.items()
                   if not (isinstance(entry, str) and case["volume"] in NO_LINKS)}
        return {path: entry for path, entry in entries.items()
                if list(entries).index(path) == [fold(other) for other in entries].index(fold(path))}

    case = with_one_target_twice(case, case.pop("twice"), case_folding(case))
    return {**case, "install": keep(case["install"]), "update": keep(case["update"]) or {"a.txt": (b"new ", PLAIN)}}


def cases(kind):
    return st.fixed_dictionaries({
        "volume": spread(options=VOLUMES),
        "place": spread(options=PLACES),
        "install": tree(st.lists(st.sampled_from(PATHS), max_size=10).map(
            lambda paths: list({path.upper(): path for path in paths}.values())), b"old ",
            ("missing", "./nowhere.dat", "../elsewhere/x", ".")),
        "update": tree(st.lists(st.sampled_from(PATHS), min_size=1, max_size=12, unique=True), b"new "),
        "twice": st.none() | st.tuples(st.sampled_from(FOLDERS), st.sampled_from(["asar", "case"] if WINDOWS else ["asar"])),
        "own": st.lists(st.sampled_from(OWN_NAMES), max_size=2, unique=True),
        "launcher": st.booleans(),
        "leftover": st.booleans(),
        "bulk": st.sampled_from([0, 0, 0, 150]),
        "fault": faults(kind),
    }).map(kept)


# Each example runs one case of every kind of fault side by side; every clean run is checked too.
KINDS = ["folder", "error", "kill", "kill"]
BATCH = st.tuples(*[cases(kind) for kind in KINDS])

# Cases found before, each as one case of a batch whose other cases are the least of their kind.
LEAST = {"folder": ("folder", 0), "error": ("error", (0, 0), "EACCES"), "kill": ("kill", (0, 0), None)}
FOUND = [
    # The original archive, the target of both of its names, lost to a kill before either.
    {"volume": "disk", "place": "plain", "install": {"app.asar": (b"old original", READ_ONLY)}, "update": {
        "a.txt": (b"new ", PLAIN), "app.asar": (b"new app.asar", PLAIN), "app.asar_tmp": (b"new app.asar_tmp", PLAIN)},
     "own": [], "launcher": False, "leftover": False, "bulk": 0, "fault": LEAST["kill"]},
]


def batch_with(found):
    least = {"volume": "disk", "place": "plain", "install": {}, "update": {"a.txt": (b"new ", PLAIN)}, "own": [],
             "launcher": False, "leftover": False, "bulk": 0}
    batch = [{**least, "fault": LEAST[kind]} for kind in KINDS]
    batch[KINDS.index(found["fault"][0])] = found
    return tuple(batch)


def writers(update, order, fold):
    """The update's files that write each target, in walk order, by the target's folded path."""
    result = collections.defaultdict(list)
    for relative in order:
        if not skipped(relative):
            result[fold(asar(relative))].append(relative)
    return result


def tied_writers(update, order, fold):
    """Targets that update files write under names equal but for letter case: Wine lists such
    names in no set order, so any of them may be the last writer. Each with the names and entries
    its writers bring."""
    return {target: [(asar(relative), update[relative]) for relative in relatives]
            for target, relatives in writers(update, order, fold).items()
            if len({fold(relative) for relative in relatives}) < len(relatives)}


def by_key(tree, fold):
    groups = collections.defaultdict(list)
    for path, entry in tree.items():
        groups[fold(path)].append((path, entry))
    return groups


def differing(final, new, ties, fold):
    """The paths where `final` is not the new installation, by name exactly: a second name of a
    target where the file system folds letter case is a difference too. A target with tied writers
    may hold what any of them brought, under its name."""
    final, new = by_key(final, fold), by_key(new, fold)
    wrong = []
    for key in final.keys() | new.keys():
        got, want = final.get(key, []), new.get(key, [])
        if len(got) != 1 or len(want) != 1:
            if got != want:
                wrong.append(key)
            continue
        (path, entry), (_, wanted) = got[0], want[0]
        candidates = [(name, data) for name, data in ties.get(key, [])] + \
            [(name, data[:2] + wanted[2:]) for name, data in ties.get(key, [])] + want
        if (path, entry) not in candidates:
            wrong.append(key)
    return sorted(wrong)


def old_with_added(final, old, update, order, fold):
    """Differences of `final` from the previous installation `old` that are not files (or links)
    the update added whole where nothing stood, or folders made for them; empty when none. A name
    that came back may take the update's letter case, never a second name."""
    final, old = by_key(final, fold), by_key(old, fold)
    written = writers(update, order, fold)
    wrong = [key for key, entries in old.items() if [entry for _, entry in final.get(key, [])] != [entries[0][1]]]
    return wrong + [key for key, entries in final.items() if key not in old and (
        len(entries) != 1 or entries[0][1][0] != "folder" and
        entries[0][1] not in [update[relative] for relative in written.get(key, [])])]


def shape(call, folder):
    """A call as any copy of its case makes it: its paths below the install folder, rollback
    folders unnamed."""
    root = os.path.realpath(folder.path)
    return call.name, tuple(re.sub(r"\b[0-9a-f]{8}\b", "*", os.path.relpath(path, root)) for path in call.paths)


def incomplete_records(folder):
    return [record for record in (folder.path / ROLLBACK_STORE).glob("*.journal")
            if COMPLETE not in record.read_bytes()]


class Report:
    """What the examples covered: faults fired by kind, place and call, and the places used."""

    def __init__(self):
        self.lock = threading.Lock()
        self.fired = collections.Counter()
        self.places = collections.Counter()
        self.outcomes = collections.Counter()
        self.examples = set()
        self.failed = False
        self.unmounted = {}

    def add(self, counter, key):
        with self.lock:
            counter[key] += 1

    def text(self):
        faults = sum(self.fired.values())
        lines = [f"property test ({'windows' if WINDOWS else 'linux'}): {len(self.examples)} examples, "
                 f"{faults} faults fired, none unfired"]
        lines += [f"  {kind} at {where} {name}: {count}" for (kind, where, name), count in sorted(self.fired.items())]
        lines += ["  places: " + ", ".join(f"{volume}/{place} {count}" for (volume, place), count in
                                          sorted(self.places.items()))]
        lines += ["  outcomes: " + ", ".join(f"{how} {count}" for how, count in sorted(self.outcomes.items()))]
        lines += [f"  not mounted: {volume}: {why}" for volume, why in sorted(self.unmounted.items())]
        return "\n".join(lines) + "\n"


class Properties(UpdateTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.injector = Injector(len(KINDS))
        cls.report = Report()

    @classmethod
    def tearDownClass(cls):
        cls.injector.close()
        if os.environ.get("E2E_REPORT"):
            Path(os.environ["E2E_REPORT"]).write_text(cls.report.text())
        super().tearDownClass()

    def setUp(self):
        super().setUp()
        self.volumes = {"disk": self.root}
        self.mounting = threading.Lock()

    def volume(self, kind):
        """The root of a volume of the kind, mounted at its first use; the test's disk where this
        machine cannot mount one."""
        with self.mounting:
            if kind not in self.volumes:
                path = self.root / kind
                why = mount_image(self, kind, path, size="600m")
                if why:
                    self.report.unmounted[kind] = why
                self.volumes[kind] = self.root if why else path
            return self.volumes[kind]

    def place(self, case, root, drive):
        """The install folder of the case below root, as its place asks."""
        if case["place"] == "deep":
            # Deep enough that the update's deepest paths, and their backups more so, cross 260
            # characters in the form the Launcher shows.
            left = 235 - len(native(root / "Client"))
            while left > 1:
                root /= "d" * min(60, left - 1)
                left -= min(60, left - 1) + 1
        name = NAMED if case["place"] == "named" else "Client"
        folder = InstallFolder(root, name, drive=drive if case["place"] == "root" else None)
        if folder.drive:
            self.injector.link_drive(drive, folder.path)
        return folder

    def lay_case(self, case, root, drive):
        """The install folder and its update, its walk order, what the update is installed over,
        with the fault "folder" a folder where the update has a file (what stood there gone), and
        the install folder and the update as laid."""
        folder = self.place(case, root, drive)
        lay(folder.path, case["install"])
        update = folder.path / UPDATE_NAME
        lay(update, case["update"])
        for relative in case["own"]:
            lay(update, {relative: b"the launcher's own name"})
        for i in range(case["bulk"]):
            lay(update, {f"bulk/{i % 3}/f{i}.dat": f"new {i}".encode()})
            if i % 2:
                lay(folder.path, {f"bulk/{i % 3}/f{i}.dat": (f"old {i}".encode(), READ_ONLY if i % 7 == 0 else PLAIN)})
        if case["launcher"]:
            lay(update, {LAUNCHER_NAME: folder.launcher.read_bytes() + b"appended by the update"})
        if case["leftover"]:
            lay(folder.path, LEFTOVERS)
        order = walk_order(update)
        blocker = None
        if case["fault"][0] == "folder":
            fold = case_folding(case)
            installable = [relative for relative in order if not skipped(relative) and relative != LAUNCHER_NAME]
            blocker = folder.path / asar(installable[case["fault"][1] % len(installable)])
            if blocker.parent.exists():
                for standing in blocker.parent.iterdir():
                    if fold(standing.name) == fold(blocker.name):
                        standing.unlink()
        base = self.tree(folder, case)
        if blocker:
            lay(blocker, {"blocker.txt": b"a folder where the update has a file"})
        return folder, update, order, base, blocker, self.tree(folder, case), self.snapshot(update, case)

    def tree(self, folder, case):
        """The install folder's entries as its volume keeps them, without the Launcher's own files,
        the update and retired updates."""
        return {path: entry for path, entry in self.snapshot(folder.path, case, OWN_FILES).items()
                if path.split("/")[0] != UPDATE_NAME and not path.startswith("old_update_")}

    def snapshot(self, root, case, ignore=()):
        """The entries below root (see snapshot) as the case's volume keeps them: with executable
        bits on Linux, and without any permission where the volume keeps none."""
        tree = snapshot(root, ignore, executable=not WINDOWS)
        if case["volume"] in NO_PERMISSIONS:
            tree = {path: entry[:2] if entry[0] == "file" else entry for path, entry in tree.items()}
        return tree

    def clean_run(self, folder):
        """A run without a fault, which must succeed: it starts the Lobby and shows nothing."""
        starts = len(folder.lobby_starts())
        result = self.injector.run(folder)
        self.assertEqual(result.code, 0, result.stderr[-2000:])
        self.assertMessages(result)
        folder.wait_lobby_starts(starts + 1)
        return result

    def check_new(self, folder, case, expected):
        new, ties, launcher = expected
        self.assertEqual(differing(self.tree(folder, case), new, ties, case_folding(case)), [])
        self.assertEqual(folder.launcher.read_bytes(), launcher)

    def check_old(self, folder, case, before, update, order, launcher, lines):
        after = self.tree(folder, case)
        self.assertEqual(old_with_added(after, before, update, order, case_folding(case)), [], lines)
        self.assertEqual(folder.launcher.read_bytes(), launcher)

    def fault_from_probe(self, case, probe, probe_folder, folder):
        """The fault the case draws, among the calls the probe's clean run made on the case's files,
        for the copy of the case in `folder`: under Wine those its server made and its own writes and
        flushes of the record."""
        kind, pick, drawn = case["fault"]
        root = os.path.realpath(probe_folder.path.parent) + "/"

        def eligible(call):
            if not any(path.startswith(root) for path in call.paths):
                return False
            if call.where == "program":
                return call.name in DATA_CALLS | FLUSH_CALLS and call.path.endswith(".journal")
            # An open of the server's is aimed at by its file's name, which a rollback folder's
            # random name keeps from being foreseen.
            return (call.where, call.name) != ("server", "openat") or "*" not in shape(call, probe_folder)[1][0]

        candidates = [call for call in probe.calls if eligible(call)]
        self.assertTrue(candidates, "the clean run made no call on the case's files")
        # A call by its name first: the status queries alone outnumber the rest.
        names = sorted({call.name for call in candidates})
        named = [call for call in candidates if call.name == names[pick[0] % len(names)]]
        call = named[pick[1] % len(named)]
        action = "kill" if kind == "kill" else "error:" + errno_for(call, drawn)
        if (call.where, call.name) != ("server", "openat"):
            return call, fault_at(probe.calls, call, action)
        # The server opens files for every program it serves, in no set number: an open is counted
        # among those of its own file, which the copy of the case names alike.
        fault = fault_at(probe.calls, call, action, paths=(call.path,))
        copied = os.path.normpath(os.path.join(os.path.realpath(folder.path), shape(call, probe_folder)[1][0]))
        return call, dataclasses.replace(fault, paths=(copied,))

    def faulty_case(self, case, root, drive):
        """Lays the case twice, runs it cleanly once to list its calls, and runs it again with the
        fault drawn from them, which must strike the call it aims at. Wine's server now and then
        saves its registry by calls of its own, which the count cannot foresee: a fault they put
        off its call is run again on a fresh copy of the case, once."""
        for attempt in (1, 2):
            probe_folder, *_ = self.lay_case(case, root / f"p{attempt}", drive)
            probe = self.injector.probe(probe_folder)
            self.assertEqual(probe.result.code, 0, probe.result.stderr[-2000:])
            self.assertMessages(probe.result)
            laid = self.lay_case(case, root / f"f{attempt}", drive)
            call, fault = self.fault_from_probe(case, probe, probe_folder, laid[0])
            run = self.injector.faulty_run(laid[0], fault)
            self.assertTrue(run.fired, f"{fault} did not fire (exit {run.result.code}, killed {run.killed}); "
                                      f"the clean run made {call.text}")
            if shape(run.fired[0], laid[0]) == shape(call, probe_folder):
                self.report.add(self.report.fired, (case["fault"][0], call.where, call.name))
                return laid, probe_folder, fault, run
            self.assertEqual((attempt, call.where), (1, "server"),
                             f"{fault} struck {run.fired[0].text}, not {call.text}")
            self.report.add(self.report.outcomes, "run again: the server's own calls came first")

    def check_case(self, root, case, drive):
        kind = case["fault"][0]
        self.report.add(self.report.places, (case["volume"], case["place"]))
        fold = case_folding(case)
        if kind == "folder":
            folder, update, order, base, blocker, old, update_tree = self.lay_case(case, root / "f", drive)
        else:
            (folder, update, order, base, blocker, old, update_tree), probe_folder, fault, run = \
                self.faulty_case(case, root, drive)
        new = {path: entry for path, entry in after_update(base, update_tree, order, fold).items()
               if path != LAUNCHER_NAME}
        ties = tied_writers(update_tree, order, fold)
        old_launcher = (BIN / LAUNCHER_NAME).read_bytes()
        new_launcher = update_tree[LAUNCHER_NAME][1] if case["launcher"] else old_launcher
        expected = (new, ties, new_launcher)
        if kind == "folder":
            result = self.injector.run(folder)
        else:
            self.check_new(probe_folder, case, expected)
            result = run.result
        lines = result.lines

        if kind == "kill":
            self.assertTrue(run.killed, (result.code, result.stderr[-2000:]))
            self.assertMessages(result)
            if not folder.launcher.exists():
                self.check_windows_gap(folder, run.fired[0], old_launcher)
            self.after_kill(folder, case, case["fault"][2], update, old, update_tree, order, expected, old_launcher)
            return
        installed = not differing(self.tree(folder, case), new, ties, fold) and \
            folder.launcher.read_bytes() == new_launcher
        if result.code == 0:
            self.assertNotEqual(kind, "folder", "a folder in the way of a file did not fail the update")
            self.assertMessages(result)
            self.check_new(folder, case, expected)
        else:
            self.assertEqual(result.code, 255, result.stderr[-2000:])
            shown, = result.messages
            message = shown.text
            self.assertTrue(message.startswith("Error: "), message)
            # The message names what failed: the folder in the way, or the error the call met (as
            # far as Wine's trace shows a long text).
            named = from_eight_bit(eight_bit(folder.native(*blocker.relative_to(folder.path).parts))) if blocker \
                else ERROR_TEXTS[fault.where, fault.action.partition(":")[2]]
            self.report.add(self.report.outcomes, "message cut short by the trace" if shown.cut else
                            "message naming the failure")
            if not shown.cut:
                self.assertIn(named, message)
            # A failure after the installation completed (the Lobby's start) leaves it whole.
            if not (installed and not update.exists()):
                self.check_old(folder, case, old, update_tree, order, old_launcher, lines)
                self.assertEqual(self.snapshot(update, case), update_tree)
        if blocker:
            shutil.rmtree(blocker)
        self.clean_run(folder)
        self.check_new(folder, case, expected)
        self.check_store_emptied(folder)

    def check_windows_gap(self, folder, killed, old_launcher):
        """The one moment without a Launcher at its name: on Windows, between moving the running
        program aside and renaming the new one in, where nothing can stand in for it. The old one
        stands whole as its backup; it is put back as its name, as support would, for the runs
        after it."""
        self.assertTrue(WINDOWS, "no Launcher is left")
        self.assertTrue(killed.name.startswith("rename") and
                        os.path.realpath(killed.paths[-1]) == os.path.realpath(folder.launcher), killed.text)
        backups = list((folder.path / ROLLBACK_STORE).glob(f"*/{LAUNCHER_NAME}"))
        self.assertEqual([backup.read_bytes() for backup in backups], [old_launcher])
        shutil.copy2(backups[0], folder.launcher)
        self.report.add(self.report.outcomes, "killed where no Launcher stands (Windows)")

    def after_kill(self, folder, case, damage, update, old, update_tree, order, expected, old_launcher):
        """After a kill, a run with the update set aside leaves exactly the old installation (files
        added whole aside) or, where the installation was complete on the record, the new one; the
        update back, the next run installs it whole."""
        if damage:
            self.damage_records(folder, *damage)
        interrupted = bool(incomplete_records(folder))
        aside = folder.path.parent / (UPDATE_NAME + ".aside")
        pending = update.exists()
        if pending:
            update.rename(aside)

        result = self.clean_run(folder)

        if interrupted:
            self.check_old(folder, case, old, update_tree, order, old_launcher, result.lines)
        else:
            # Nothing was moved yet, or everything was in.
            after = self.tree(folder, case)
            fold = case_folding(case)
            if differing(after, expected[0], expected[1], fold) or folder.launcher.read_bytes() != expected[2]:
                self.assertEqual(differing(after, old, {}, fold), [], result.lines)
                self.assertEqual(folder.launcher.read_bytes(), old_launcher)
        if pending:
            aside.rename(update)
        self.clean_run(folder)
        self.check_new(folder, case, expected)
        self.check_store_emptied(folder)

    def check_store_emptied(self, folder):
        # What a run after a fault cannot delete at once (its own image, once moved aside, or
        # under Wine a file the killed run's handle still held) is deleted by the next one.
        store = folder.path / ROLLBACK_STORE
        if store.exists() and any(store.iterdir()):
            self.clean_run(folder)
            self.assertNoRollbackLeft(folder)

    def damage_records(self, folder, where, length):
        """Zeros a run of bytes of each record that is not complete, after its header, as a power
        cut leaves data that never reached the disk; what was flushed, the header and a completion,
        stays."""
        header = HEADER * (2 if WINDOWS else 1)
        for record in incomplete_records(folder):
            data = bytearray(record.read_bytes())
            if len(data) > header:
                start = header + (len(data) - header) * where // 100
                data[start:start + length] = bytes(min(length, len(data) - start))
                record.write_bytes(bytes(data))

    # Whatever the place, the trees and the fault, the faulty run leaves the old files (files the
    # update added whole aside), its update untouched and the one message naming the failure, or the
    # new files and no message; after a kill, a run with the update set aside leaves exactly the old
    # files; the runs after it install the whole update, start the Lobby and leave nothing behind.
    # Hypothesis draws the same batch again now and then (its simplest, above all): only batches not
    # seen yet run, until EXAMPLES of them have.
    @settings(max_examples=EXAMPLES if LONG else 3 * EXAMPLES + 10, deadline=None, database=None, derandomize=not LONG,
              phases=[Phase.explicit, Phase.generate] + ([Phase.shrink] if LONG else []),
              suppress_health_check=list(HealthCheck))
    @given(BATCH)
    def test_any_place_any_tree_any_single_fault(self, batch):
        if not LONG and (repr(batch) in self.report.examples or len(self.report.examples) >= EXAMPLES):
            return
        self.report.examples.add(repr(batch))
        # Short names: Wine's trace shows only the first 300 characters of a message.
        name = Path(tempfile.mkdtemp(prefix="", dir=self.root)).name
        roots = [self.volume(case["volume"]) / name / f"c{index}" for index, case in enumerate(batch)]
        try:
            with concurrent.futures.ThreadPoolExecutor(len(batch)) as pool:
                futures = [pool.submit(self.check_case, root, case, DRIVES[index])
                           for index, (root, case) in enumerate(zip(roots, batch))]
            for index, future in enumerate(futures):
                try:
                    future.result()
                except Exception as failure:
                    # Hypothesis runs a failing batch again to see it fail.
                    self.report.examples.discard(repr(batch))
                    self.report.failed = True
                    raise AssertionError(f"case {index} of the example failed: {batch[index]}") from failure
        finally:
            # The volumes are small: what shrinking a failure runs must not fill them.
            for root in roots:
                shutil.rmtree(root.parent, ignore_errors=True)

    for found in FOUND:
        test_any_place_any_tree_any_single_fault = example(batch_with(found))(test_any_place_any_tree_any_single_fault)

    def test_zz_every_example_and_volume(self):
        """Runs after the property test: it ran as many different examples as asked, and a volume
        this machine could not mount is a skip with its reason, or a failure where every volume is
        required."""
        if not LONG and not self.report.failed:
            self.assertEqual(len(self.report.examples), EXAMPLES)
        for volume, why in sorted(self.report.unmounted.items()):
            with self.subTest(volume=volume):
                if VOLUMES_REQUIRED:
                    self.fail(f"cannot mount {volume}: {why}")
                self.skipTest(f"cannot mount {volume} here: {why}")


if __name__ == "__main__":
    unittest.main()
