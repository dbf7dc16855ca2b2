#!/usr/bin/python3
"""Checks that a built Launcher.exe has the properties a release needs.

Usage: check_pe.py path/to/Launcher.exe

Prints one PASS or FAIL line per check and exits with 1 if any check fails, 2 if the file
cannot be read as a PE image at all. The interpreter is the system one on purpose: pefile
comes from the python3-pefile package, which other Python installations do not see.
"""
import re
import struct
import sys
from pathlib import Path

try:
    import pefile
except ImportError:
    sys.stderr.write("check_pe.py needs pefile: install python3-pefile and run with /usr/bin/python3\n")
    sys.exit(2)

IMAGE_FILE_MACHINE_I386 = 0x14C
PE32_MAGIC = 0x10B
SUBSYSTEM_WINDOWS_GUI = 2
DYNAMIC_BASE = 0x40
NX_COMPAT = 0x100
RT_ICON = 3
RT_GROUP_ICON = 14
RT_MANIFEST = 24
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"

SYSTEM_DLLS = {
    "kernel32.dll", "user32.dll", "advapi32.dll", "ws2_32.dll", "mswsock.dll", "psapi.dll",
    "bcrypt.dll", "msvcrt.dll", "ntdll.dll", "shell32.dll", "ole32.dll", "gdi32.dll",
}
# Linking these dynamically would mean shipping the MinGW runtime next to the exe, which the
# static link is there to avoid.
MINGW_RUNTIME = re.compile(r"^(libstdc\+\+|libgcc|libwinpthread)", re.IGNORECASE)


class Report:
    def __init__(self):
        self.failed = False

    def check(self, ok, name, detail):
        print(f"{'PASS' if ok else 'FAIL'} {name}: {detail}")
        if not ok:
            self.failed = True


def is_system_dll(name):
    lower = name.lower()
    return lower in SYSTEM_DLLS or lower.startswith("api-ms-win-")


def imported_dlls(pe):
    names = []
    for attr in ("DIRECTORY_ENTRY_IMPORT", "DIRECTORY_ENTRY_DELAY_IMPORT"):
        for entry in getattr(pe, attr, []):
            names.append(entry.dll.decode("ascii", "replace"))
    return names


def imported_functions(pe):
    """Every imported function as "dll!name", the DLL name in lower case."""
    functions = set()
    for attr in ("DIRECTORY_ENTRY_IMPORT", "DIRECTORY_ENTRY_DELAY_IMPORT"):
        for entry in getattr(pe, attr, []):
            dll = entry.dll.decode("ascii", "replace").lower()
            for symbol in entry.imports:
                if symbol.name:
                    functions.add(f"{dll}!{symbol.name.decode('ascii', 'replace')}")
    return functions


def resources_of_type(pe, type_id):
    """Yields (id, data) for every language variant of every resource of the given type."""
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        return
    for type_entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if type_entry.id != type_id:
            continue
        for name_entry in type_entry.directory.entries:
            for lang_entry in name_entry.directory.entries:
                rva = lang_entry.data.struct.OffsetToData
                size = lang_entry.data.struct.Size
                yield name_entry.id, pe.get_data(rva, size)


def check_manifest(pe, report):
    manifests = list(resources_of_type(pe, RT_MANIFEST))
    report.check(len(manifests) == 1, "manifest resource", f"{len(manifests)} RT_MANIFEST resource(s)")
    if not manifests:
        return
    text = manifests[0][1].decode("utf-8", "replace")
    level = re.search(r"""level\s*=\s*["']([^"']*)["']""", text)
    ui_access = re.search(r"""uiAccess\s*=\s*["']([^"']*)["']""", text)
    level_value = level.group(1) if level else None
    ui_access_value = ui_access.group(1) if ui_access else None
    report.check(level_value == "requireAdministrator", "manifest execution level", f"level={level_value!r}")
    report.check(ui_access_value == "false", "manifest uiAccess", f"uiAccess={ui_access_value!r}")
    # Windows takes paths of 260 characters and more only from a program that says it can.
    long_paths = re.search(r"<(?:\w+:)?longPathAware>\s*(\w+)\s*</(?:\w+:)?longPathAware>", text)
    long_paths_value = long_paths.group(1) if long_paths else None
    report.check(long_paths_value == "true", "manifest longPathAware", f"longPathAware={long_paths_value!r}")


