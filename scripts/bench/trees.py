"""The trees the figures install: plans of folders and files, their deterministic contents, and
the master install and update folders that every round copies afresh."""

import os
import random
import shutil

MiB = 1 << 20


class TreeWriter:
    """Deterministic file contents: a seeded block, rotated per file behind a header naming the
    file, so that no two files are alike and nothing has to come from a random source."""

    def __init__(self, seed):
        block = random.Random(seed).randbytes(MiB)
        self.doubled = memoryview(block + block)

    def write(self, path, index, size, tag):
        header = f"{tag} {index} {path}\n".encode()[:size]
        offset = (index * 7919 * 64) % MiB
        with open(path, "wb", buffering=0) as f:
            f.write(header)
            left = size - len(header)
            while left > 0:
                n = min(left, MiB)
                f.write(self.doubled[offset:offset + n])
                left -= n


def plan_folders(rng, folders):
    """The install root and `folders` folders below it, nested up to four levels."""
    dirs = [""]
    depth = {"": 0}
    for k in range(folders):
        parent = rng.choice([d for d in dirs if depth[d] < 4])
        path = os.path.join(parent, f"dir{k:03d}")
        dirs.append(path)
        depth[path] = depth[parent] + 1
    return dirs


def plan_tree(rng, files, total_bytes, folders, large_files):
    """Relative paths and sizes: log-uniform sizes and a handful of large files, as an
    application update has them."""
    dirs = plan_folders(rng, folders)
    extensions = [".dll", ".bin", ".pak", ".json", ".png", ".js", ".dat"]

    large = [rng.uniform(0.03, 0.08) * total_bytes for _ in range(large_files)]
    weights = [2 ** rng.uniform(6, 21) for _ in range(files - large_files)]
    rest = total_bytes - sum(large)
    scale = rest / sum(weights)
    sizes = [max(1, int(w * scale)) for w in weights] + [int(s) for s in large]
    sizes[-1] += total_bytes - sum(sizes)
    rng.shuffle(sizes)

    plan = []
    for i, size in enumerate(sizes):
        folder = rng.choice(dirs)
        plan.append((os.path.join(folder, f"file{i:06d}{rng.choice(extensions)}"), size))
    return dirs, plan


def write_tree(root, dirs, plan, writer, tag):
    for d in dirs:
        os.makedirs(os.path.join(root, d), exist_ok=True)
    for i, (relative, size) in enumerate(plan):
        writer.write(os.path.join(root, relative), i, size, tag)


def older_versions(rng, plan, share):
    """The installed files that `share` of the update's files replace, with older content of
    another size."""
    existing = sorted(rng.sample(range(len(plan)), round(len(plan) * share)))
    return [(plan[i][0], max(1, int(plan[i][1] * rng.uniform(0.5, 1.5)))) for i in existing]


def make_small_update(install, seed, files, folders=40, sizes=(5 << 10, 45 << 10)):
    """An update of `files` files of the given sizes in its update_1 folder, half of them replacing
    files of the install folder."""
    rng = random.Random(seed)
    dirs = plan_folders(rng, folders)
    plan = [(os.path.join(rng.choice(dirs), f"small{i:05d}.dat"), rng.randint(*sizes)) for i in range(files)]
    write_tree(os.path.join(install, "update_1"), dirs, plan, TreeWriter(seed), "new")
    old = [(relative, max(1, size // 2)) for relative, size in plan[::2]]
    write_tree(install, dirs, old, TreeWriter(seed + 1), "old")
    return plan


def make_dependency_tree(root, seed, files, total_mib, replaced_share):
    """A master update and a master install below `root` as an application's dependencies have
    them: many small files in nested folders, most of them replacing older ones. Returns the two
    folders, the update's plan, its number of folders and of replaced files."""
    rng = random.Random(seed)
    dirs, plan = plan_tree(rng, files, total_mib * MiB, folders=max(1, files // 8), large_files=2)
    master_update, master_install = os.path.join(root, "update-master"), os.path.join(root, "install-master")
    write_tree(master_update, dirs, plan, TreeWriter(seed), "new")
    old_plan = older_versions(rng, plan, replaced_share)
    write_tree(master_install, dirs, old_plan, TreeWriter(seed + 1), "old")
    return master_update, master_install, plan, len(dirs) - 1, len(old_plan)


def copy_executables(bin_dir, folder, names):
    os.makedirs(folder, exist_ok=True)
    for name in names:
        shutil.copy2(os.path.join(bin_dir, name), os.path.join(folder, name))


def filesystem_note(path):
    """What about the file system under `path` bends the update figures, or None."""
    best = ("", "", "", "")
    with open("/proc/self/mountinfo") as f:
        for line in f:
            fields = line.split()
            mount_point, options = fields[4], fields[5]
            fs_type, source, super_options = fields[fields.index("-") + 1:][:3]
            inside = path == mount_point or path.startswith(mount_point.rstrip("/") + "/")
            if inside and len(mount_point) >= len(best[0]):
                best = (mount_point, fs_type, source, options + "," + super_options)
    mount_point, fs_type, source, options = best
    if fs_type != "ext4":
        return None
    device = os.path.basename(source)
    journaled = any(name.startswith(device + "-") for name in os.listdir("/proc/fs/jbd2")) \
        if os.path.isdir("/proc/fs/jbd2") else True
    notes = []
    if not journaled:
        notes.append("ext4 without a journal: creating a file passes over every inode freed in its "
                     "group in the last 5 minutes, so creations slow down after mass deletions")
    if "discard" in options.split(","):
        notes.append("mounted with 'discard': freeing blocks of files already written back issues the "
                     "discard at once" + (", inside unlink and truncate" if not journaled else ""))
    return f"{source} on {mount_point}: " + "; ".join(notes) if notes else None


def print_filesystem_note(path):
    note = filesystem_note(path)
    if note:
        print("note: " + note)
