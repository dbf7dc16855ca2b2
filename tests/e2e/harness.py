"""The target the tests run on and what they use of the machine there: how the Launcher sees
paths and text, the Wine prefix, files held open, volumes mounted.

The target comes from the environment, so every test module runs on both builds:
  E2E_TARGET   "linux" (default) or "windows" (Launcher.exe under Wine)
  E2E_BIN      folder holding the built launcher and the test Lobby
  WINEPREFIX   the Wine prefix the test run owns (windows only)
"""

import contextlib
import os
import subprocess
import time
from pathlib import Path

TARGET = os.environ.get("E2E_TARGET", "linux")
BIN = Path(os.environ.get("E2E_BIN", Path(__file__).resolve().parents[2] / "build" / TARGET / "bin"))
WINDOWS = TARGET == "windows"
LAUNCHER_NAME = "Launcher.exe" if WINDOWS else "launcher"
LOBBY_NAME = "Lobby.exe"
# Where the launcher keeps its rollback folders and installation records, in the install folder.
ROLLBACK_STORE = "zintu_rollback"


def pe_bits(path):
    """32 or 64: the word size a Windows program was built for."""
    with open(path, "rb") as f:
        head = f.read(4096)
    machine = int.from_bytes(head[int.from_bytes(head[0x3C:0x40], "little") + 4:][:2], "little")
    return 32 if machine == 0x14C else 64


# The test Lobby's builds, each installed as Lobby.exe: beside the 32-bit Launcher.exe a 32-bit
# and a 64-bit one; beside the x86_64 build that stands in for it, one of its own word size.
if WINDOWS and pe_bits(BIN / LOBBY_NAME) == 32:
    LOBBY_BUILDS = {"Lobby.exe": 32, "Lobby64.exe": 64}
else:
    LOBBY_BUILDS = {"Lobby.exe": 64}
ERROR_STYLE = 0x00010010
WAIT_SECONDS = 30
# Given as a run's standard output: the launcher starts with standard output closed.
CLOSED = "closed"
RESTART_LINE = b"restart mode / kill mode"
PASS_LINE = b"killing lobby processes"
# How a run that installs an update begins: it ends the running Lobbies first.
HEAD = [RESTART_LINE, PASS_LINE]
ALREADY_RUNNING = "Error: Another instance of this program is already running."
REINSTALL = "There was an error while rollbacking a failed update. You may need to reinstall the application."
SEPARATOR = "\\" if WINDOWS else "/"
READ_ONLY = 0o444
UPDATE_NAME = "update_7"


def native(path):
    """A Unix path as the Launcher sees and prints it: Z:\\... under Wine."""
    path = str(path)
    if not WINDOWS:
        return path
    return "Z:" + path.replace("/", "\\")


def eight_bit(text):
    """The 8-bit form a diagnostic line prints: the ANSI code page under Wine, UTF-8 on Linux."""
    if not WINDOWS:
        return text.encode("utf-8")
    return text.encode("cp1252", errors="replace")


def quoted(path):
    """A path as the file-system library writes it to a stream: in double quotes, '&' escaping."""
    text = native(path)
    return '"' + text.replace("&", "&&").replace('"', '&"') + '"'


def wine_environment():
    env = dict(os.environ)
    env["WINEDEBUG"] = "-all,+relay"
    env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    return env


def from_eight_bit(line):
    return line.decode("cp1252" if WINDOWS else "utf-8", errors="replace")


def decode_argument(text):
    """Lobby record text as characters: UTF-16 under Wine, UTF-8 bytes on Linux."""
    if WINDOWS:
        return text
    return text.encode("latin-1").decode("utf-8", errors="surrogateescape")


def host_path(text):
    """A path as the Launcher prints it, as a path on this machine: under Wine the drive letter
    is resolved through the prefix's dosdevices links."""
    if not WINDOWS:
        return Path(text)
    base = Path(os.environ["WINEPREFIX"]) / "dosdevices" / text[:2].lower()
    return base.joinpath(*[part for part in text[3:].split("\\") if part])


