#!/usr/bin/env python3
"""Checks what a Windows user gets (the set tool's own check): a console
program of the given width that imports only DLLs Windows ships, with a
manifest that runs it as the invoking user, and a version resource."""

import argparse
import sys

from support import report
from challenge_set.executables import windows_defects  # pylint: disable=wrong-import-order


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--program", required=True)
    parser.add_argument("--bits", type=int, choices=(32, 64), required=True)
    arguments = parser.parse_args()
    failures = windows_defects(arguments.program, arguments.bits)
    if not failures:
        print(f"a {arguments.bits}-bit console program as a Windows user should get it")
    return report(failures)


if __name__ == "__main__":
    sys.exit(main())
