#!/usr/bin/env python3
"""Fails if the reference user name or password stands whole, as contiguous
bytes, anywhere in one of the given files, or if `strings`, in any of its
encodings, shows a short line that holds every character of both values (the
character array in order is such a line: the pool a blind search needs)."""

import argparse
import subprocess
import sys

from support import load_references

ENCODINGS = "sSbBlL"  # 7- and 8-bit, 16- and 32-bit in both byte orders
POOL_LINE_LIMIT = 32


def pool_lines(path, references):
    """The short lines that `strings` itself prints and that hold the pool."""
    wanted = set(b"".join(references))
    found = []
    for encoding in ENCODINGS:
        lines = subprocess.run(["strings", "-a", "-n", "4", "-e", encoding, path],
                               capture_output=True, check=True).stdout.split(b"\n")
        found += [f"-e {encoding}: {line!r}" for line in lines
                  if len(line) <= POOL_LINE_LIMIT and wanted <= set(line)]
    return found


def findings(path, references):
    with open(path, "rb") as binary:
        content = binary.read()
    return [f"{path}: holds a reference value at offset {content.find(value)}"
            for value in references if value in content] + \
        [f"{path}: strings shows the characters of both values in {line}"
         for line in pool_lines(path, references)]


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
