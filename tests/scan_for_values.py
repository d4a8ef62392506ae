#!/usr/bin/env python3
"""Fails if the reference user name or password stands whole, as contiguous
bytes, anywhere in one of the given files, or if `strings`, in any of its
encodings, shows a short line that holds every character of both values (the
character array in order is such a line: the pool a blind search needs). The
set tool's own reading of `strings` must find exactly the lines it prints."""

import argparse
import subprocess
import sys

from support import load_references
from challenge_set.executables import short_lines  # pylint: disable=wrong-import-order

ENCODINGS = "sSbBlL"  # 7- and 8-bit, 16- and 32-bit in both byte orders
POOL_LINE_LIMIT = 32


def printed_lines(path):
    """The short lines `strings` prints, by encoding."""
    return {encoding: [line for line in subprocess.run(
        ["strings", "-a", "-n", "4", "-e", encoding, path], capture_output=True,
        check=True).stdout.split(b"\n") if 4 <= len(line) <= POOL_LINE_LIMIT]
        for encoding in ENCODINGS}


def pool_lines(printed, references):
    """The short lines that `strings` prints and that hold the pool."""
    wanted = set(b"".join(references))
    return [f"-e {encoding}: {line!r}" for encoding, lines in printed.items()
            for line in lines if wanted <= set(line)]


def findings(path, references):
    with open(path, "rb") as binary:
        content = binary.read()
    printed = printed_lines(path)
    problems = [f"{path}: holds a reference value at offset {content.find(value)}"
                for value in references if value in content]
    problems += [f"{path}: strings shows the characters of both values in {line}"
                 for line in pool_lines(printed, references)]
    differ = short_lines(content) ^ {line for lines in printed.values() for line in lines}
    if differ:
        problems.append(f"{path}: the set tool reads {len(differ)} short lines otherwise than "
                        f"strings, such as {sorted(differ)[:3]}")
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--references", required=True)
    parser.add_argument("files", nargs="+")
    arguments = parser.parse_args()
    references = load_references(arguments.references)
    problems = [problem for path in arguments.files for problem in findings(path, references)]
    for problem in problems:
        print(problem)
    if not problems:
        print(f"no reference value and no pool in {len(arguments.files)} file(s)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