def check_icon(pe, report):
    groups = list(resources_of_type(pe, RT_GROUP_ICON))
    report.check(len(groups) == 1, "icon group resource", f"{len(groups)} RT_GROUP_ICON resource(s)")
    if not groups:
        return
    data = groups[0][1]
    if len(data) < 6:
        report.check(False, "icon group entries", f"group data is only {len(data)} bytes")
        return
    _, kind, count = struct.unpack_from("<HHH", data, 0)
    entries = []
    for index in range(count):
        offset = 6 + 14 * index
        if offset + 14 > len(data):
            break
        entries.append(struct.unpack_from("<BBBBHHIH", data, offset))
    report.check(kind == 1 and count == 1 and len(entries) == 1, "icon group entries",
                 f"type {kind}, {count} entr{'y' if count == 1 else 'ies'}")
    if len(entries) != 1:
        return
    width, height, _, _, _, bit_count, _, icon_id = entries[0]
    report.check(width == 0 and height == 0, "icon group size",
                 f"width byte {width}, height byte {height}, {bit_count} bpp (0 means 256)")

    images = [image for image_id, image in resources_of_type(pe, RT_ICON) if image_id == icon_id]
    if not images:
        report.check(False, "icon image is PNG", f"no RT_ICON resource with id {icon_id}")
        return
    image = images[0]
    is_png = image.startswith(PNG_SIGNATURE)
    report.check(is_png, "icon image is PNG", f"RT_ICON {icon_id}, {len(image)} bytes")
    if not is_png:
        return
    if len(image) < 24 or image[12:16] != b"IHDR":
        report.check(False, "icon PNG size", "no IHDR chunk after the signature")
        return
    png_width, png_height = struct.unpack_from(">II", image, 16)
    report.check(png_width == 256 and png_height == 256, "icon PNG size", f"IHDR {png_width}x{png_height}")


def check(path):
    try:
        pe = pefile.PE(path)
    except (OSError, pefile.PEFormatError) as error:
        print(f"FAIL PE image: {path}: {error}")
        return 2
    report = Report()

    machine = pe.FILE_HEADER.Machine
    magic = pe.OPTIONAL_HEADER.Magic
    report.check(machine == IMAGE_FILE_MACHINE_I386 and magic == PE32_MAGIC, "machine",
                 f"Machine 0x{machine:x}, optional header magic 0x{magic:x} (want 0x14c, PE32 0x10b)")

    subsystem = pe.OPTIONAL_HEADER.Subsystem
    report.check(subsystem == SUBSYSTEM_WINDOWS_GUI, "subsystem", f"{subsystem} (want 2, Windows GUI)")

    flags = pe.OPTIONAL_HEADER.DllCharacteristics
    report.check(bool(flags & DYNAMIC_BASE), "DYNAMIC_BASE", f"DllCharacteristics 0x{flags:04x}")
    report.check(bool(flags & NX_COMPAT), "NX_COMPAT", f"DllCharacteristics 0x{flags:04x}")

    dlls = imported_dlls(pe)
    print("     imports: " + (", ".join(dlls) if dlls else "(none)"))
    foreign = [name for name in dlls if not is_system_dll(name)]
    report.check(not foreign, "system DLLs only", "unexpected: " + ", ".join(foreign) if foreign else "all allowed")
    runtime = [name for name in dlls if MINGW_RUNTIME.match(name)]
    report.check(not runtime, "no MinGW runtime DLLs", "imported: " + ", ".join(runtime) if runtime else "none imported")

    # Rollback folder names must come from the system's current random generator.
    functions = imported_functions(pe)
    report.check("bcrypt.dll!BCryptGenRandom" in functions, "random source", "BCryptGenRandom imported"
                 if "bcrypt.dll!BCryptGenRandom" in functions else "BCryptGenRandom not imported")
    legacy = sorted(f for f in functions if f.endswith("!CryptGenRandom"))
    report.check(not legacy, "no legacy random source", "imported: " + ", ".join(legacy) if legacy else "none imported")
    check_manifest(pe, report)
    check_icon(pe, report)

    # The same sources must give the same bytes from any checkout at any time.
    stamp = pe.FILE_HEADER.TimeDateStamp
    report.check(stamp == 0, "no link time stamp", f"TimeDateStamp {stamp}")
    checkout = str(Path(__file__).resolve().parents[1])
    with open(path, "rb") as f:
        embedded = checkout.encode() in f.read()
    report.check(not embedded, "no checkout path", f"{checkout} {'found' if embedded else 'not found'} in the image")
    return 1 if report.failed else 0


def main(argv):
    if len(argv) != 2:
        sys.stderr.write(f"usage: {argv[0]} path/to/Launcher.exe\n")
        return 2
    return check(argv[1])


if __name__ == "__main__":
    sys.exit(main(sys.argv))
