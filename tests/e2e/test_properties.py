"""Any update tree, any single fault: a run leaves exactly the previous installation (files the
update added whole aside) or exactly the new one, and says which; the next run installs the update
whole and leaves nothing behind but the empty rollback store.

Hypothesis generates install trees, updates and one fault each. E2E_PROPERTY_EXAMPLES sets how many
examples run (each is a few cases run side by side); CI runs a fixed, derandomized budget, and
scripts/properties.sh runs a longer, random one."""

import concurrent.futures
import os
import re
import shutil
import tempfile
import unittest
from pathlib import Path

from hypothesis import HealthCheck, Phase, example, given, settings
from hypothesis import strategies as st

from harness import LAUNCHER_NAME, ROLLBACK_STORE, WINDOWS, InstallFolder, snapshot, walk_order
from test_resilience import BrakedRun, without
from test_update import UpdateTestCase, asar
from test_update_faults import lay

UPDATE_NAME = "update_7"
LONG = os.environ.get("E2E_PROPERTY_LONG") == "1"
EXAMPLES = int(os.environ.get("E2E_PROPERTY_EXAMPLES", "3" if WINDOWS else "40"))
SANITIZED = os.environ.get("E2E_SANITIZED") == "1"

# Folder names never differ from each other in letter case; file names do, on purpose.
FOLDERS = ["", "bin", "data", "res", "res/img", "deep/er/est"]
NAMES = ["a.txt", "b.dll", "app.asar", "app.asar_tmp", "x.asar", "x.asar_tmp", "y.ASAR_TMP", "n.asar_tmp.bak",
         "e.bin", "File.bin", "FILE.bin", "file.bin"]
PATHS = [f"{folder}/{name}" if folder else name for folder in FOLDERS for name in NAMES]
# Top-level entries of an update that the Launcher keeps for itself and skips.
OWN_NAMES = ["zintu_rollback/0badc0de/a.txt", "update_3/a.txt", "old_update_2/b.dll", "launcher.lock"] + \
    (["Update_4/c.txt", "ZINTU_ROLLBACK/d.txt"] if WINDOWS else [])
OWN_NAME = re.compile(r"(zintu_rollback|(old_)?update_\d+)(/|$)|launcher\.lock$", re.IGNORECASE if WINDOWS else 0)
READ_ONLY, EXECUTABLE, PLAIN = 0o444, 0o755, 0o644

# The system calls a fault strikes (Linux): the k-th call of one name fails as errsim would make it
# fail, or the Launcher is killed there. The sanitizers' runtime opens and writes files of its own.
CALLS = ["rename", "link", "unlinkat", "mkdir", "rmdir", "fsync", "syncfs", "symlink", "fchmod", "chmod",
         "copy_file_range", "statx", "ftruncate"] + ([] if SANITIZED else ["openat", "write", "getdents64"])
SKIP_SETTLE_WAIT = ["-e", "inject=clock_nanosleep:retval=0:when=1"]


def fold(relative):
    """A path as the file system tells it from others: Windows ignores letter case."""
    return relative.upper() if WINDOWS else relative


def skipped(relative):
    return bool(OWN_NAME.match(relative))


def errno_for(call):
    return "ENOSPC" if call in ("write", "copy_file_range", "ftruncate") else \
        "EIO" if call in ("fsync", "syncfs") else "EACCES"


def entries(prefix):
    """A file (content, mode) or, on Linux, a symbolic link (its text, which leads to nothing the
    trees hold, so that no walk meets a loop)."""
    files = st.tuples(st.binary(max_size=24).map(lambda data: prefix + data),
                      st.sampled_from([PLAIN, PLAIN, READ_ONLY, EXECUTABLE]))
    files = files | st.just((b"", PLAIN))
    if WINDOWS:
        return files
    return st.one_of(files, files, files, st.sampled_from(["missing", "./nowhere.dat", "../elsewhere/x"]))


def unique_by_fold(paths):
    return list({fold(path): path for path in paths}.values())


