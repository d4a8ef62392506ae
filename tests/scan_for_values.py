#!/usr/bin/env python3
"""Fails if the reference user name or password stands whole, as contiguous
bytes, anywhere in one of the given files."""

import argparse
import sys

from support import load_references


def findings(path, references):
    with open(path, "rb") as binary:
        content = binary.read()
    return [f"{path}: holds a reference value at offset {content.find(value)}"
            for value in references if value in content]


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
        print(f"no reference value in {len(arguments.files)} file(s)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
