#!/usr/bin/env python3
"""Fails if the reference user name or password stands whole, as contiguous
bytes, anywhere in one of the given files, or if a script that reads no code
gets the pool a blind search needs: a short line of `strings`, in any of its
encodings, or a run of letters and digits read at a stride or through
separators (the set tool's own model of such scripts), that holds every
character of both values among few others."""

import argparse
import subprocess
import sys

from support import load_references
from challenge_set.extractors import opening_run  # pylint: disable=wrong-import-order

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
    run = opening_run(content, frozenset(b"".join(references)))
    if run is not None:
        problems.append(f"{path}: a run of letters and digits gives the pool of both values: "
                        f"{run[:40]!r}")
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
