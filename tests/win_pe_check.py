#!/usr/bin/python3
"""Static check of a built Pelcor.DLL with pefile.

Exactly the fourteen exports of the table in pelcor.h, each under its plain
name at its ordinal; the module name Pelcor.DLL; the version record; imports
from KERNEL32 and msvcrt only; the machine that the build was for.

Usage: win_pe_check.py DLL HEADER x86|x64
"""
import re
import sys

import pefile

MACHINES = {"x86": 0x14C, "x64": 0x8664}
VFT_DLL = 2
VERSION_TEXT = "2, 0, 0, 0"
STRINGS = {
    "FileVersion": VERSION_TEXT,
    "ProductVersion": VERSION_TEXT,
    "FileDescription": "Pelcor",
    "InternalName": "Pelcor",
    "OriginalFilename": "Pelcor.DLL",
}
ALLOWED_IMPORTS = {"kernel32.dll", "msvcrt.dll"}


def table(header):
    """(ordinal, name) rows of the export table, in order."""
    with open(header, encoding="utf-8") as f:
        rows = re.findall(r"^  X\((\d+), ([A-Za-z]+), (\d+),", f.read(), re.M)
    return [(int(o), n) for o, n, _ in rows]


def text(value):
    return value.decode("utf-8") if isinstance(value, bytes) else value


def check(dll, header, arch):
    pe = pefile.PE(dll)
    failures = []

    def expect(what, got, want):
        if got != want:
            failures.append(f"{what}: {got!r}, expected {want!r}")

    expect("machine", hex(pe.FILE_HEADER.Machine), hex(MACHINES[arch]))
    expect("is a DLL", pe.is_dll(), True)

    rows = table(header)
    expect("rows in the export table", len(rows), 14)
    exports = pe.DIRECTORY_ENTRY_EXPORT
    expect("module name", text(exports.name), "Pelcor.DLL")
    got = sorted((s.ordinal, text(s.name)) for s in exports.symbols)
    expect("exports (ordinal, name)", got, sorted(rows))

    imported = {text(e.dll).lower() for e in pe.DIRECTORY_ENTRY_IMPORT}
    if not imported <= ALLOWED_IMPORTS:
        failures.append(f"imports from {sorted(imported - ALLOWED_IMPORTS)}")

    fixed = pe.VS_FIXEDFILEINFO[0]
    expect("numeric file version", (fixed.FileVersionMS, fixed.FileVersionLS),
           (0x00020000, 0))
    expect("numeric product version",
           (fixed.ProductVersionMS, fixed.ProductVersionLS), (0x00020000, 0))
    expect("file type", fixed.FileType, VFT_DLL)

    tables, translations = [], []
    for info in pe.FileInfo[0]:
        if info.Key == b"StringFileInfo":
            tables += info.StringTable
        elif info.Key == b"VarFileInfo":
            for var in info.Var:
                translations += var.entry.get(b"Translation", "").split()
    expect("string tables", [text(t.LangID).upper() for t in tables],
           ["040904B0"])
    # The Translation entry is "0x0409 0x04b0": language, then code page.
    expect("translation", [int(v, 16) for v in translations], [0x0409, 1200])
    strings = {text(k): text(v) for t in tables for k, v in t.entries.items()}
    for key, want in STRINGS.items():
        expect(key, strings.get(key), want)
    for key in ("CompanyName", "ProductName", "LegalCopyright"):
        if not strings.get(key):
            failures.append(f"{key} is empty")
    return failures


def main():
    if len(sys.argv) != 4 or sys.argv[3] not in MACHINES:
        raise SystemExit(__doc__)
    failures = check(*sys.argv[1:])
    for f in failures:
        print("FAIL:", f)
    print(f"{sys.argv[1]}:", "FAILED" if failures else "passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
