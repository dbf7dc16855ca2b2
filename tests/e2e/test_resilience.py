"""Whatever happens during an update, the client still starts on the next run, and no file of the
previous installation is lost unless the update replaced it and the update completed."""

import concurrent.futures
import fcntl
import os
import random
import signal
import subprocess
import tempfile
import time
import unittest

from cases import LockAndKillTestCase
from fault_cases import FaultTestCase, Position
from faults import DATA, FILES, LINK
from harness import (ALREADY_RUNNING, HEAD, LAUNCHER_NAME, PASS_LINE, READ_ONLY, REINSTALL, RESTART_LINE,
                     ROLLBACK_STORE, UPDATE_NAME, WINDOWS, eight_bit, mount_tmpfs, native)
from results import flushes_and_writes, read_result, rollback_named
from runs import launcher_command
from syscalls import Fault, fault_at
from trees import (EVERY_KIND_INSTALL, EVERY_KIND_UPDATE, after_update, asar, lay, lay_until_walk_suits, snapshot,
                   walk_order, without)


def relay(base, relative):
    """Writes a file again under a new entry, with its bytes and mode: a file system that lists the
    newest entry first (tmpfs) then lists it first."""
    path = base / relative
    data, mode = path.read_bytes(), path.stat().st_mode
    path.unlink()
    path.write_bytes(data)
    path.chmod(mode)


def record_bytes(entries):
    """An installation record as the Launcher writes it: each entry a tag and a path, with the
    system's separators, ended by a zero, in the system's path units."""
    text = "".join(tag + path.replace("/", "\\" if WINDOWS else "/") + "\0" for tag, path in entries)
    return text.encode("utf-16-le" if WINDOWS else "utf-8")


class PowerCut(FaultTestCase):
    INSTALL = {"app.exe": b"old program", "readme.txt": (b"old readme", READ_ONLY), "data/level.dat": b"old level",
               "keep.txt": b"not in the update"}
    UPDATE = {"app.exe": b"new program", "readme.txt": b"new readme", "data/level.dat": b"new level",
              "data/extra.dat": b"new extra"}
    HEADER = ("z", "zintu installation journal 1")
    BACKED_UP = ["app.exe", "readme.txt", "data/level.dat"]

    # What a power cut in the middle of an installation leaves: backups moved aside, the update's
    # files in their place (one zero-filled, its data lost), and a record whose tail came back as
    # zeros, whose header did, or that never named a backup that reached the disk. The next run
    # puts back every backup that stands, recorded or not, installs the update and starts the Lobby.
    def test_record_damaged_by_a_power_cut(self):
        full = record_bytes([self.HEADER] + [("b", relative) for relative in self.BACKED_UP])
        records = {
            "zero tail": full + bytes(48),
            "zero header": bytes(len(record_bytes([self.HEADER]))) + full[len(record_bytes([self.HEADER])):],
            "unnamed backups": record_bytes([self.HEADER, ("b", "app.exe")]),
        }
        cases = []
        for case, record in records.items():
            folder, cwd = self.place(case.replace(" ", "-"))
            lay(folder.path, self.INSTALL)
            update = folder.path / UPDATE_NAME
            lay(update, self.UPDATE)
            pristine = without(folder.tree(), UPDATE_NAME)
            update_tree = snapshot(update)
            order = walk_order(update)
            rollback = folder.path / "zintu_rollback" / "0badc0de"
            for relative in self.BACKED_UP:
                (rollback / relative).parent.mkdir(parents=True, exist_ok=True)
                os.rename(folder.path / relative, rollback / relative)
            lay(folder.path, {"app.exe": b"new program", "readme.txt": bytes(len(b"new readme"))})
            (rollback.parent / "0badc0de.journal").write_bytes(record)
            cases.append((case, folder, cwd, update, order, after_update(pristine, update_tree, order), rollback,
                          folder.begin(cwd=cwd)))

        for case, folder, cwd, update, order, expected, rollback, run in cases:
            with self.subTest(case=case):
                recovery = self.check_installed(folder, update, order, expected, run.finish(), cwd, after_kill=True)
                self.assertEqual(sorted(recovery), sorted(
                    [self.rollbacking(folder, relative, native(rollback)) for relative in self.BACKED_UP] +
                    [b"deleting rollback folder " + eight_bit(native(rollback))]))
                folder.wait_lobby_starts()


