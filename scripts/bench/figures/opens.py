"""opens: file opens per update file of Launcher.exe under Wine (NtCreateFile and NtOpenFile in
Wine's file trace, on the Launcher's own thread), for an update of 100 small files by default, half
of them replacing files: on Windows every open passes every file-system filter, scanners too."""

import os
import shutil
import subprocess

from rounds import NotMeasured, Result
from timing import leaving_orphans
from trees import make_small_update

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))


def count_opens(launcher, cwd):
    """File opens on the Launcher's own thread (the one that opens the lock file) in one run."""
    env = dict(os.environ, WINEDEBUG="-all,+file")
    with leaving_orphans():
        result = subprocess.run([os.path.join(ROOT, "scripts", "wine-run.sh"), launcher], cwd=cwd, env=env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    trace = result.stderr.decode("utf-8", errors="replace").splitlines()
    main = next(line.split(":", 1)[0] for line in trace if "launcher.lock" in line and ":trace:file:" in line)
    return sum(1 for line in trace if line.startswith(main + ":trace:file:Nt") and
               line.split(":", 3)[3].split()[0] in ("NtCreateFile", "NtOpenFile"))


def measure(args):
    if not args.windows_bin:
        raise NotMeasured("no Windows build given (--windows-bin; bench.sh gives it where the Windows build is set up)")
    launcher = os.path.join(args.windows_bin, "Launcher.exe")
    if not (os.path.exists(launcher) and shutil.which("wine")):
        raise NotMeasured("no Launcher.exe or no Wine here")
    files = args.opens_files
    empty, with_update = os.path.join(args.scratch, "opens-none"), os.path.join(args.scratch, "opens-update")
    for install in (empty, with_update):
        os.makedirs(install, exist_ok=True)
        for name in ("Launcher.exe", "Lobby.exe"):
            shutil.copy2(os.path.join(args.windows_bin, name), install)
    make_small_update(with_update, 13, files, folders=8, sizes=(100, 2000))
    base = count_opens(os.path.join(empty, "Launcher.exe"), empty)
    opens = count_opens(os.path.join(with_update, "Launcher.exe"), with_update)
    per_file = (opens - base) / files
    print(f"opens: Launcher.exe under Wine, {files} small files, half replacing: {opens} opens, {base} without the "
          f"update; {per_file:.1f} per update file")
    return {"": Result(per_file, f"{per_file:.1f}")}