def faults(kind):
    """One fault of the kind: a folder where the update has a file (chosen by its place in the
    walk); on Linux a system call that fails, or a kill at one; under Wine a kill after some files.
    A kill may leave the record damaged as a power cut leaves it."""
    damage = st.none() | st.tuples(st.integers(0, 99), st.integers(1, 64))
    if kind == "folder":
        return st.tuples(st.just("folder"), st.integers(0, 3) | st.integers(0, 200))
    if kind == "error":
        return st.tuples(st.just("error"), st.sampled_from(CALLS), st.integers(1, 30))
    if kind == "kill" and WINDOWS:
        return st.tuples(st.just("kill"), st.integers(1, 40), damage)
    if kind == "kill":
        return st.tuples(st.just("kill"), st.sampled_from(CALLS), st.integers(1, 30), damage)
    return st.just(("none",))


def tree(paths, prefix):
    return paths.flatmap(lambda paths: st.tuples(*[entries(prefix) for _ in paths]).map(
        lambda values: dict(zip(paths, values))))


TWICE = {"asar": ("app.asar", "app.asar", "app.asar_tmp"), "case": ("File.bin", "FILE.bin", "file.bin")}


def with_one_target_twice(case, twice):
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


def cases(kind):
    return st.fixed_dictionaries({
        "install": tree(st.lists(st.sampled_from(PATHS), max_size=10).map(unique_by_fold), b"old "),
        "update": tree(st.lists(st.sampled_from(PATHS), min_size=1, max_size=12, unique=True), b"new "),
        "twice": st.none() | st.tuples(st.sampled_from(FOLDERS), st.sampled_from(["asar", "case"] if WINDOWS else ["asar"])),
        "own": st.lists(st.sampled_from(OWN_NAMES), max_size=2, unique=True),
        "launcher": st.booleans(),
        "bulk": st.sampled_from([0, 0, 0, 150]),
        "fault": faults(kind),
    }).map(lambda case: with_one_target_twice(case, case.pop("twice")))


# Each example runs one case of every kind of fault side by side.
KINDS = ["none", "folder", "kill", "kill"] * 2 if WINDOWS else ["none", "folder", "error", "kill"]
BATCH = st.tuples(*[cases(kind) for kind in KINDS])

# Cases found before, each as one case of a batch whose other cases are the least of their kind.
LEAST = {"none": ("none",), "folder": ("folder", 0), "error": ("error", "rename", 1),
         "kill": ("kill", 1, None) if WINDOWS else ("kill", "rename", 1, None)}
FOUND = [
    # The original archive, the target of both of its names, lost to a kill before either.
    {"install": {"app.asar": (b"old original", READ_ONLY)}, "update": {
        "a.txt": (b"new ", PLAIN), "app.asar": (b"new app.asar", PLAIN), "app.asar_tmp": (b"new app.asar_tmp", PLAIN)},
     "own": [], "launcher": False, "bulk": 0, "fault": LEAST["kill"]},
]

def batch_with(found):
    least = {"install": {}, "update": {"a.txt": (b"new ", PLAIN)}, "own": [], "launcher": False, "bulk": 0}
    batch = [{**least, "fault": LEAST[kind]} for kind in KINDS]
    batch[KINDS.index(found["fault"][0])] = found
    return tuple(batch)


def expected_new(old, update, order):
    """The install folder once the whole update is in: each target written by the update's files
    in walk order, the last one winning, with the permissions of what stood there before the first;
    the skipped names left out."""
    result = dict(old)
    originals = {}
    for relative in order:
        if skipped(relative):
            continue
        target = asar(relative)
        key = fold(target)
        standing = [path for path in result if fold(path) == key]
        originals.setdefault(key, old.get(standing[0]) if standing else None)
        for path in standing:
            del result[path]
        entry, original = update[relative], originals[key]
        if entry[0] == "file" and original and original[0] == "file":
            entry = entry[:2] + original[2:]
        result[target] = entry
        parts = target.split("/")
        for depth in range(1, len(parts)):
            if not any(fold(path) == fold("/".join(parts[:depth])) for path in result):
                result["/".join(parts[:depth])] = ("folder",)
    return result


