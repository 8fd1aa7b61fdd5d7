#!/usr/bin/python3
"""Checks korva's Windows DLLs from their PE files.

What a program that loads korva_api.dll or korva_mapper_peak.dll relies
on, whatever toolchain built it, is read from the file (the test programs
run the DLLs as well, the 32-bit ones where wine's WoW64 mode runs).  For
both DLLs:

  - the machine (i386 for the 32-bit build, AMD64 for the 64-bit one, as
    --machine says);
  - the module name in the export table;
  - only Windows' own DLLs are imported (the MinGW runtime is linked in).

korva_api.dll: every name of tests/exported_names.txt is exported under its
plain name, no export carries a decoration (_Name, Name@N), and the eight
functions of the interface use the cdecl convention (on i386 every `ret`
leaves the arguments to the caller).

korva_mapper_peak.dll: the export table holds exactly the names and
ordinals of the PEAK "Lite" interface; every CAN2_ name points at the very
function of its CAN_ name, GetUSBDeviceNr at SetUSBDeviceNr's; each export
removes its own arguments (on i386 every `ret` carries its argument byte
count: the standard calling convention); the version resource carries
version 1.0.1.0 and the module's strings.

peak_client, a program linked to korva_mapper_peak.dll through its import
library and declaring the functions with the standard calling convention,
as such programs do (so on i386 it references the decorated CAN_Init@8):
it imports the plain export names.

Usage: pe_checks.py [--objdump OBJDUMP] [--machine i686|x86_64] korva_api|korva_mapper_peak DLL
       pe_checks.py [--machine i686|x86_64] peak_client PROGRAM.exe
"""
import argparse
import os
import re
import subprocess
import sys

import pefile

# korva_mapper_peak.dll: name -> (ordinal, argument bytes, the function it is bound to)
MAPPER_EXPORTS = {
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

MAPPER_VERSION_STRINGS = {
    "FileDescription": "KORVA Mapper DLL for Peak-Libraries (Lite)",
    "FileVersion": "1.0.1.0",
    "InternalName": "korva_mapper_peak",
    "OriginalFilename": "korva_mapper_peak.dll",
    "ProductName": "korva_mapper_peak",
    "ProductVersion": "1.0.1.0",
}

API_FUNCTIONS = ["KORVA_Open", "KORVA_Close", "KORVA_Ioctl", "KORVA_Read", "KORVA_Write", "KORVA_Flush",
                 "KORVA_SetRcvEvent", "KORVA_GetErrorString"]

SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "msvcrt.dll", "ws2_32.dll", "winmm.dll"}


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
            print(f"FAILED  {what}{': ' + str(detail) if detail else ''}")


def returns_by_function(objdump, path):
    """Maps each function's start address to the `ret` operands of its body
    (0 for a plain `ret`), as objdump disassembles the .text section."""
    text = subprocess.run([objdump, "-d", "--no-show-raw-insn", "-j", ".text", path],
                          check=True, capture_output=True, text=True).stdout
    rets, current = {}, None
    for line in text.splitlines():
        label = re.match(r"^([0-9a-f]+) <([^>]+)>:$", line)
        if label:
            current = int(label.group(1), 16)
            rets[current] = []
            continue
        insn = re.match(r"^\s*[0-9a-f]+:\s+(?:repz |rep |bnd )?(ret[lwq]?)\b\s*(\S*)", line)
        if insn and current is not None:
            operand = insn.group(2)
            rets[current].append(int(operand.lstrip("$"), 16) if operand else 0)
    return rets


def exported(pe):
    return {s.name.decode(): (s.ordinal, s.address) for s in pe.DIRECTORY_ENTRY_EXPORT.symbols if s.name}


MACHINES = {"i686": "IMAGE_FILE_MACHINE_I386", "x86_64": "IMAGE_FILE_MACHINE_AMD64"}


def check_common(checks, pe, module, machine):
    i386 = pe.FILE_HEADER.Machine == pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"]
    checks.check(pe.FILE_HEADER.Machine == pefile.MACHINE_TYPE[MACHINES[machine]], f"machine {MACHINES[machine]}",
                 hex(pe.FILE_HEADER.Machine))
    checks.check(pe.DIRECTORY_ENTRY_EXPORT.name == module.encode(), "module name in the export table",
                 repr(pe.DIRECTORY_ENTRY_EXPORT.name))
    imported = [entry.dll.decode().lower() for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])]
    foreign = [d for d in imported if d not in SYSTEM_DLLS and not d.startswith("api-ms-win-")]
    checks.check(imported and not foreign, "only Windows system DLLs imported", foreign or imported)
    return i386