class BrakedRun:
    """A launcher run whose diagnostic lines go through a pipe of one page: it cannot get more
    than a few pages of lines ahead of the test reading them (the page, and what it gathers before
    a write), so the test decides how far it gets before it is stopped."""

    def __init__(self, folder, cwd):
        command, env = launcher_command(folder.launcher, [])
        read, write = os.pipe()
        fcntl.fcntl(write, fcntl.F_SETPIPE_SZ, 4096)
        self.errors = tempfile.TemporaryFile()
        try:
            self.process = subprocess.Popen(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL, stdout=write,
                                            stderr=self.errors)
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

    def finish(self, timeout=120):
        """Reads the rest of the lines, waits for the launcher to end and returns what happened."""
        rest = self.output.read()
        code = self.process.wait(timeout)
        self.errors.seek(0)
        return read_result(code, b"".join(line + b"\n" for line in self.lines) + rest, self.errors.read())

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.output.close()
        self.errors.close()


class KilledLauncher(FaultTestCase):
    """Kill points come from fresh seeds on every run; E2E_KILL_SEEDS=1,2 replays chosen ones."""

    SEEDS = 4
    FILES = 2000

    def kill_run(self, folder, cwd, prefix, count, delay=0.0):
        """Runs the launcher and kills it `delay` seconds after it has written `count` lines that
        begin with prefix; returns the lines it wrote."""
        run = BrakedRun(folder, cwd)
        self.addCleanup(run.stop)
        self.assertTrue(run.read_until(prefix, count), run.lines)
        time.sleep(delay)
        self.assertEqual(run.kill(), -signal.SIGKILL)
        return run.lines

    def kill_during_installation(self, folder, cwd, files, delay=0.0):
        """Kills the launcher `delay` seconds after it has announced `files` files, while it still
        installs; returns its rollback folder."""
        lines = self.kill_run(folder, cwd, b"copying ", files, delay)
        self.assertFalse(any(line.startswith(b"deleting rollback folder") for line in lines),
                         "the launcher finished the installation before it was killed")
        return rollback_named(next(line for line in lines if line.startswith(b"copying ")))

    # A Launcher killed at a random moment of its installation, of the clean-up after it, or of
    # the next run's undoing of it, loses no file: the next whole run moves every backup back
    # (never those of an installation that had completed), installs the whole update with each
    # replaced file's own write permission, leaves no backup anywhere and starts the Lobby.
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
        folder, cwd = self.place(f"seed-{seed}")
        update = folder.path / UPDATE_NAME
        big = set(rng.sample(range(self.FILES), 8))
        for i in range(self.FILES):
            relative = f"d{i % 7}/e{i % 5}/f{i % 3}/file{i}" + (".asar_tmp" if i % 50 == 0 else ".dat")
            size = (4 << 20) if i in big else rng.randrange(0, 8000)
            data = rng.randbytes(size)
            lay(update, {relative: (data, READ_ONLY) if rng.random() < 0.1 else data})
            if rng.random() < 0.5:
                old = rng.randbytes(rng.randrange(0, 8000))
                lay(folder.path, {asar(relative): (old, READ_ONLY) if rng.random() < 0.1 else old})
        for i in range(200):
            lay(folder.path, {f"d{i % 7}/kept{i}.bin": rng.randbytes(rng.randrange(0, 4000))})
        pristine = without(folder.tree(), UPDATE_NAME)
        update_tree = snapshot(update)
        expected = after_update(pristine, update_tree, walk_order(update))
        targets = {asar(relative) for relative in update_tree}
        kept = {relative: entry for relative, entry in pristine.items() if relative not in targets}
        phase = rng.choice(["installing", "clean-up", "undoing"])

        if phase == "clean-up":
            # Its last steps take mere milliseconds on a fast file system: it may have started the
            # Lobby, or ended well, by the kill; it runs elsewhere, so its Lobby is told apart.
            elsewhere = cwd / "killed"
            elsewhere.mkdir()
            run = BrakedRun(folder, elsewhere)
            self.addCleanup(run.stop)
            self.assertTrue(run.read_until(b"deleting rollback folder ", 1), run.lines)
            time.sleep(rng.uniform(0, 0.01))
            self.assertIn(run.kill(), (-signal.SIGKILL, 0))
            lines = run.lines
            killed = rollback_named(next(line for line in lines if line.startswith(b"copying ")))
        else:
            killed = self.kill_during_installation(folder, cwd, rng.randrange(self.FILES // 4, self.FILES - 100),
                                                   rng.uniform(0, 0.005))
            after_kill = folder.tree()
            self.assertEqual({relative: after_kill.get(relative) for relative in kept}, kept)
            self.assertEqual(snapshot(update), update_tree)
        if phase == "undoing":
            self.kill_run(folder, cwd, b"rollbacking ", rng.randrange(1, 20), rng.uniform(0, 0.005))

        order = walk_order(update) if update.exists() else None
        result = self.run_update(folder)
        recovery = self.check_installed(folder, update, order, expected, result, cwd, after_kill=True)
        for line in recovery:
            self.assertIn(b" " + eight_bit(killed), line)
        if phase == "clean-up":
            self.assertFalse([line for line in recovery if line.startswith(b"rollbacking ")],
                             "a completed installation was rolled back")
        else:
            self.assertEqual(recovery[-1], b"deleting rollback folder " + eight_bit(killed))
        self.assertEqual(len(folder.wait_lobby_starts(cwd=cwd)), 1)

    # A Launcher killed during the installation, followed by a run whose installation fails, leaves
    # every file of the previous installation as it was; the run after them installs the update.
    def test_killed_then_failed(self):
        folder, cwd = self.place("killed-then-failed")
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

        self.kill_during_installation(folder, cwd, 100)
        with self.unreplaceable(folder.path / order[-1]):
            failed = self.run_update(folder)

        self.assertNothingStarted(folder, failed, cwd)
        message, = self.boxes(failed, 1)
        self.assertCopyError(message, self.copy_error(update / order[-1], folder.path / order[-1]))
        after = folder.tree()
        self.assertEqual({relative: after.get(relative) for relative in pristine}, pristine,
                         "files of the previous installation are gone, yet the update never completed")
        self.assertEqual(snapshot(update), update_tree)
        self.assertNoRollbackLeft(folder)
        result = self.run_update(folder)
        self.check_installed(folder, update, order, after_update(pristine, update_tree, order), result, cwd)


    # An update that ships the Launcher, cut short once the new Launcher stands in place: every
    # later run is the new Launcher. It moves itself aside (a running program cannot be deleted on
    # Windows, only renamed), puts the old one back, installs the update again, which brings it
    # back, and starts the Lobby; the run after it deletes its moved-aside image and leaves nothing.
    def test_self_update_cut_short(self):
        folder, cwd = self.place("self-update")
        update = folder.path / UPDATE_NAME
        new_launcher = folder.launcher.read_bytes() + b"appended by the update"
        lay(folder.path, {"version.txt": b"1"})
        lay(update, {LAUNCHER_NAME: new_launcher, "version.txt": b"2"})

        # Bulk after the Launcher in walk order keeps the installation going until the kill; the
        # Launcher is laid again for file systems that list the newest entry first (tmpfs).
        def lay_bulk(name):
            lay(update, {f"{name}/{i % 5}/f{i}.dat": b"bulk %d" % i for i in range(300)})
            relay(update, LAUNCHER_NAME)

        _, order = lay_until_walk_suits(update, (f"zbulk{attempt}" for attempt in range(100)), lay_bulk,
                                        lambda name, order: order.index(LAUNCHER_NAME) < 100)
        pristine = without(folder.tree(), UPDATE_NAME)
        expected = without(after_update(pristine, snapshot(update), order), LAUNCHER_NAME)

        killed = self.kill_during_installation(folder, cwd, order.index(LAUNCHER_NAME) + 2)
        self.assertEqual(folder.launcher.read_bytes(), new_launcher)

        result = self.run_update(folder)

        self.assertEqual(result.code, 0, result.stderr[-2000:])
        self.assertMessages(result)
        self.assertIn(self.rollbacking(folder, LAUNCHER_NAME, killed), result.lines)
        self.assertEqual(folder.tree(), expected)
        self.assertEqual(folder.launcher.read_bytes(), new_launcher)
        self.assertFalse(update.exists())
        store = folder.path / ROLLBACK_STORE
        self.assertEqual([path.suffix for path in store.iterdir()], [".displaced"] if WINDOWS else [])
        folder.wait_lobby_starts()

        again = self.run_update(folder)

        self.assertEqual(again.lines, self.lobby_lines(folder))
        self.assertEqual(folder.tree(), expected)
        self.assertNoRollbackLeft(folder)
        folder.wait_lobby_starts(2)


class SystemCallFaults(FaultTestCase):
    """Faults at chosen system calls (faults.py)."""

    # A target whose status cannot be read when its batch is planned fails the installation at its
    # turn with the copy error; it stays as it was, neither backed up nor removed.
    def test_target_status_unreadable(self):
        def laid(name):
            folder = self.install(name)
            lay(folder.path, {"data.bin": (b"old data", READ_ONLY)})
            lay(folder.path / UPDATE_NAME, {"data.bin": b"new data", "added.txt": b"added"})
            return folder

        folder = laid("Client")
        update = folder.path / UPDATE_NAME
        before = folder.tree()

        if WINDOWS:
            # Wine's scan asks by name, the plan through a handle.
            fault = Fault(DATA, "fstat", 1, "error:EACCES", (folder.path / "data.bin",))
        else:
            # The scan asks by the whole path, the plan from the folder's handle: the plan's call
            # is aimed by its count among all, in a clean run on a copy.
            probe = laid("Probe")
            self.assertEqual(walk_order(probe.path / UPDATE_NAME), walk_order(update))
            calls = self.probe_update(probe)
            # Where the faulty run must write none.
            (self.root / "liveUpdateLog.log").unlink()
            plan = next(call for call in calls if call.name == "statx" and call.path == str(probe.path / "data.bin")
                        and "AT_FDCWD" not in call.text)
            fault = fault_at(calls, plan, "error:EACCES")
        result = self.faulty_update(folder, fault).result

        self.assertNothingStarted(folder, result)
        message, = self.boxes(result, 1)
        self.assertCopyError(message, self.copy_error(update / "data.bin", folder.path / "data.bin"))
        self.assertIn("Access denied" if WINDOWS else "Permission denied", message)
        after = folder.tree()
        self.assertEqual({path: entry for path, entry in after.items() if path != "added.txt"}, before)
        self.assertIn(after.get("added.txt"), [None, ("file", b"added", True)])
        self.assertNoRollbackLeft(folder)

    # Where the flush of the whole volume fails at completion (syncfs also reports other programs'
    # write-back errors), each copy the installation made is flushed before the completion entry
    # instead; where that fails too, the completion is recorded all the same, after a warning line.
    # Under Wine, where the volume cannot be flushed, each copy is flushed as it is made, and the
    # completion entry's own flush fails. Either way the installation stands and the Lobby starts.
    def test_flush_failing_at_completion(self):
        if WINDOWS:
            cases = [("record", None, [b"the installation's completion may not have reached the disk"])]
        else:
            # The record's own two flushes at its creation come first.
            cases = [("volume", ["syncfs"], []),
                     ("volume and files", ["syncfs", "fsync:when=3+"],
                      [b"the installation may not have reached the disk",
                       b"the installation's completion may not have reached the disk"])]

        def lay_case(name):
            folder = self.install(name)
            folder.write("locked.cfg", b"old locked", mode=READ_ONLY)
            folder.write("update_3/locked.cfg", b"new locked")
            folder.write("update_3/added.txt", b"added")
            return folder

        for case, injected, expected in cases:
            with self.subTest(case=case):
                folder = lay_case(case.replace(" ", "-"))
                if WINDOWS:
                    calls = self.probe_update(lay_case("probe"))
                    completion = [call for call in calls if call.where == DATA and call.name == "fsync" and
                                  call.path.endswith(".journal")][-1]
                    fault = fault_at(calls, completion, "error:EIO", paths=(".journal",))
                    result = self.faulty_update(folder, fault, extra_env={"WINEDEBUG": "-all,+relay,+file"}).result
                    events = flushes_and_writes(result.stderr.decode("utf-8", errors="replace"))
                else:
                    trace = self.root / f"{folder.path.name}.strace"
                    options = ["-y", "-o", str(trace), "-e", "trace=write,syncfs,fsync,fdatasync"]
                    for call in injected:
                        name, _, when = call.partition(":")
                        options += ["-e", f"inject={name}:error=EIO" + (f":{when}" if when else "")]
                    result = self.run_update_under_strace(folder, *options)
                    text = trace.read_text(errors="replace")
                    for call in injected:
                        self.assertRegex(text, rf"(?m)^(?:\d+ +)?{call.partition(':')[0]}\(.*\(INJECTED\)$")
                    events = flushes_and_writes(text)

                self.assertEqual(result.code, 0, result.stderr[-2000:])
                self.assertMessages(result)
                warnings = [line.split(b": ")[1] for line in result.lines if line.startswith(b"warning: ")]
                self.assertEqual(warnings, expected)
                self.assertEqual(folder.tree(), {"locked.cfg": ("file", b"new locked", False),
                                                 "added.txt": ("file", b"added", True)})
                self.assertNoRollbackLeft(folder)
                complete = max(i for i, (call, path, _) in enumerate(events)
                               if call == "write" and str(path).endswith(".journal"))
                # The completion entry: its tag and an empty path (under Wine only its length shows,
                # with the entry's checksum).
                if WINDOWS:
                    self.assertEqual(events[complete][2], 9, events[complete])
                else:
                    self.assertTrue(events[complete][2].startswith("c\\0\\0\\0\\0"), events[complete])
                if b"the installation may not have reached the disk" not in warnings:
                    self.assertIn(("flush", native(folder.path / "locked.cfg"), True), events[:complete])
                folder.wait_lobby_starts()

    # A killed run has told how far it got: each diagnostic line is written as it is made, so a run
    # killed at its third link (under Wine a crash of the whole session: its server) has written
    # the head and the lines of the three files it began.
    def test_lines_written_as_they_are_made(self):
        folder = self.install("Client")
        update = folder.path / UPDATE_NAME
        lay(update, {f"f{i}.txt": b"new" for i in range(6)})
        order = walk_order(update)

        run = self.faulty_update(folder, Fault(FILES, LINK, 3, "kill"))

        self.assertTrue(run.killed)
        result = run.result
        self.assertEqual(result.lines[:len(HEAD)], HEAD)
        rollback = rollback_named(result.lines[len(HEAD)])
        self.assertEqual(result.lines[len(HEAD):], [self.copying(folder, update, relative, rollback)
                                                     for relative in order[:3]])


class FullDisk(FaultTestCase):
    # An update whose files must be copied onto a volume without room for them (a folder of the
    # install tree that is another volume, where no file can be linked into place) is rolled back
    # with every earlier file intact and no partial file left, the user is told the disk is full,
    # the update waits, and once the volume has room the next run installs it and starts the Lobby.
    def test_update_larger_than_the_free_space(self):
        folder = self.install("Client")
        volume = folder.path / "media"
        existing = {"app.exe": os.urandom(200 << 10), "readme.txt": (b"old readme", READ_ONLY),
                    "media/intro.mp4": os.urandom(200 << 10), "media/keep.bin": os.urandom(100 << 10)}
        update = {"app.exe": os.urandom(200 << 10), "readme.txt": b"new readme",
                  "media/intro.mp4": os.urandom(240 << 10), "media/music.ogg": os.urandom(240 << 10),
                  "media/levels/1.pak": os.urandom(240 << 10), "media/levels/2.pak": os.urandom(240 << 10)}
        # Room for what the volume holds and for half of what the update brings to it; the file it
        # replaces there moves to the rollback folder, off the volume.
        held = sum(len(data) for relative, data in existing.items() if relative.startswith("media/"))
        brought = sum(len(data) for relative, data in update.items() if relative.startswith("media/"))
        kib = ((held + (brought - len(existing["media/intro.mp4"])) // 2) >> 10) + 32
        if not mount_tmpfs(self, volume, size=f"{kib}k"):
            self.skipTest("cannot mount a small tmpfs here")
        lay(folder.path, existing)
        update_folder = folder.path / UPDATE_NAME
        lay(update_folder, update)
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
        self.assertTrue(position.failing.startswith("media/"), position.failing)
        # The failing file's folders were made before its copy ran out of space.
        parts = asar(position.failing).split("/")
        made = {"/".join(parts[:depth]): ("folder",) for depth in range(1, len(parts))}
        self.check_rolled_back(position, {**pristine, **made}, update_before, result)

        subprocess.run(["mount", "-o", f"remount,size={kib + 2048}k", str(volume)], check=True)
        result = self.run_update(folder)
        self.check_installed(folder, update_folder, order,
                             after_update(without(pristine, UPDATE_NAME), update_before, order), result, self.root)


class ManyLaunchers(FaultTestCase, LockAndKillTestCase):
    LAUNCHERS = 20

    # While one Launcher installs an update, every other Launcher started on the folder is refused
    # before touching anything, also after the installation has passed the lock file that the
    # update ships: that file is skipped, never replaced, so the lock holds. The one installs the
    # rest of the update whole and starts the Lobby once.
    def test_launchers_started_during_an_installation(self):
        folder = self.install("Client")
        lay(folder.path, EVERY_KIND_INSTALL)
        update = folder.path / UPDATE_NAME
        lay(update, EVERY_KIND_UPDATE)
        lay(update, {"launcher.lock": b"an update's own lock file"})

        # Bulk files after the lock file in walk order keep the installation going while the
        # others start (the lock file is laid again for file systems that list the newest first).
        def lay_bulk(name):
            for i in range(300):
                lay(update, {f"{name}/{i % 9}/file{i}.dat": os.urandom(i * 97)})
                if i % 2:
                    lay(folder.path, {f"{name}/{i % 9}/file{i}.dat": b"old bulk"})
            relay(update, "launcher.lock")

        def after_lock(name, order):
            return order.index("launcher.lock") < order.index(f"{name}/0/file0.dat")

        _, order = lay_until_walk_suits(update, (f"pack{attempt}" for attempt in range(200)), lay_bulk, after_lock,
                                        also=(folder.path,))
        installed = [relative for relative in order if relative != "launcher.lock"]
        expected = after_update(without(folder.tree(), UPDATE_NAME), snapshot(update), order)

        first = BrakedRun(folder, self.root)
        self.addCleanup(first.stop)
        self.assertTrue(first.read_until(b"copying ", order.index("launcher.lock") + 2), first.lines)
        others = [self.begin(folder) for _ in range(self.LAUNCHERS - 1)]
        refused = [run.finish() for run in others]
        result = first.finish()

        for loser in refused:
            self.assertDidNothing(loser, ALREADY_RUNNING)
        skipping = b"skipping " + eight_bit(native(update / "launcher.lock")) + b": the lock file is never replaced"
        self.assertEqual(result.lines.count(skipping), 1)
        result.stdout = b"".join(line + b"\n" for line in result.lines if line != skipping)
        self.check_installed(folder, update, installed, expected, result, self.root)
        self.assertLockFileEmpty(folder)


class KillModeOverAFailedUndo(FaultTestCase, LockAndKillTestCase):
    # Kill mode ends the running Lobby before anything is undone, also when what a killed run left
    # cannot be undone yet (a folder stands where its backup goes back): a line says so and the
    # backup stays; the next start goes on refusing to install over it.
    def test_kill_mode_over_an_undo_that_cannot_finish(self):
        folder = self.install("Client")
        folder.lobby_stays(60)
        self.assertEqual(folder.run().code, 0)
        folder.wait_lobby_starts()
        rollback = folder.path / ROLLBACK_STORE / "0badc0de"
        lay(rollback, {"a.txt": b"old a"})
        (rollback.parent / "0badc0de.journal").write_bytes(record_bytes([PowerCut.HEADER, ("b", "a.txt")]))
        lay(folder.path, {"a.txt/in the way.txt": b"a folder where the backup goes back"})

        result = folder.run("--kill")

        self.assertEqual(result.code, 0)
        self.assertMessages(result, REINSTALL)
        self.assertEqual(result.lines[:3], [RESTART_LINE, PASS_LINE, PASS_LINE])
        self.assertEqual(result.lines[-1], b"warning: an interrupted update is not undone yet: an interrupted update "
                         b"could not be undone; its backups stay in " + eight_bit(native(rollback)))
        if WINDOWS:
            self.assertEqual(result.terminations, [1])
        self.assertEqual((rollback / "a.txt").read_bytes(), b"old a")
        again = folder.run()
        self.assertEqual(again.code, 255)
        self.assertEqual(again.message_texts[-1], "Error: an interrupted update could not be undone; its backups "
                         "stay in " + native(rollback))


if __name__ == "__main__":
    unittest.main()
