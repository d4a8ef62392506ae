#!/usr/bin/env python3
"""Runs the cross-built program once through its emulator, before the tests
that need it: says in one line why Wine cannot start, if it cannot, and
otherwise lets Wine set up its prefix while nothing else runs."""

import argparse
import subprocess
import sys

from support import SKIPPED, emulator_environment, emulator_problem


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--emulator", required=True)
    parser.add_argument("--program", help="the program to run; without it, only the check")
    arguments = parser.parse_args()

    problem = emulator_problem(arguments.emulator)
    if problem is not None:
        skip, reason = problem
        print(f"skipped: {reason}" if skip else reason)
        return SKIPPED if skip else 1
    if not arguments.program:
        return 0
    result = subprocess.run([arguments.emulator, arguments.program], stdin=subprocess.DEVNULL,
                            capture_output=True, env=emulator_environment(), timeout=240,
                            check=False)
    if not result.stdout.startswith(b"Username: "):
        print(f"Wine started but did not run the program: exit {result.returncode}, "
              f"output {result.stdout[:60]!r}, errors {result.stderr[:200]!r}")
        return 1
    print(f"{arguments.emulator} runs the program")
    return 0


if __name__ == "__main__":
    sys.exit(main())