def check_api(checks, pe, objdump, path, i386):
    names_file = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "exported_names.txt")
    with open(names_file) as f:
        wanted = [line.strip() for line in f if line.strip() and not line.startswith("#")]
    found = exported(pe)
    missing = [n for n in wanted if n not in found]
    checks.check(not missing, f"all {len(wanted)} names exported under their plain names", f"missing {missing}")
    decorated = [n for n in found if "@" in n or n.startswith("_")]
    checks.check(not decorated, "no decorated export names", decorated)
    # The DLL reaches its own functions and globals directly: nothing of
    # it is imported, so a program's names can never take their place.
    own = [e.dll.decode() for e in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []) if e.dll.decode().lower() == "korva_api.dll"]
    checks.check(not own, "its own names never reached through an import", own)
    if i386:
        rets = returns_by_function(objdump, path)
        base = pe.OPTIONAL_HEADER.ImageBase
        for name in API_FUNCTIONS:
            body = rets.get(base + found[name][1]) if name in found else None
            checks.check(body and all(r == 0 for r in body), f"{name} is cdecl (the caller removes the arguments)",
                         f"ret operands {body}")


def check_mapper(checks, pe, objdump, path, i386):
    found = exported(pe)
    unnamed = [s.ordinal for s in pe.DIRECTORY_ENTRY_EXPORT.symbols if not s.name]
    checks.check(not unnamed, "every export has a name", f"ordinals {unnamed}")
    checks.check(set(found) == set(MAPPER_EXPORTS), "export names",
                 f"missing {sorted(set(MAPPER_EXPORTS) - set(found))}, extra {sorted(set(found) - set(MAPPER_EXPORTS))}")
    for name, (ordinal, _, target) in MAPPER_EXPORTS.items():
        if name not in found:
            continue
        checks.check(found[name][0] == ordinal, f"{name} at ordinal {ordinal}", f"ordinal {found[name][0]}")
        if target != name and target in found:
            checks.check(found[name][1] == found[target][1], f"{name} is the function of {target}",
                         f"{found[name][1]:#x} against {found[target][1]:#x}")
    if i386:
        rets = returns_by_function(objdump, path)
        base = pe.OPTIONAL_HEADER.ImageBase
        for name, (_, argbytes, _) in MAPPER_EXPORTS.items():
            body = rets.get(base + found[name][1]) if name in found else None
            checks.check(body and all(r == argbytes for r in body), f"{name} removes {argbytes} argument bytes",
                         f"ret operands {body}")

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
    for key, value in MAPPER_VERSION_STRINGS.items():
        checks.check(strings.get(key) == value, f"version string {key}", repr(strings.get(key)))


def check_client(checks, pe, machine):
    checks.check(pe.FILE_HEADER.Machine == pefile.MACHINE_TYPE[MACHINES[machine]], f"machine {MACHINES[machine]}",
                 hex(pe.FILE_HEADER.Machine))
    names = []
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        if entry.dll.decode().lower() == "korva_mapper_peak.dll":
            names += [i.name.decode() if i.name else f"#{i.ordinal}" for i in entry.imports]
    checks.check("CAN_Init" in names, "CAN_Init imported from korva_mapper_peak.dll", names)
    wrong = [n for n in names if n not in MAPPER_EXPORTS]
    checks.check(not wrong, "only plain export names imported", wrong)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--objdump", default="i686-w64-mingw32-objdump")
    parser.add_argument("--machine", choices=sorted(MACHINES), default="i686")
    parser.add_argument("module", choices=["korva_api", "korva_mapper_peak", "peak_client"])
    parser.add_argument("dll")
    args = parser.parse_args()
    checks = Checks()
    pe = pefile.PE(args.dll)
    if args.module == "peak_client":
        check_client(checks, pe, args.machine)
        print(f"{checks.passed} passed, {checks.failed} failed")
        return 1 if checks.failed else 0
    i386 = check_common(checks, pe, args.module + ".dll", args.machine)
    if args.module == "korva_api":
        check_api(checks, pe, args.objdump, args.dll, i386)
    else:
        check_mapper(checks, pe, args.objdump, args.dll, i386)
    print(f"{checks.passed} passed, {checks.failed} failed")
    return 1 if checks.failed else 0


if __name__ == "__main__":
    sys.exit(main())
