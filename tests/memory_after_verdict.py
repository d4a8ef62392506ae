#!/usr/bin/env python3
"""Runs failed attempts with standard input on a pipe, waits until the program
sits at the pause, reads every readable mapping of the live process through
/proc/PID/mem and fails if a reference value that the attempt built stands
whole anywhere in it: after a wrong user name (which builds the user name),
and after the right user name with a wrong password (which builds both; the
user name then also stands in what the learner typed, so only the password
is looked for). To show that it read the memory at all, it must find what
the learner typed, or it fails."""

import argparse
import os
import re
import select
import subprocess
import sys
import time

from support import load_references, report

PAUSE = b"Press any key to continue . . . "


def wait_for_pause(process, seconds=30):
    output = b""
    deadline = time.monotonic() + seconds
    while PAUSE not in output:
        remaining = deadline - time.monotonic()
        if remaining <= 0 or not select.select([process.stdout], [], [], remaining)[0]:
            raise AssertionError(f"the program did not reach the pause: {output!r}")
        chunk = os.read(process.stdout.fileno(), 4096)
        if not chunk:
            raise AssertionError(f"the program ended before the pause: {output!r}")
        output += chunk


# A short std::string as libstdc++ keeps it in place: a pointer to its own
# buffer 16 bytes on, the size 1, then the character and a NUL.
ONE_CHARACTER = re.compile(rb"(?s)(?=.{8}\x01\x00{7}[a-z0-9]\x00)")


def one_character_strings(start, content, characters):
    """The character array's entries left in memory: strings of one of
    `characters` alone, at an address whose pointer says they are strings."""
    return [chr(content[offset + 16]) for offset in
            (match.start() for match in ONE_CHARACTER.finditer(content))
            if offset % 8 == 0 and content[offset + 16] in characters and
            int.from_bytes(content[offset:offset + 8], "little") == start + offset + 16]


def readable_memory(pid):
    """The bytes of every readable mapping, one piece per mapping."""
    with open(f"/proc/{pid}/maps", encoding="ascii") as maps, \
            open(f"/proc/{pid}/mem", "rb", buffering=0) as memory:
        for line in maps:
            match = re.match(r"([0-9a-f]+)-([0-9a-f]+) r", line)
            if not match:
                continue
            start, end = (int(bound, 16) for bound in match.groups())
            try:
                memory.seek(start)
                yield line.strip(), start, memory.read(end - start)
            except OSError:
                continue  # [vvar] and the like cannot be read this way


TYPED = b"nobody"  # a wrong user name, which stands in the input buffer


def values_at_pause(program, input_bytes, values):
    """The places where a value stands whole while the program pauses, and
    whether what the learner typed was found (proof that memory was read)."""
    process = subprocess.Popen(  # pylint: disable=consider-using-with
        [program], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        process.stdin.write(input_bytes)
        process.stdin.flush()
        wait_for_pause(process)
        memory = list(readable_memory(process.pid))
        found = [f"{value!r} in {mapping}" for mapping, _, content in memory
                 for value in values if value in content]
        characters = set(b"".join(values))
        found += [f"the entries {entries} of the character array in {mapping}"
                  for mapping, start, content in memory
                  for entries in [one_character_strings(start, content, characters)] if entries]
        if not any(TYPED in content for _, _, content in memory):
            found.append(f"read no memory of the process: what was typed, {TYPED!r}, "
                         f"is in none of the {len(memory)} mappings read")
    finally:
        process.stdin.close()  # ends the pause
        process.stdout.close()
        process.wait(timeout=30)
    return found


def memory_findings(program, references):
    """What each failed attempt leaves of the values it built, as messages."""
    user_name, password = references
    attempts = {
        "wrong user name": (TYPED + b"\nnothing\n", [user_name, password]),
        "wrong password": (user_name + b"\n" + bytes(reversed(password)) + b"\n" + TYPED + b"\n",
                           [password]),
    }
    return [f"{program}, {name}: {finding}"
            for name, (input_bytes, values) in attempts.items()
            for finding in values_at_pause(program, input_bytes, values)]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--program", required=True)
    parser.add_argument("--references", required=True)
    arguments = parser.parse_args()
    failures = memory_findings(arguments.program, load_references(arguments.references))
    if not failures:
        print("no reference value in the memory of either paused attempt")
    return report(failures)


if __name__ == "__main__":
    sys.exit(main())
