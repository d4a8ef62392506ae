#!/usr/bin/env python3
"""Runs the program once with its standard input redirected and compares every
byte it writes with an expected transcript; the exit status must be 0 and
standard error empty. Where standard output cannot be written (a full disk, a
closed stream, a pipe whose reader has gone), the expected text is what stands on standard error instead,
and the exit status must be 1."""

import argparse
import os
import subprocess
import sys
import tempfile

from support import (emulator_environment, fill_template, load_references, report,
                     skip_unless_emulator_runs)
from challenge_set.executables import transcript_matches  # pylint: disable=wrong-import-order

def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--program", required=True)
    parser.add_argument("--emulator", default="", help="e.g. wine for a Windows build")
    parser.add_argument("--references", required=True)
    parser.add_argument("--input", required=True, help="input template")
    parser.add_argument("--expected", required=True, help="transcript as the native build writes it")
    parser.add_argument("--stdin", choices=("file", "closed"), default="file")
    parser.add_argument("--stdout", choices=("pipe", "closed", "full", "reader-gone"), default="pipe")
    return parser.parse_args()


def run(arguments, input_bytes):
    command = ([arguments.emulator] if arguments.emulator else []) + [arguments.program]
    with tempfile.TemporaryFile() as stdin_file:
        stdin_file.write(input_bytes)
        stdin_file.seek(0)
        closes = []
        if arguments.stdin == "closed":
            closes.append(0)
        stdout = subprocess.PIPE
        if arguments.stdout == "closed":
            closes.append(1)
        elif arguments.stdout == "full":
            stdout = open("/dev/full", "wb")  # pylint: disable=consider-using-with
        elif arguments.stdout == "reader-gone":
            reader, writer = os.pipe()
            os.close(reader)
            stdout = os.fdopen(writer, "wb")

        def close_descriptors():
            for descriptor in closes:
                os.close(descriptor)

        result = subprocess.run(
            command,
            stdin=stdin_file,
            stdout=stdout,
            stderr=subprocess.PIPE,
            preexec_fn=close_descriptors if closes else None,
            env=emulator_environment() if arguments.emulator else None,
            timeout=60,
            check=False,
        )
        if stdout is not subprocess.PIPE:
            stdout.close()
        return result


def main():
    arguments = parse_arguments()
    skip_unless_emulator_runs(arguments.emulator)
    with open(arguments.input, "rb") as template:
        input_bytes = fill_template(template.read(), load_references(arguments.references))
    with open(arguments.expected, "rb") as expected_file:
        expected = expected_file.read()

    result = run(arguments, input_bytes)
    windows = arguments.program.lower().endswith(".exe")
    writable = arguments.stdout == "pipe"
    failures = []
    if result.returncode != (0 if writable else 1):
        failures.append(f"exit status {result.returncode}, expected {0 if writable else 1}")
    if writable and result.stderr:
        failures.append(f"standard error not empty: {result.stderr!r}")
    actual = result.stdout if writable else result.stderr
    if not transcript_matches(actual, expected, windows):
        failures.append(f"{'transcript' if writable else 'standard error'} differs\n"
                        f"  expected: {expected!r}\n  actual:   {actual!r}")
    return report(failures)


if __name__ == "__main__":
    sys.exit(main())
