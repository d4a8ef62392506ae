#!/usr/bin/env python3
"""Checks what a Windows user gets: a console program of the given width
(PE32 for Intel 80386, or PE32+ for x86-64) that imports only DLLs Windows
ships, with an embedded application manifest that runs it as the invoking
user, and a version resource. It only reads the file."""

import argparse
import struct
import sys
import xml.etree.ElementTree as ElementTree

from support import report

# (optional header magic, machine) of each width.
FORMATS = {32: (0x10B, 0x14C), 64: (0x20B, 0x8664)}
MANIFEST_ARCHITECTURE = {32: "x86", 64: "amd64"}
CONSOLE_SUBSYSTEM = 3
RT_VERSION = 16
RT_MANIFEST = 24
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "ucrtbase.dll"}


class PortableExecutable:
    def __init__(self, content):
        self.content = content
        header = struct.unpack_from("<I", content, 0x3C)[0]
        if content[header:header + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        self.machine, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", content, header + 4)
        optional = header + 24
        self.magic = struct.unpack_from("<H", content, optional)[0]
        self.subsystem = struct.unpack_from("<H", content, optional + 68)[0]
        # PE32+ widens four fields of the optional header by four bytes each.
        directories = optional + (112 if self.magic == FORMATS[64][0] else 96)
        self.directories = [struct.unpack_from("<II", content, directories + 8 * i) for i in range(16)]
        table = optional + optional_size
        self.sections = [struct.unpack_from("<IIII", content, table + 40 * i + 8) for i in range(sections)]

    def offset(self, rva):
        for virtual_size, address, raw_size, raw_offset in self.sections:
            if address <= rva < address + max(virtual_size, raw_size):
                return rva - address + raw_offset
        raise ValueError(f"address {rva:#x} outside every section")

    def text_at(self, rva):
        start = self.offset(rva)
        return self.content[start:self.content.index(b"\0", start)].decode("ascii")

    def imported_dlls(self):
        rva = self.directories[1][0]
        names = []
        while True:
            descriptor = struct.unpack_from("<IIIII", self.content, self.offset(rva))
            if not any(descriptor):
                return names
            names.append(self.text_at(descriptor[3]))
            rva += 20

    def resource(self, kind, identifier):
        """The bytes of a resource by type and id, whatever its language."""
        if not self.directories[2][0]:
            return None
        base = self.offset(self.directories[2][0])

        def entries(directory):
            named, numbered = struct.unpack_from("<HH", self.content, base + directory + 12)
            for i in range(named + numbered):
                yield struct.unpack_from("<II", self.content, base + directory + 16 + 8 * i)

        def child(directory, wanted):
            for name, target in entries(directory):
                if wanted is None or name == wanted:
                    return target & 0x7FFFFFFF
            return None

        by_type = child(0, kind)
        by_id = by_type is not None and child(by_type, identifier)
        language = by_id and child(by_id, None)
        if not language:
            return None
        rva, size = struct.unpack_from("<II", self.content, base + language)
        return self.content[self.offset(rva):self.offset(rva) + size]


def check(program, bits):
    with open(program, "rb") as executable:
        pe = PortableExecutable(executable.read())
    failures = []
    if (pe.magic, pe.machine, pe.subsystem) != (*FORMATS[bits], CONSOLE_SUBSYSTEM):
        failures.append(f"not a {bits}-bit console program: magic {pe.magic:#x}, "
                        f"machine {pe.machine:#x}, subsystem {pe.subsystem}")
    dlls = pe.imported_dlls()
    foreign = [dll for dll in dlls
               if dll.lower() not in SYSTEM_DLLS and not dll.lower().startswith("api-ms-win-crt-")]
    if foreign:
        failures.append(f"imports DLLs that Windows does not ship: {foreign}")
    print(f"imports: {dlls}")

    manifest = pe.resource(RT_MANIFEST, 1)
    if manifest is None:
        failures.append("no manifest resource (type 24, id 1)")
    else:
        elements = list(ElementTree.fromstring(manifest).iter())
        levels = [element.attrib for element in elements
                  if element.tag.endswith("}requestedExecutionLevel")]
        if levels != [{"level": "asInvoker", "uiAccess": "false"}]:
            failures.append(f"manifest asks for {levels}")
        architectures = [element.get("processorArchitecture") for element in elements
                         if element.tag.endswith("}assemblyIdentity")]
        if architectures != [MANIFEST_ARCHITECTURE[bits]]:
            failures.append(f"manifest names the architecture {architectures}")
    version = pe.resource(RT_VERSION, 1)
    if version is None or "login-challenge".encode("utf-16-le") not in version:
        failures.append("no version resource naming the product")
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--program", required=True)
    parser.add_argument("--bits", type=int, choices=sorted(FORMATS), required=True)
    arguments = parser.parse_args()
    failures = check(arguments.program, arguments.bits)
    return report(failures)


if __name__ == "__main__":
    sys.exit(main())
