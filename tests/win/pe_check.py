#!/usr/bin/env python3
"""Checks a shipped Windows program's PE headers against what Windows 7 can load.

    pe_check.py EXPECTATIONS IMPORTS ARCH PROGRAM FILE

EXPECTATIONS (tests/data/win/pe-headers.txt) gives the machine type of each ARCH, the
subsystem of each PROGRAM and the newest Windows version the headers may ask for; IMPORTS
(tests/data/win/win7-imports.txt) lists DLL!function for every function the program may
import, with the builds it is exported to when that is not both. A 32-bit program is read here rather than run: this machine runs no 32-bit process.
Prints one line per finding and exits 1 when there is any.
"""
import struct
import sys


def read_expectations(path):
    machines, subsystems, max_version = {}, {}, None
    for line in open(path, encoding="utf-8"):
        fields = line.split("#", 1)[0].split()
        if not fields:
            continue
        if fields[0] == "machine":
            machines[fields[1]] = int(fields[2], 0)
        elif fields[0] == "subsystem":
            subsystems[fields[1]] = int(fields[2], 0)
        elif fields[0] == "max-os-version":
            max_version = tuple(int(part) for part in fields[1].split("."))
        else:
            raise SystemExit(f"{path}: unknown line: {line.strip()}")
    return machines, subsystems, max_version


def read_allowed_imports(path, arch):
    allowed = set()
    for line in open(path, encoding="utf-8"):
        fields = line.split("#", 1)[0].split()
        if not fields or (len(fields) > 1 and arch not in fields[1:]):
            continue
        dll, function = fields[0].split("!", 1)
        allowed.add((dll.lower(), function))
    return allowed


class Image:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        coff = pe + 4
        (self.machine, sections, _, _, _, optional_size, _) = struct.unpack_from("<HHIIIHH", data, coff)
        optional = coff + 20
        self.magic = struct.unpack_from("<H", data, optional)[0]
        self.wide = self.magic == 0x20B  # PE32+: 64-bit pointers and thunks
        if self.magic not in (0x10B, 0x20B):
            raise ValueError(f"unknown optional header magic 0x{self.magic:X}")
        # The version fields sit at the same offsets in PE32 and PE32+.
        (self.os_major, self.os_minor, _, _, self.subsystem_major,
         self.subsystem_minor) = struct.unpack_from("<6H", data, optional + 40)
        self.subsystem = struct.unpack_from("<H", data, optional + 68)[0]
        directories = optional + (112 if self.wide else 96)
        self.import_rva = struct.unpack_from("<I", data, directories + 8)[0]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            size, rva, raw_size, raw_offset = struct.unpack_from("<IIII", data, table + 40 * i + 8)
            self.sections.append((rva, max(size, raw_size), raw_offset))

    def offset(self, rva):
        for start, size, raw in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError(f"RVA 0x{rva:X} is in no section")

    def text(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode("ascii")

    def imports(self):
        found = []
        if self.import_rva == 0:
            return found
        descriptor = self.offset(self.import_rva)
        thunk_format, ordinal_flag = ("<Q", 1 << 63) if self.wide else ("<I", 1 << 31)
        thunk_size = struct.calcsize(thunk_format)
        while True:
            lookup, _, _, name, address = struct.unpack_from("<5I", self.data, descriptor)
            if lookup == 0 and name == 0 and address == 0:
                return found
            dll = self.text(name)
            at = self.offset(lookup or address)
            while True:
                thunk = struct.unpack_from(thunk_format, self.data, at)[0]
                if thunk == 0:
                    break
                if thunk & ordinal_flag:
                    found.append((dll, f"#{thunk & 0xFFFF}"))
                else:
                    found.append((dll, self.text((thunk & 0x7FFFFFFF) + 2)))
                at += thunk_size
            descriptor += 20


def main():
    if len(sys.argv) != 6:
        raise SystemExit(__doc__)
    expectations, imports_list, arch, program, path = sys.argv[1:]
    machines, subsystems, max_version = read_expectations(expectations)
    allowed = read_allowed_imports(imports_list, arch)
    try:
        image = Image(open(path, "rb").read())
    except (OSError, ValueError, struct.error) as error:
        print(f"{path}: not a readable PE image ({error}); is its build made? (make mingw)")
        return 1
    findings = []
    if image.machine != machines[arch]:
        findings.append(f"machine 0x{image.machine:X}, expected 0x{machines[arch]:X} ({arch})")
    if image.wide != (machines[arch] == 0x8664):
        findings.append(f"optional header magic 0x{image.magic:X} does not fit {arch}")
    if image.subsystem != subsystems[program]:
        findings.append(f"subsystem {image.subsystem}, expected {subsystems[program]} ({program})")
    for what, version in (("operating system", (image.os_major, image.os_minor)),
                          ("subsystem", (image.subsystem_major, image.subsystem_minor))):
        if version > max_version:
            findings.append(f"{what} version {version[0]}.{version[1]} is newer than "
                            f"{max_version[0]}.{max_version[1]}")
    imported = image.imports()
    if not imported:
        findings.append("no imports read")
    for dll, function in imported:
        if (dll.lower(), function) not in allowed:
            findings.append(f"imports {dll}!{function}, which is not in {imports_list}")
    for finding in findings:
        print(f"{path}: {finding}")
    print(f"{path}: {arch} {program}: machine 0x{image.machine:X}, subsystem {image.subsystem}, "
          f"os {image.os_major}.{image.os_minor}, subsystem version "
          f"{image.subsystem_major}.{image.subsystem_minor}, {len(imported)} imports, "
          f"{len(findings)} findings")
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main())