def writers(update, order):
    """The update's files that write each target, in walk order, by the target's folded path."""
    result = {}
    for relative in order:
        if not skipped(relative):
            result.setdefault(fold(asar(relative)), []).append(relative)
    return result


def tied_writers(update, order):
    """Targets that update files write under names equal but for letter case: Wine lists such
    names in no set order, so any of them may be the last writer. Each with what its writers bring."""
    return {target: [update[relative] for relative in relatives] for target, relatives in writers(update, order).items()
            if len({fold(relative) for relative in relatives}) < len(relatives)}


def folded(tree):
    return {fold(path): entry for path, entry in tree.items()}


def differing(final, new, ties):
    """The paths where `final` is not the new installation; a target with tied writers may hold
    what any of them brought."""
    final, new = folded(final), folded(new)

    def acceptable(path):
        if final.get(path) == new.get(path):
            return True
        candidates = [entry[:2] + new[path][2:] for entry in ties.get(path, []) if path in new] + ties.get(path, [])
        return final.get(path) in candidates

    return sorted(path for path in final.keys() | new.keys() if not acceptable(path))


def old_with_added(final, old, update, order):
    """Differences of `final` from the previous installation `old` that are not files (or links)
    the update added whole where nothing stood, or folders made for them; empty when none."""
    final, old = folded(final), folded(old)
    written = writers(update, order)
    wrong = [path for path, entry in old.items() if final.get(path) != entry]
    return wrong + [path for path, entry in final.items() if path not in old and entry[0] != "folder" and
                    entry not in [update[relative] for relative in written.get(path, [])]]


