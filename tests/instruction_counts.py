#!/usr/bin/env python3
"""Counts, with callgrind, the instructions of whole attempts whose answers
share 0, 1, 2, ... leading characters with a reference value. The counts must
not depend on how much of an answer was right."""

import argparse
import re
import subprocess
import sys
import tempfile

from support import load_references, report


def instructions(program, input_bytes):
    with tempfile.NamedTemporaryFile() as stdin_file:
        stdin_file.write(input_bytes)
        stdin_file.flush()
        stdin_file.seek(0)
        result = subprocess.run(
            ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", program],
            stdin=stdin_file, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=120,
            check=True)
    return int(re.search(rb"Collected : (\d+)", result.stderr).group(1))


def with_prefix(value, matching):
    """The value's first characters, then as many characters that differ from it."""
    return value[:matching] + b"#" * (len(value) - matching)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--program", required=True)
    parser.add_argument("--references", required=True)
    arguments = parser.parse_args()
    user_name, password = load_references(arguments.references)

    groups = {
        "wrong user names": [with_prefix(user_name, n) + b"\n" + password + b"\n"
                             for n in range(len(user_name))],
        "wrong passwords": [user_name + b"\n" + with_prefix(password, n) + b"\n"
                            for n in range(len(password))],
    }
    counts = {name: [instructions(arguments.program, attempt) for attempt in attempts]
              for name, attempts in groups.items()}
    failures = []
    for name, numbers in counts.items():
        print(f"{name}, by matching prefix: {numbers}")
        if len(set(numbers)) != 1:
            failures.append(f"{name}: the count depends on the matching prefix")
    # The measure itself must see a difference that is no secret: only a
    # matching user name builds the password.
    if counts["wrong user names"][0] == counts["wrong passwords"][0]:
        failures.append("callgrind did not tell a matching user name from a wrong one")
    return report(failures)


if __name__ == "__main__":
    sys.exit(main())
