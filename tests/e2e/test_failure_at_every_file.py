"""Whichever file of an update fails, the run puts the previous installation back and the next
run installs the whole update."""

import concurrent.futures
import os
import unittest

from fault_cases import FaultTestCase, Position
from harness import UPDATE_NAME, WINDOWS
from trees import EVERY_KIND_INSTALL, EVERY_KIND_UPDATE, after_update, asar, lay, snapshot, walk_order, without

WORKERS = 8


class FailureAtEveryFile(FaultTestCase):
    # Whichever file of the update fails, the run puts every replaced file back, keeps only the
    # files it added before the failure, leaves the update folder as it was and no rollback
    # folder, and the next run installs the whole update and starts the Lobby.
    def test_failure_at_every_file(self):
        cases = []
        for k in range(len([entry for entry in EVERY_KIND_UPDATE.values() if entry is not None])):
            folder, cwd = self.place(f"fail-{k}")
            lay(folder.path, EVERY_KIND_INSTALL)
            update = folder.path / UPDATE_NAME
            lay(update, EVERY_KIND_UPDATE)
            cases.append((k, folder, cwd, update, walk_order(update)))
        self.assertGreaterEqual(len(cases), 30)

        with concurrent.futures.ThreadPoolExecutor(WORKERS) as pool:
            futures = [(k, order[k], pool.submit(self.fail_then_install, k, folder, cwd, update, order))
                       for k, folder, cwd, update, order in cases]
        for k, failing, future in futures:
            with self.subTest(k=k, failing=failing):
                future.result()

    def fail_then_install(self, k, folder, cwd, update, order):
        pristine = folder.tree()
        update_before = snapshot(update)
        target = folder.path / asar(order[k])
        # A target that stands is made unreplaceable: under Wine it is held.
        position = Position(folder, update, order, k, pristine, held=WINDOWS and os.path.lexists(target))

        if os.path.lexists(target):
            with self.unreplaceable(target):
                result = self.run_update(folder)
            self.check_rolled_back(position, pristine, update_before, result, cwd)
        else:
            blocker = self.block(folder, target, order[:k])
            before = folder.tree()
            result = self.run_update(folder)
            self.check_rolled_back(position, before, update_before, result, cwd)
            if blocker.is_dir():
                blocker.rmdir()
            else:
                blocker.unlink()

        result = self.run_update(folder)
        self.check_installed(folder, update, order, after_update(without(pristine, UPDATE_NAME), update_before, order),
                             result, cwd)

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


if __name__ == "__main__":
    unittest.main()