class Properties(UpdateTestCase):
    def strace(self, *options):
        return ["strace", "-qq", "-o", "/dev/null", *SKIP_SETTLE_WAIT, *options]

    def normal_run(self, folder):
        if WINDOWS:
            return folder.run()
        return folder.run(prefix=self.strace(), extra_env={"ASAN_OPTIONS": "detect_leaks=0"})

    def lay_case(self, root, case):
        """The install folder and its update, and the tree the update is installed over; with the
        fault "folder", a folder (returned) where the update has a file, and what stood there gone."""
        folder = InstallFolder(root, "Client")
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
        order = walk_order(update)
        blocker = None
        if case["fault"][0] == "folder":
            installable = [relative for relative in order if not skipped(relative) and relative != LAUNCHER_NAME]
            blocker = folder.path / asar(installable[case["fault"][1] % len(installable)])
            if blocker.parent.exists():
                for standing in blocker.parent.iterdir():
                    if fold(standing.name) == fold(blocker.name):
                        standing.unlink()
        base = without(folder.tree(), UPDATE_NAME)
        if blocker:
            lay(blocker, {"blocker.txt": b"a folder where the update has a file"})
        return folder, update, order, base, blocker

    def faulty_run(self, folder, fault):
        """Runs the Launcher with the fault; None when it was killed."""
        if fault[0] == "error":
            _, call, when = fault
            return folder.run(prefix=self.strace("-e", f"inject={call}:error={errno_for(call)}:when={when}"),
                              extra_env={"ASAN_OPTIONS": "detect_leaks=0"})
        if fault[0] != "kill":
            return self.normal_run(folder)
        if WINDOWS:
            run = BrakedRun(folder, folder.path.parent)
            try:
                if not run.read_until(b"copying ", fault[1]):
                    return run.finish()
                # Not read to its end: a kill as the Lobby starts can leave Wine holding the pipe.
                run.process.kill()
                run.process.wait()
            finally:
                run.stop()
        else:
            _, call, when, _ = fault
            result = folder.run(prefix=self.strace("-e", f"inject={call}:signal=KILL:when={when}"),
                                extra_env={"ASAN_OPTIONS": "detect_leaks=0"})
            if result.code == 0 or result.messages:
                return result
        damage = fault[-1]
        if damage:
            self.damage_records(folder, *damage)
        return None

    def damage_records(self, folder, where, length):
        """Zeros a run of bytes of each record after its header, as a power cut leaves data that
        never reached the disk."""
        header = len("zzintu installation journal 2") + 1
        header *= 2 if WINDOWS else 1
        for record in (folder.path / ROLLBACK_STORE).glob("*.journal"):
            data = bytearray(record.read_bytes())
            if len(data) > header:
                start = header + (len(data) - header) * where // 100
                data[start:start + length] = bytes(min(length, len(data) - start))
                record.write_bytes(bytes(data))

    def check_case(self, root, case):
        folder, update, order, base, blocker = self.lay_case(root, case)
        old = without(folder.tree(), UPDATE_NAME)
        update_tree = snapshot(update)
        # The Launcher's own file is compared on its own.
        new = without(expected_new(base, update_tree, order), LAUNCHER_NAME)
        ties = tied_writers(update_tree, order)
        old_launcher = folder.launcher.read_bytes()
        new_launcher = update_tree[LAUNCHER_NAME][1] if case["launcher"] else old_launcher

        result = self.faulty_run(folder, case["fault"])

        if result is not None:
            # What is left of the retired update is the next run's to delete.
            after = {path: entry for path, entry in without(folder.tree(), UPDATE_NAME).items()
                     if not path.startswith("old_" + UPDATE_NAME)}
            installed = not differing(after, new, ties) and folder.launcher.read_bytes() == new_launcher
            if result.code == 0:
                self.assertNotEqual(case["fault"][0], "folder", "a folder in the way of a file did not fail the update")
                self.assertMessages(result)
                self.assertEqual(differing(after, new, ties), [])
                self.assertEqual(folder.launcher.read_bytes(), new_launcher)
            else:
                self.assertEqual(result.code, 255, result.stderr[-2000:])
                self.assertEqual(len(result.messages), 1, result.message_texts)
                self.assertTrue(result.message_texts[0].startswith("Error: "), result.message_texts)
                # A failure after the installation completed (the Lobby's start) leaves it whole.
                if not (installed and not update.exists()):
                    self.assertEqual(old_with_added(after, old, update_tree, order), [], result.lines)
                    self.assertEqual(folder.launcher.read_bytes(), old_launcher)
                    self.assertEqual(snapshot(update), update_tree)
        if blocker:
            shutil.rmtree(blocker)
        starts = len(folder.lobby_starts())

        again = self.normal_run(folder)

        self.assertEqual(again.code, 0, again.stderr[-2000:])
        self.assertMessages(again)
        self.assertEqual(differing(folder.tree(), new, ties), [])
        self.assertEqual(folder.launcher.read_bytes(), new_launcher)
        folder.wait_lobby_starts(starts + 1)
        # What a run after a fault cannot delete at once (its own image, once moved aside, or
        # under Wine a file the killed run's handle still held) is deleted by the next one.
        store = folder.path / ROLLBACK_STORE
        if store.exists() and any(store.iterdir()):
            self.assertEqual(self.normal_run(folder).code, 0)
            self.assertNoRollbackLeft(folder)

    # Whatever the trees and the fault, the faulty run leaves the old files (files the update
    # added whole aside), its update untouched and the one error message, or the new files and
    # no message; the run after it installs the whole update, starts the Lobby and leaves nothing
    # behind.
    @settings(max_examples=EXAMPLES, deadline=None, database=None, derandomize=not LONG,
              phases=[Phase.explicit, Phase.generate] + ([Phase.shrink] if LONG else []),
              suppress_health_check=list(HealthCheck))
    @given(BATCH)
    def test_any_tree_any_single_fault(self, batch):
        base = Path(tempfile.mkdtemp(dir=self.root))
        with concurrent.futures.ThreadPoolExecutor(len(batch)) as pool:
            futures = [pool.submit(self.check_case, base / f"case-{index}", case) for index, case in enumerate(batch)]
        for index, future in enumerate(futures):
            try:
                future.result()
            except Exception as failure:
                raise AssertionError(f"case {index} of the example failed") from failure
        shutil.rmtree(base, ignore_errors=True)

    for found in FOUND:
        test_any_tree_any_single_fault = example(batch_with(found))(test_any_tree_any_single_fault)


if __name__ == "__main__":
    unittest.main()
