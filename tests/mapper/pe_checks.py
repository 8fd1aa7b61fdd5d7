#!/usr/bin/python3
"""Checks the 32-bit korva_mapper_peak.dll from its PE file.

32-bit programs cannot run on the build machines, so what a program
written for the PEAK "Lite" interface relies on is read from the file:

  - the machine is i386;
  - the export table names the module korva_mapper_peak.dll and holds
    exactly the names and ordinals below; every CAN2_ name points at the
    very function of its CAN_ name, GetUSBDeviceNr at SetUSBDeviceNr's;
  - each export removes its own arguments: every `ret` of the function
    carries its argument byte count (standard calling convention);
  - only Windows' own DLLs are imported (the MinGW runtime is linked in,
    korva_api.dll is loaded at run time);
  - the version resource carries version 1.0.1.0 and the module's strings.

Usage: pe_checks.py [--objdump i686-w64-mingw32-objdump] korva_mapper_peak.dll
"""
import argparse
import re
import subprocess
import sys

import pefile

# name: (ordinal, argument bytes, the function it is bound to)
EXPORTS = {
    "DllMain": (1, 12, "DllMain"),
    "CAN_Init": (2, 8, "CAN_Init"),
    "CAN_Close": (3, 0, "CAN_Close"),
    "CAN_Status": (4, 0, "CAN_Status"),
    "CAN_Write": (5, 4, "CAN_Write"),
    "CAN_Read": (6, 4, "CAN_Read"),
    "CAN_ReadEx": (7, 8, "CAN_ReadEx"),
    "CAN_SetRcvEvent": (8, 4, "CAN_SetRcvEvent"),
    "CAN_VersionInfo": (9, 4, "CAN_VersionInfo"),
    "CAN_DLLVersionInfo": (10, 4, "CAN_DLLVersionInfo"),
    "CAN_ResetClient": (11, 0, "CAN_ResetClient"),
    "CAN_MsgFilter": (12, 12, "CAN_MsgFilter"),
    "CAN_ResetFilter": (13, 0, "CAN_ResetFilter"),
    "SetUSBDeviceNr": (14, 4, "SetUSBDeviceNr"),
    "GetUSBDeviceNr": (15, 4, "SetUSBDeviceNr"),
    "CAN2_Close": (16, 0, "CAN_Close"),
    "CAN2_DLLVersionInfo": (17, 4, "CAN_DLLVersionInfo"),
    "CAN2_Init": (18, 8, "CAN_Init"),
    "CAN2_MsgFilter": (19, 12, "CAN_MsgFilter"),
    "CAN2_Read": (20, 4, "CAN_Read"),
    "CAN2_ReadEx": (21, 8, "CAN_ReadEx"),
    "CAN2_ResetClient": (22, 0, "CAN_ResetClient"),
    "CAN2_ResetFilter": (23, 0, "CAN_ResetFilter"),
    "CAN2_SetRcvEvent": (24, 4, "CAN_SetRcvEvent"),
    "CAN2_Status": (25, 0, "CAN_Status"),
    "CAN2_VersionInfo": (26, 4, "CAN_VersionInfo"),
    "CAN2_Write": (27, 4, "CAN_Write"),
}

VERSION_STRINGS = {
    "FileDescription": "KORVA Mapper DLL for Peak-Libraries (Lite)",
    "FileVersion": "1.0.1.0",
    "InternalName": "korva_mapper_peak",
    "OriginalFilename": "korva_mapper_peak.dll",
    "ProductName": "korva_mapper_peak",
    "ProductVersion": "1.0.1.0",
}

SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "msvcrt.dll"}


class Checks:
    def __init__(self):
        self.passed = 0
        self.failed = 0

    def check(self, ok, what, detail=""):
        if ok:
            self.passed += 1
            print(f"ok      {what}")
        else:
            self.failed += 1
            print(f"FAILED  {what}{': ' + detail if detail else ''}")


