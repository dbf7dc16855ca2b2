"""Whatever happens during an update, the client still starts on the next run, and no file of the
previous installation is lost unless the update replaced it and the update completed."""

import concurrent.futures
import fcntl
import hashlib
import os
import random
import re
import shutil
import signal
import subprocess
import time
import unittest

from harness import (BIN, LAUNCHER_NAME, LOBBY_NAME, WINDOWS, InstallFolder, eight_bit, host_path, launcher_command,
                     mount_tmpfs, snapshot, walk_order)
from test_lock_kill import ALREADY_RUNNING, LockAndKillTestCase
from test_update import HEAD, READ_ONLY, asar, from_eight_bit
from test_update_faults import Failure, FaultTestCase, lay

WORKERS = 8
UPDATE_NAME = "update_7"

# Every kind of entry an update brings: replacing and new files, read-only on either side, nested
# and deep new folders, archives under the ".asar_tmp" rule, an empty file, an empty folder.
UPDATE = {
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
INSTALL = {
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
    UPDATE.update({"shortcut": "app.exe", "current": "version.txt"})
    INSTALL.update({"shortcut": b"old shortcut file"})


def after_update(before, update_tree):
    """The install folder once the whole update is in: every update file at its target, a file
    that replaces a file keeping the replaced one's write permission, folders made only for files."""
    expected = dict(before)
    for relative, entry in update_tree.items():
        if entry[0] == "folder":
            continue
        target = asar(relative)
        parts = target.split("/")
        for depth in range(1, len(parts)):
            expected.setdefault("/".join(parts[:depth]), ("folder",))
        old = before.get(target)
        if entry[0] == "file" and old is not None and old[0] == "file":
            entry = entry[:2] + old[2:]
        expected[target] = entry
    return expected


def without(tree, top):
    return {relative: entry for relative, entry in tree.items() if relative.split("/")[0] != top}


def rollback_named(copying):
    """The rollback folder that a "copying" line names."""
    found = re.search(rb" using as rollback (.*[\\/]zintu_rollback[\\/][0-9a-f]{8})[\\/]", copying)
    return from_eight_bit(found.group(1))


class Position:
    """An update that fails at its k-th file in walk order, seen from the install folder as it
    was before the run: the files before k that found something at their target were backed up."""

    restored = Failure.restored

    def __init__(self, folder, update, order, k, before):
        self.folder = folder
        self.update = update
        self.failing = order[k]
        self.announced = order[:k + 1]
        self.backed_up = [relative for relative in order[:k] if asar(relative) in before]


def describe(entry):
    """A tree entry in a few words, for failure messages."""
    if entry is None:
        return "nothing"
    if entry[0] == "file":
        return f"file of {len(entry[1])} bytes {hashlib.sha1(entry[1]).hexdigest()[:8]}" + \
            ("" if entry[2] else " read-only")
    return " ".join(entry)


class ResilienceTestCase(FaultTestCase):
    def setUp(self):
        super().setUp()
        self.addTypeEqualityFunc(dict, self.assertTreeEqual)

    def assertTreeEqual(self, first, second, msg=None):
        """Compares trees by the paths that differ: their contents are too large to print."""
        differing = sorted(path for path in first.keys() | second.keys() if first.get(path) != second.get(path))
        if differing:
            self.fail(self._formatMessage(msg, f"{len(differing)} paths differ:\n" + "\n".join(
                f"{path}: {describe(first.get(path))}, expected {describe(second.get(path))}"
                for path in differing[:30])))

    def failure_copy_error(self, failure):
        return self.copy_error(failure.update / failure.failing, failure.folder.path / asar(failure.failing))

    def place(self, name):
        """An install folder below a folder of its own, which is also the runs' current directory,
        and on Linux a temporary folder of its own, so that runs side by side cannot meet."""
        base = self.root / name
        folder = InstallFolder(base, "Client")
        temp = None
        if not WINDOWS:
            temp = base / "temp"
            temp.mkdir()
        return folder, temp, base

    def check_installed(self, folder, update, order, expected, result, temp, cwd, after_kill=False):
        """The run installed every file of the update, deleted its rollback and update folders and
        started the Lobby. After a killed run it may first deal with what that one left behind."""
        self.assertEqual(result.code, 0, result.stderr[-2000:])
        self.assertMessages(result)
        if after_kill:
            ending = result.lines[-(len(order) + 4):]
            rollback = rollback_named(ending[0]) if ending and ending[0].startswith(b"copying ") else ""
        else:
            rollback = self.rollback_folder(result, temp)
            ending = result.lines
        self.assertEqual(ending, ([] if after_kill else HEAD) +
                         [self.copying(folder, update, relative, rollback) for relative in order] +
                         [b"deleting rollback folder " + eight_bit(rollback)] + self.lobby_lines(folder))
        self.assertEqual(folder.tree(), expected)
        self.assertFalse(update.exists())
        if after_kill:
            self.assertFalse(os.path.lexists(host_path(rollback)), f"{rollback} was left behind")
        else:
            self.assertNoRollbackLeft(rollback, temp)
        self.assertTrue((cwd / "liveUpdateLog.log").exists())
        self.assertLobbyStartedOnce(folder)


class FailureAtEveryFile(ResilienceTestCase):
    # Whichever file of the update fails, the run puts every replaced file back, keeps only the
    # files it added before the failure, leaves the update folder as it was and no rollback
    # folder, and the next run installs the whole update and starts the Lobby.
    def test_failure_at_every_file(self):
        cases = []
        for k in range(len([entry for entry in UPDATE.values() if entry is not None])):
            folder, temp, cwd = self.place(f"fail-{k}")
            lay(folder.path, INSTALL)
            update = folder.path / UPDATE_NAME
            lay(update, UPDATE)
            cases.append((k, folder, temp, cwd, update, walk_order(update)))
        self.assertGreaterEqual(len(cases), 30)

        with concurrent.futures.ThreadPoolExecutor(WORKERS) as pool:
            futures = [(k, order[k], pool.submit(self.fail_then_install, k, folder, temp, cwd, update, order))
                       for k, folder, temp, cwd, update, order in cases]
        for k, failing, future in futures:
            with self.subTest(k=k, failing=failing):
                future.result()

    def fail_then_install(self, k, folder, temp, cwd, update, order):
        pristine = folder.tree()
        update_before = snapshot(update)
        position = Position(folder, update, order, k, pristine)
        target = folder.path / asar(position.failing)

        if os.path.lexists(target):
            with self.unreplaceable(target):
                result = self.run_update(folder, temp)
            self.check_rolled_back(position, pristine, update_before, result, temp, cwd)
        else:
            blocker = self.block(folder, target, order[:k])
            before = folder.tree()
            result = self.run_update(folder, temp)
            self.check_rolled_back(position, before, update_before, result, temp, cwd)
            if blocker.is_dir():
                blocker.rmdir()
            else:
                blocker.unlink()

        result = self.run_update(folder, temp)
        self.check_installed(folder, update, order, after_update(without(pristine, UPDATE_NAME), update_before),
                             result, temp, cwd)

    def block(self, folder, target, earlier):
        """Puts something where the new file at target cannot go: a folder at target when its
        parent stands by then, else a file where its parent folder has to be made."""
        made = {folder.path} | {(folder.path / asar(relative)).parent for relative in earlier}
        made |= {parent for path in set(made) for parent in path.parents}
        if target.parent.is_dir() or target.parent in made:
            target.mkdir(parents=True)
            return target
        target.parent.parent.mkdir(parents=True, exist_ok=True)
        target.parent.write_bytes(b"a file where the update needs a folder")
        return target.parent


class BrakedRun:
    """A launcher run whose diagnostic lines go through a pipe of one page: it cannot get more
    than about a page of lines ahead of the test reading them, so the test decides how far it
    gets before it is stopped."""

    def __init__(self, folder, extra_env, cwd):
        command, env = launcher_command(folder.launcher, [])
        env.update(extra_env)
        read, write = os.pipe()
        fcntl.fcntl(write, fcntl.F_SETPIPE_SZ, 4096)
        try:
            self.process = subprocess.Popen(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL, stdout=write,
                                            stderr=subprocess.DEVNULL)
        finally:
            os.close(write)
        self.output = os.fdopen(read, "rb", buffering=0)
        self.lines = []

    def read_until(self, prefix, count):
        """Reads lines until `count` of them start with prefix; False if the run ended before."""
        seen = sum(line.startswith(prefix) for line in self.lines)
        while seen < count:
            line = self.output.readline()
            if not line:
                return False
            self.lines.append(line.rstrip(b"\r\n"))
            seen += line.startswith(prefix)
        return True

    def kill(self):
        """Kills the launcher and returns its exit status; reads the rest of its lines."""
        self.process.send_signal(signal.SIGKILL)
        code = self.process.wait()
        self.lines += [line.rstrip(b"\r") for line in self.output.read().split(b"\n")[:-1]]
        self.output.close()
        return code

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.output.close()


class KilledLauncher(ResilienceTestCase):
    """Kill points come from fresh seeds on every run; E2E_KILL_SEEDS=1,2 replays chosen ones."""

    SEEDS = 4
    FILES = 2000

    def kill_during_installation(self, folder, temp, cwd, files, delay=0.0):
        """Runs the launcher and kills it `delay` seconds after it has announced `files` files;
        checks that it was still installing then."""
        run = BrakedRun(folder, self.environment(temp), cwd)
        self.addCleanup(run.stop)
        self.assertTrue(run.read_until(b"copying ", files), run.lines)
        time.sleep(delay)
        self.assertEqual(run.kill(), -signal.SIGKILL)
        self.assertFalse(any(line.startswith(b"deleting rollback folder") for line in run.lines),
                         "the launcher finished the installation before it was killed")
        # Wine's rollback folders are outside the test's root, and a killed run's may outlive it.
        first = next(line for line in run.lines if line.startswith(b"copying "))
        self.addCleanup(shutil.rmtree, host_path(rollback_named(first)), ignore_errors=True)

    # A Launcher killed at a random moment of the installation loses none of the files the update
    # does not replace, and the next run installs the whole update and starts the Lobby.
    def test_killed_during_installation(self):
        seeds = [int(seed) for seed in os.environ.get("E2E_KILL_SEEDS", "").split(",") if seed]
        seeds = seeds or [random.SystemRandom().randrange(1 << 32) for _ in range(self.SEEDS)]
        with concurrent.futures.ThreadPoolExecutor(len(seeds)) as pool:
            futures = [(seed, pool.submit(self.kill_then_install, seed)) for seed in seeds]
        for seed, future in futures:
            with self.subTest(seed=seed, replay=f"E2E_KILL_SEEDS={seed}"):
                future.result()

    def kill_then_install(self, seed):
        rng = random.Random(seed)
        folder, temp, cwd = self.place(f"seed-{seed}")
        update = folder.path / UPDATE_NAME
        big = set(rng.sample(range(self.FILES), 8))
        for i in range(self.FILES):
            relative = f"d{i % 7}/e{i % 5}/f{i % 3}/file{i}" + (".asar_tmp" if i % 50 == 0 else ".dat")
            size = (4 << 20) if i in big else rng.randrange(0, 8000)
            # A killed run leaves the replaced file's write permission only in its rollback folder,
            # which no later run reads: here a file and the file it replaces have the same one.
            read_only = rng.random() < 0.1
            lay(update, {relative: (rng.randbytes(size), READ_ONLY) if read_only else rng.randbytes(size)})
            if rng.random() < 0.5:
                old = rng.randbytes(rng.randrange(0, 8000))
                lay(folder.path, {asar(relative): (old, READ_ONLY) if read_only else old})
        for i in range(200):
            lay(folder.path, {f"d{i % 7}/kept{i}.bin": rng.randbytes(rng.randrange(0, 4000))})
        pristine = without(folder.tree(), UPDATE_NAME)
        update_tree = snapshot(update)
        targets = {asar(relative) for relative in update_tree}
        kept = {relative: entry for relative, entry in pristine.items() if relative not in targets}
        order = walk_order(update)

        self.kill_during_installation(folder, temp, cwd, rng.randrange(1, self.FILES - 100), rng.uniform(0, 0.005))

        after_kill = folder.tree()
        self.assertEqual({relative: after_kill.get(relative) for relative in kept}, kept)
        self.assertEqual(snapshot(update), update_tree)
        result = self.run_update(folder, temp)
        self.check_installed(folder, update, order, after_update(pristine, update_tree), result, temp, cwd,
                             after_kill=True)

    # A Launcher killed during the installation, followed by a run whose installation fails, leaves
    # every file of the previous installation as it was; the run after them installs the update.
    # Known gap: a killed run's backups stay in its own rollback folder, which no later run recovers,
    # so the failed run can only restore what the killed run left behind.
    @unittest.expectedFailure
    def test_killed_then_failed(self):
        folder, temp, cwd = self.place("killed-then-failed")
        update = folder.path / UPDATE_NAME
        for i in range(400):
            lay(update, {f"pack{i % 4}/file{i}.dat": f"new {i} ".encode() * 40})
            if i % 3:
                lay(folder.path, {f"pack{i % 4}/file{i}.dat": f"old {i}".encode()})
        order = walk_order(update)
        if not (folder.path / order[-1]).exists():
            lay(folder.path, {order[-1]: b"old last"})
        pristine = without(folder.tree(), UPDATE_NAME)
        update_tree = snapshot(update)

        self.kill_during_installation(folder, temp, cwd, 100)
        with self.unreplaceable(folder.path / order[-1]):
            failed = self.run_update(folder, temp)

        self.assertNothingStarted(folder, failed, cwd)
        message, = self.boxes(failed, 1)
        self.assertCopyError(message, self.copy_error(update / order[-1], folder.path / order[-1]))
        after = folder.tree()
        self.assertEqual({relative: after.get(relative) for relative in pristine}, pristine,
                         "files of the previous installation are gone, yet the update never completed")
        self.assertEqual(snapshot(update), update_tree)
        result = self.run_update(folder, temp)
        self.check_installed(folder, update, order, after_update(pristine, update_tree), result, temp, cwd,
                             after_kill=True)


class FullDisk(ResilienceTestCase):
    # An update that does not fit on the install folder's volume is rolled back with every earlier
    # file intact and no partial file left, the user is told the disk is full, the update waits,
    # and once the volume has room the next run installs it and starts the Lobby.
    def test_update_larger_than_the_free_space(self):
        volume = self.root / "small"
        existing = {"app.exe": os.urandom(200 << 10), "readme.txt": (b"old readme", READ_ONLY),
                    "resources/app.asar": os.urandom(300 << 10), "data/keep.bin": os.urandom(100 << 10)}
        new = {"media/intro.mp4": os.urandom(240 << 10), "media/music.ogg": os.urandom(240 << 10),
               "data/levels.pak": os.urandom(240 << 10)}
        update = {"app.exe": os.urandom(200 << 10), "readme.txt": b"new readme",
                  "resources/app.asar_tmp": os.urandom(300 << 10), **new}
        # Room for the programs, the installation and the update, and for half the new files only:
        # replaced files make room for their replacements by moving to the temporary folder.
        sizes = [path.stat().st_size for path in [BIN / LAUNCHER_NAME, BIN / LOBBY_NAME]]
        sizes += [len(entry if isinstance(entry, bytes) else entry[0]) for entry in existing.values()]
        sizes += [len(data) for data in update.values()]
        kib = ((sum(sizes) + sum(len(data) for data in new.values()) // 2) >> 10) + 64
        if not mount_tmpfs(self, volume, size=f"{kib}k"):
            self.skipTest("cannot mount a small tmpfs here")
        folder = InstallFolder(volume, "Client")
        lay(folder.path, existing)
        lay(folder.path / UPDATE_NAME, update)
        update_folder = folder.path / UPDATE_NAME
        order = walk_order(update_folder)
        pristine = folder.tree()
        update_before = snapshot(update_folder)

        result = self.run_update(folder)

        copied = [line for line in result.lines if line.startswith(b"copying ")]
        self.assertTrue(copied, result.lines)
        position = Position(folder, update_folder, order, len(copied) - 1, pristine)
        message = result.message_texts[-1] if result.messages else ""
        self.assertRegex(message, "No space left on device" if not WINDOWS else
                         "Disk full|There is not enough space on the disk")
        # The failing file's folders were made before its copy ran out of space.
        parts = asar(position.failing).split("/")
        made = {"/".join(parts[:depth]): ("folder",) for depth in range(1, len(parts))}
        self.check_rolled_back(position, {**pristine, **made}, update_before, result, cwd=volume)

        subprocess.run(["mount", "-o", f"remount,size={kib + 2048}k", str(volume)], check=True)
        result = self.run_update(folder)
        self.check_installed(folder, update_folder, order, after_update(without(pristine, UPDATE_NAME),
                                                                         update_before),
                             result, None, volume)


class ManyLaunchers(ResilienceTestCase, LockAndKillTestCase):
    LAUNCHERS = 20

    # Of twenty Launchers started together on a folder with a pending update, exactly one installs
    # it whole and starts the Lobby once; each other one is refused before touching anything.
    def test_launchers_started_together_on_an_update(self):
        folder = self.install("Client")
        lay(folder.path, INSTALL)
        update = folder.path / UPDATE_NAME
        lay(update, UPDATE)
        for i in range(300):
            lay(update, {f"bulk/{i % 9}/file{i}.dat": os.urandom(i * 97)})
            if i % 2:
                lay(folder.path, {f"bulk/{i % 9}/file{i}.dat": b"old bulk"})
        order = walk_order(update)
        expected = after_update(without(folder.tree(), UPDATE_NAME), snapshot(update))

        runs = [self.begin(folder, extra_env=self.environment()) for _ in range(self.LAUNCHERS)]
        results = [run.finish() for run in runs]

        self.assertEqual(sorted(result.code for result in results), [0] + [255] * (self.LAUNCHERS - 1))
        winner, = [result for result in results if result.code == 0]
        for loser in (result for result in results if result.code != 0):
            self.assertDidNothing(loser, ALREADY_RUNNING)
        self.check_installed(folder, update, order, expected, winner, None, self.root)
        self.assertEqual(len(folder.lobby_starts()), 1)


if __name__ == "__main__":
    unittest.main()
