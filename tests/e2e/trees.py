"""Install and update trees: laid out, read back, walked in the Launcher's order, and the tree an
update must leave."""

import collections
import hashlib
import os
import re
import shutil
import stat
from pathlib import Path

from harness import READ_ONLY, WINDOWS

# Top-level entries of an update that the Launcher keeps for itself and skips.
OWN_NAME = re.compile(r"(zintu_rollback|(old_)?update_\d+)(/|$)|launcher\.lock$", re.IGNORECASE if WINDOWS else 0)


def snapshot(root, ignore=(), executable=False):
    """Every entry below root by relative path: kind, content or link text, and write permission
    (and with `executable`, whether the owner may run it). Entries whose first path element is in
    `ignore` are left out, with everything below them."""
    root = Path(root)
    result = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for name in sorted(dirnames + filenames):
            path = Path(dirpath) / name
            relative = path.relative_to(root).as_posix()
            if relative.split("/")[0] in ignore:
                continue
            info = os.lstat(path)
            writable = bool(info.st_mode & stat.S_IWUSR)
            if stat.S_ISLNK(info.st_mode):
                result[relative] = ("link", os.readlink(path))
            elif stat.S_ISDIR(info.st_mode):
                result[relative] = ("folder",)
            elif stat.S_ISREG(info.st_mode):
                result[relative] = ("file", path.read_bytes(), writable) + \
                    ((bool(info.st_mode & stat.S_IXUSR),) if executable else ())
            else:
                result[relative] = ("special", stat.S_IFMT(info.st_mode))
    return result


def walk_order(folder):
    """Relative paths, with "/", of the entries below folder that are not folders, in the order the
    Launcher's recursive walk meets them: each folder's entries in listing order, a sub-folder's
    tree right where the sub-folder is met. A link to a folder counts as a folder and is not
    entered. Linux lists in the file system's own order; Wine sorts names by their upper case."""
    order = []

    def visit(path, prefix):
        with os.scandir(path) as listing:
            entries = list(listing)
        if WINDOWS:
            entries.sort(key=lambda entry: entry.name.upper())
        for entry in entries:
            if not entry.is_dir():
                order.append(prefix + entry.name)
            elif not entry.is_symlink():
                visit(entry.path, prefix + entry.name + "/")

    visit(folder, "")
    return order


def asar(relative):
    """Where an update file lands in the install folder: only ".asar_tmp" exactly becomes ".asar"."""
    return relative[:-len("_tmp")] if relative.endswith(".asar_tmp") else relative


def lay(base, entries):
    """Creates entries below base: bytes for a file, (bytes, mode) for a file with that mode, a
    str for a symbolic link with that text, None for an empty folder."""
    for relative, entry in entries.items():
        path = base / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        if entry is None:
            path.mkdir()
        elif isinstance(entry, str):
            os.symlink(entry, path)
        elif isinstance(entry, tuple):
            path.write_bytes(entry[0])
            path.chmod(entry[1])
        else:
            path.write_bytes(entry)


def lay_until_walk_suits(update, names, lay_as, suits, also=()):
    """Lays entries under each of `names` in turn (lay_as(name)) until the update's walk order suits
    (suits(name, order)); returns that name and the order. The walk follows the file system's order
    of names (a hash of the name on ext4, the newest entry first on tmpfs, by upper case under Wine),
    so only trying tells which name comes where. What a name that does not suit laid is removed,
    below the update and below each folder of `also`."""
    names = list(names)
    for name in names:
        lay_as(name)
        order = walk_order(update)
        if suits(name, order):
            return name, order
        for base in (update, *also):
            shutil.rmtree(base / name, ignore_errors=True)
    raise AssertionError(f"none of the names {names[0]} to {names[-1]} puts the walk of {update} in the order wanted")


def without(tree, top):
    return {relative: entry for relative, entry in tree.items() if relative.split("/")[0] != top}


def folding(ignores_case=False):
    """Paths as the file system tells them apart, as a key: Windows ignores letter case, and so
    does a volume that `ignores_case` (exFAT)."""
    return str.upper if WINDOWS or ignores_case else str


def skipped(relative):
    """Whether the Launcher skips the update's entry: it stands under a name the Launcher keeps."""
    return bool(OWN_NAME.match(relative))


def after_update(before, update, order, fold=None):
    """The install folder once the whole update is in, from its tree `before` and the update's
    entries `update` (see snapshot) met in walk `order`: each target written by the update's files
    in that order, the last one winning under its own name in place of every name the file system
    (`fold`, see folding) takes for the same, with the permissions of what stood there before the
    first; the names the Launcher keeps for itself skipped; folders made only for files, since the
    walk meets neither the update's empty folders nor its links to folders."""
    fold = fold or folding()
    result = dict(before)
    names = collections.defaultdict(list)
    for path in before:
        names[fold(path)].append(path)
    originals = {}
    for relative in order:
        if skipped(relative):
            continue
        target = asar(relative)
        key = fold(target)
        standing = names[key]
        originals.setdefault(key, before.get(standing[0]) if standing else None)
        for path in standing:
            del result[path]
        entry, original = update[relative], originals[key]
        if entry[0] == "file" and original and original[0] == "file":
            entry = entry[:2] + original[2:]
        result[target] = entry
        names[key] = [target]
        parts = target.split("/")
        for depth in range(1, len(parts)):
            folder = "/".join(parts[:depth])
            if not names[fold(folder)]:
                result[folder] = ("folder",)
                names[fold(folder)] = [folder]
    return result


def describe(entry):
    """A tree entry in a few words, for failure messages."""
    if entry is None:
        return "nothing"
    if entry[0] == "file":
        return f"file of {len(entry[1])} bytes {hashlib.sha1(entry[1]).hexdigest()[:8]}" + \
            ("" if entry[2] else " read-only")
    return " ".join(entry)


# Every kind of entry an update brings: replacing and new files, read-only on either side, nested
# and deep new folders, archives under the ".asar_tmp" rule, an empty file, an empty folder.
EVERY_KIND_UPDATE = {
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
EVERY_KIND_INSTALL = {
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
    EVERY_KIND_UPDATE.update({"shortcut": "app.exe", "current": "version.txt"})
    EVERY_KIND_INSTALL.update({"shortcut": b"old shortcut file"})
