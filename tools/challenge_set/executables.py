"""What an executable must show before anyone is handed it: the Windows
format checks, the transcripts, and whether 32-bit Wine can run it here."""

import errno
import re
import struct
import subprocess
import xml.etree.ElementTree as ElementTree
from pathlib import Path

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


def windows_defects(program, bits):
    """Why a Windows executable is not what a Windows user should get: a
    console program of the given width (PE32 for Intel 80386, or PE32+ for
    x86-64) that imports only DLLs Windows ships, with an embedded manifest
    that runs it as the invoking user, and a version resource."""
    with open(program, "rb") as executable:
        try:
            pe = PortableExecutable(executable.read())
        except (ValueError, struct.error) as error:
            return [f"not a Windows program: {error}"]
    failures = []
    if (pe.magic, pe.machine, pe.subsystem) != (*FORMATS[bits], CONSOLE_SUBSYSTEM):
        failures.append(f"not a {bits}-bit console program: magic {pe.magic:#x}, "
                        f"machine {pe.machine:#x}, subsystem {pe.subsystem}")
    dlls = pe.imported_dlls()
    foreign = [dll for dll in dlls
               if dll.lower() not in SYSTEM_DLLS and not dll.lower().startswith("api-ms-win-crt-")]
    if foreign:
        failures.append(f"imports DLLs that Windows does not ship: {foreign}")

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


NATIVE_PAUSE = b"Press any key to continue . . . \n"


def transcript_matches(actual, expected, windows):
    """Whether a run wrote the expected transcript, which is the native
    build's. A Windows console program ends its lines with CRLF, and its
    pause text is the host's own, so there only the start of that is fixed."""
    if not windows:
        return actual == expected
    pauses = expected.endswith(NATIVE_PAUSE)
    if pauses:
        expected = expected[:-len(NATIVE_PAUSE)]
    expected = expected.replace(b"\n", b"\r\n")
    if not pauses:
        return actual == expected
    # The host's pause line, ended or not by the key press, and nothing after it.
    return actual.startswith(expected) and \
        re.fullmatch(rb"Press any key[^\r\n]*(?:\r?\n)?", actual[len(expected):]) is not None


NO_32_BIT = ("this machine runs no 32-bit programs (its kernel has 32-bit emulation disabled), "
             "so 32-bit Wine cannot start")


# Debian's `wine` wrapper falls back to the 64-bit loader when wine32:i386 is
# missing: it then starts, but runs no 32-bit .exe. .ci/install records why it
# could not install wine32 (a mirror in mid-sync serving a broken i386 index).
WINE_LOADERS = Path("/usr/lib/wine")
WINE32_RECORD = Path("/var/lib/login-challenge/wine32-not-installed")


def wine32_problem(emulator):
    """(skip, reason) when `emulator` is Debian's wrapper without its 32-bit
    loader, else None."""
    if Path(emulator).name != "wine" or (WINE_LOADERS / "wine").exists() or \
            not (WINE_LOADERS / "wine64").exists():
        return None
    try:
        return True, f"32-bit Wine could not be installed: {WINE32_RECORD.read_text().strip()}"
    except OSError:
        return False, ("32-bit Wine is not installed: dpkg --add-architecture i386 && "
                       "apt-get update && apt-get install -y wine32:i386")


def emulator_problem(emulator, environment=None):
    """Why the emulator cannot run a program here, or None when it can. The
    answer is (skip, reason): skip is true when the machine itself is the
    cause, so what needs the emulator is skipped, not failed."""
    missing = wine32_problem(emulator)
    if missing is not None:
        return missing
    try:
        result = subprocess.run([emulator, "--version"], stdin=subprocess.DEVNULL,
                                capture_output=True, timeout=60, check=False, env=environment)
    except FileNotFoundError:
        return False, f"Wine cannot start: {emulator} is not installed"
    except OSError as error:
        if error.errno == errno.ENOEXEC:
            return True, NO_32_BIT
        return False, f"Wine cannot start: {emulator}: {error.strerror}"
    if result.returncode == 0:
        return None
    # The `wine` wrapper execs the 32-bit loader, which such a kernel refuses.
    if b"Exec format error" in result.stderr:
        return True, NO_32_BIT
    first_line = (result.stderr.strip().splitlines() or [b"no message"])[0].decode(errors="replace")
    return False, f"Wine cannot start: {emulator} --version exited {result.returncode}: {first_line}"