def returns_by_function(objdump, path):
    """Maps each function's start address to the `ret` instructions of its
    body, as objdump disassembles the .text section."""
    text = subprocess.run([objdump, "-d", "--no-show-raw-insn", "-j", ".text", path],
                          check=True, capture_output=True, text=True).stdout
    rets, current = {}, None
    for line in text.splitlines():
        label = re.match(r"^([0-9a-f]+) <([^>]+)>:$", line)
        if label:
            current = int(label.group(1), 16)
            rets[current] = []
            continue
        insn = re.match(r"^\s*[0-9a-f]+:\s+(?:repz |rep |bnd )?(ret[lw]?)\b\s*(\S*)", line)
        if insn and current is not None:
            operand = insn.group(2)
            rets[current].append(int(operand.lstrip("$"), 16) if operand else 0)
    return rets


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--objdump", default="i686-w64-mingw32-objdump")
    parser.add_argument("dll")
    args = parser.parse_args()
    checks = Checks()
    pe = pefile.PE(args.dll)

    checks.check(pe.FILE_HEADER.Machine == pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"], "machine i386",
                 hex(pe.FILE_HEADER.Machine))

    exports = pe.DIRECTORY_ENTRY_EXPORT
    checks.check(exports.name == b"korva_mapper_peak.dll", "module name in the export table",
                 repr(exports.name))
    found = {s.name.decode(): (s.ordinal, s.address) for s in exports.symbols if s.name}
    unnamed = [s.ordinal for s in exports.symbols if not s.name]
    checks.check(not unnamed, "every export has a name", f"ordinals {unnamed}")
    checks.check(set(found) == set(EXPORTS), "export names",
                 f"missing {sorted(set(EXPORTS) - set(found))}, extra {sorted(set(found) - set(EXPORTS))}")
    for name, (ordinal, _, target) in EXPORTS.items():
        if name not in found:
            continue
        checks.check(found[name][0] == ordinal, f"{name} at ordinal {ordinal}", f"ordinal {found[name][0]}")
        if target != name and target in found:
            checks.check(found[name][1] == found[target][1], f"{name} is the function of {target}",
                         f"{found[name][1]:#x} against {found[target][1]:#x}")

    rets = returns_by_function(args.objdump, args.dll)
    base = pe.OPTIONAL_HEADER.ImageBase
    for name, (_, argbytes, _) in EXPORTS.items():
        if name not in found:
            continue
        body = rets.get(base + found[name][1])
        checks.check(body is not None and len(body) > 0 and all(r == argbytes for r in body),
                     f"{name} removes {argbytes} argument bytes", f"ret operands {body}")

    imported = [entry.dll.decode().lower() for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])]
    foreign = [d for d in imported if d not in SYSTEM_DLLS and not d.startswith("api-ms-win-")]
    checks.check(imported and not foreign, "only Windows system DLLs imported", f"{foreign or imported}")

    fixed = pe.VS_FIXEDFILEINFO[0] if getattr(pe, "VS_FIXEDFILEINFO", None) else None
    want = (0x00010000, 0x00010000)  # 1.0 and 1.0
    checks.check(fixed is not None and (fixed.FileVersionMS, fixed.FileVersionLS) == want,
                 "file version 1.0.1.0", fixed and f"{fixed.FileVersionMS:#x} {fixed.FileVersionLS:#x}")
    checks.check(fixed is not None and (fixed.ProductVersionMS, fixed.ProductVersionLS) == want,
                 "product version 1.0.1.0")
    strings = {}
    for info in getattr(pe, "FileInfo", [[]])[0]:
        for table in getattr(info, "StringTable", []):
            strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    for key, value in VERSION_STRINGS.items():
        checks.check(strings.get(key) == value, f"version string {key}", repr(strings.get(key)))

    print(f"{checks.passed} passed, {checks.failed} failed")
    return 1 if checks.failed else 0


if __name__ == "__main__":
    sys.exit(main())
