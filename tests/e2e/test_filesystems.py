"""Updates installed on the file systems that players' games lie on, with the install folder on
each: NTFS through ntfs-3g, exFAT, XFS and btrfs, each made in an image file and mounted."""

import unittest

from harness import IMAGE_VOLUMES, WINDOWS, InstallFolder, mount_image, snapshot, walk_order
from test_update import READ_ONLY
from test_update_faults import LINKS_INSTALL, LINKS_UPDATE, Failure, FaultTestCase

# Only these keep a file's write permission, and with it Wine's read-only attribute: ntfs-3g shows
# every file rwxrwxrwx, and exFAT has no permissions at all.
KEEPS_PERMISSIONS = {"xfs", "btrfs"}
# exFAT has no symbolic links.
SYMBOLIC_LINKS = {"ntfs", "xfs", "btrfs"}


def as_kept(tree, kind):
    """A tree (see snapshot) as the volume can keep it: without write permissions where it keeps none."""
    if kind in KEEPS_PERMISSIONS:
        return tree
    return {path: entry[:2] if entry[0] == "file" else entry for path, entry in tree.items()}


class OnEveryVolume(FaultTestCase):
    def install_on_volumes(self):
        """An install folder on a fresh volume of each kind, by kind; a kind this machine cannot
        mount is skipped with the reason."""
        folders = {}
        for kind in IMAGE_VOLUMES:
            with self.subTest(volume=kind):
                why = mount_image(self, kind, self.root / kind)
                if why:
                    self.skipTest(f"cannot mount {kind} here: {why}")
                folders[kind] = InstallFolder(self.root / kind, "Client")
        if not folders:
            self.skipTest("no volume can be mounted here")
        return folders

    # An update installs on each volume: files replaced and added, a read-only file replaced and
    # one replacing a read-only file keeping the old file's write permission where the volume keeps
    # permissions, new nested folders, an ".asar_tmp" file landing as ".asar"; the Lobby starts and
    # no rollback folder is left. On exFAT, which refuses links, every file is a copy.
    def test_update_installs(self):
        folders = self.install_on_volumes()
        runs = {}
        for kind, folder in folders.items():
            folder.write("readme.txt", b"old readme")
            folder.write("locked.cfg", b"old locked", mode=READ_ONLY)
            folder.write("opened.cfg", b"old opened")
            folder.write("resources/app.asar", b"old archive")
            folder.write("resources/keep.bin", b"not in the update")
            folder.write("update_7/readme.txt", b"new readme")
            folder.write("update_7/locked.cfg", b"new locked")
            folder.write("update_7/opened.cfg", b"new opened", mode=READ_ONLY)
            folder.write("update_7/resources/app.asar_tmp", b"new archive")
            folder.write("update_7/plugins/new/deep/chat.dll", b"chat")
            folder.write("update_7/fresh.dat", b"fresh")
            order = walk_order(folder.path / "update_7")
            runs[kind] = order, self.begin_update(folder, self.root / f"cwd-{kind}")
        results = {kind: run.finish() for kind, (_, run) in runs.items()}

        for kind, folder in folders.items():
            with self.subTest(volume=kind):
                update = folder.path / "update_7"
                self.assertInstalled(results[kind], folder, update, runs[kind][0])
                self.assertEqual(as_kept(folder.tree(), kind), as_kept({
                    "readme.txt": ("file", b"new readme", True),
                    "locked.cfg": ("file", b"new locked", False),
                    "opened.cfg": ("file", b"new opened", True),
                    "resources": ("folder",),
                    "resources/app.asar": ("file", b"new archive", True),
                    "resources/keep.bin": ("file", b"not in the update", True),
                    "plugins": ("folder",),
                    "plugins/new": ("folder",),
                    "plugins/new/deep": ("folder",),
                    "plugins/new/deep/chat.dll": ("file", b"chat", True),
                    "fresh.dat": ("file", b"fresh", True),
                }, kind))
                self.assertFalse(update.exists())
                self.assertLobbyStartedOnce(folder)

    # An update that fails at a folder standing where it has a file is rolled back on each volume
    # exactly: every backup's contents back (with its write permission and links where the volume
    # keeps them), the user told, the update left for the next run and the Lobby not started.
    def test_failed_update_rolled_back(self):
        folders = self.install_on_volumes()
        cases = {}
        for kind, folder in folders.items():
            core_update = {"replaced.txt": b"new replaced", "locked.cfg": b"new locked",
                           "opened.cfg": (b"new opened", READ_ONLY), "added.dll": b"new added",
                           "nested/deeper/lib.dll": b"new lib", "app.asar_tmp": b"new archive",
                           "made/inside/x.txt": b"new in a new folder"}
            core_install = {"replaced.txt": b"old replaced \x00\xff", "locked.cfg": (b"old locked", READ_ONLY),
                            "opened.cfg": b"old opened", "nested/deeper/lib.dll": b"old lib",
                            "app.asar": b"old archive"}
            if not WINDOWS and kind in SYMBOLIC_LINKS:
                core_update.update(LINKS_UPDATE)
                core_install.update(LINKS_INSTALL)
            # exFAT lists a folder's entries in the order they were made: the folder of chosen files
            # comes before the plain ones only when it is made first.
            (folder.path / "update_7" / "core").mkdir(parents=True)
            failure = Failure(folder, core_update, core_install, blocker="folder")
            cases[kind] = failure, folder.tree(), snapshot(failure.update), self.root / f"cwd-{kind}"
        runs = {kind: self.begin_update(failure.folder, cwd) for kind, (failure, _, _, cwd) in cases.items()}
        results = {kind: run.finish() for kind, run in runs.items()}

        for kind, (failure, before, update_before, cwd) in cases.items():
            with self.subTest(volume=kind):
                self.check_rolled_back(failure, before, update_before, results[kind], cwd)


if __name__ == "__main__":
    unittest.main()