def prepare_wine(prefix=None):
    """Makes the test prefix (or another) trace the calls the tests read, and keeps its server up."""
    env = wine_environment()
    env["WINEDEBUG"] = "-all"
    if prefix is not None:
        env["WINEPREFIX"] = str(prefix)
    subprocess.run(["wineserver", "-p", "10"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=False)
    relay = ("user32.MessageBoxW;kernel32.CreateProcessW;kernel32.TerminateProcess;kernel32.FlushFileBuffers")
    subprocess.run(["wine", "reg", "add", r"HKCU\Software\Wine\Debug", "/v", "RelayInclude", "/t", "REG_SZ",
                    "/d", relay, "/f"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=True)


HOLD_FILE = BIN / ("hold_file.exe" if WINDOWS else "hold_file")


@contextlib.contextmanager
def holding(path, seconds=WAIT_SECONDS, until=None, share=False):
    """Keeps the existing file or folder `path` open (tests/lobby/hold_file.cpp) for the block:
    without sharing, or with all sharing, as a scanner does. The helper has opened it when the
    block starts. With `until` it lets go `seconds` after something appears at that path, whether
    or not the block has ended."""
    path = Path(path)
    marker = Path(str(path) + ".held")
    arguments = [str(seconds)] + ([native(until)] if until else []) + \
        (["share"] if share else [])
    if WINDOWS:
        command, env = ["wine", str(HOLD_FILE), native(path)] + arguments, wine_environment()
        env["WINEDEBUG"] = "-all"
    else:
        command, env = [str(HOLD_FILE), str(path)] + arguments, dict(os.environ)
    process = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + WAIT_SECONDS
        while not marker.exists():
            if process.poll() is not None or time.monotonic() > deadline:
                raise AssertionError(f"hold_file could not hold {path} (exit code {process.poll()})")
            time.sleep(0.05)
        # At once: beside a file of an update, the marker would be installed with it.
        marker.unlink()
        yield process
    finally:
        if process.poll() is None:
            process.kill()
        process.wait()


def mount_tmpfs(test, path, size="64m"):
    """Mounts a new tmpfs of the given size at path for the rest of the test; False when this
    machine does not let the test mount one."""
    path = Path(path)
    path.mkdir(parents=True, exist_ok=True)
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size},mode=0755", "tmpfs", str(path)],
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if mounted.returncode != 0:
        return False
    # Lazily: a Lobby that has not yet exited may still have its program there.
    test.addCleanup(subprocess.run, ["umount", "--lazy", str(path)], stdin=subprocess.DEVNULL,
                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return True


# How each kind of volume that players' games lie on is made in an image file and mounted.
IMAGE_VOLUMES = {
    "ntfs": (["mkfs.ntfs", "-q", "-F", "-f"], ["-t", "ntfs-3g"]),
    "exfat": (["mkfs.exfat"], ["-o", "loop", "-t", "exfat-fuse"]),
    "xfs": (["mkfs.xfs", "-q"], ["-o", "loop"]),
    "btrfs": (["mkfs.btrfs", "-q"], ["-o", "loop"]),
}


def mount_image(test, kind, path, size="320m"):
    """Mounts a new volume of the given kind (a key of IMAGE_VOLUMES), made in a sparse image file
    beside path, at path for the rest of the test. Returns "" once mounted, else why this machine
    cannot (no FUSE or loop device, a tool missing): the failing command's own words."""
    path = Path(path)
    path.mkdir(parents=True, exist_ok=True)
    image = path.with_name(path.name + ".img")
    make, options = IMAGE_VOLUMES[kind]
    test.addCleanup(image.unlink, missing_ok=True)
    for command in (["truncate", "-s", size, str(image)], make + [str(image)], ["mount", *options, str(image), str(path)]):
        try:
            done = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        except OSError as error:
            return f"{command[0]}: {error.strerror}"
        if done.returncode != 0:
            return done.stderr.decode("utf-8", errors="replace").strip() or f"{command[0]} exited with {done.returncode}"
    # Lazily: a Lobby that has not yet exited may still have its program there.
    test.addCleanup(subprocess.run, ["umount", "--lazy", str(path)], stdin=subprocess.DEVNULL,
                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return ""
