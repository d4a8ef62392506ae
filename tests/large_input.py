#!/usr/bin/env python3
"""Feeds the program input far larger than any answer, through a pipe, and
checks that its peak memory stays that of a short attempt and that the verdict
is still right: one huge word is a wrong user name, and a long run of white
space before the right pair still gives "Correct"."""

import argparse
import subprocess
import sys
import tempfile
import threading

from support import load_references, report

CHUNK = 1 << 20
ALLOWED_GROWTH_KIB = 1024


def run_streamed(program, pieces):
    """Runs the program with the pieces written to its standard input; returns
    its output, exit status and peak resident memory in KiB. GNU time measures
    the peak: a child forked from this interpreter would count its pages too."""
    with tempfile.NamedTemporaryFile() as peak_file:
        output, status = run_measured(["/usr/bin/time", "-q", "-f", "%M", "-o", peak_file.name, program],
                                      pieces)
        return output, status, int(peak_file.read().split()[-1])


def run_measured(command, pieces):
    process = subprocess.Popen(command, stdin=subprocess.PIPE,  # pylint: disable=consider-using-with
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)

    def feed():
        try:
            for piece in pieces:
                process.stdin.write(piece)
        except BrokenPipeError:
            pass
        finally:
            try:
                process.stdin.close()
            except BrokenPipeError:
                pass

    feeder = threading.Thread(target=feed)
    feeder.start()
    output = process.stdout.read()
    process.stdout.close()
    feeder.join()
    return output, process.wait()


def repeated(byte_pattern, mebibytes):
    chunk = (byte_pattern * (CHUNK // len(byte_pattern) + 1))[:CHUNK]
    return (chunk for _ in range(mebibytes))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--program", required=True)
    parser.add_argument("--references", required=True)
    parser.add_argument("--mebibytes", type=int, default=64)
    parser.add_argument("--no-memory-check", action="store_true",
                        help="for sanitized builds, whose memory says nothing")
    arguments = parser.parse_args()
    user_name, password = load_references(arguments.references)
    pair = user_name + b"\n" + password + b"\n"
    failures = []

    short_output, short_status, short_peak = run_streamed(arguments.program, [pair])
    if short_status != 0 or not short_output.endswith(b"Inside of functionCorrect\n"):
        failures.append(f"the short attempt failed: {short_status} {short_output[-40:]!r}")

    word_output, word_status, word_peak = run_streamed(
        arguments.program, repeated(user_name, arguments.mebibytes))
    if word_status != 0 or not word_output.endswith(b"End of UsernameTry Again\nPress any key to continue . . . \n"):
        failures.append(f"one huge word: status {word_status}, output ends {word_output[-60:]!r}")

    space_output, space_status, space_peak = run_streamed(
        arguments.program, [*repeated(b" \t\n\v\f\r", arguments.mebibytes), pair])
    if space_status != 0 or space_output != short_output:
        failures.append(f"white space, then the pair: status {space_status}, output ends {space_output[-40:]!r}")

    print(f"peak KiB: short attempt {short_peak}, {arguments.mebibytes} MiB word {word_peak}, "
          f"{arguments.mebibytes} MiB of white space {space_peak}")
    if not arguments.no_memory_check:
        for name, peak in (("a huge word", word_peak), ("a run of white space", space_peak)):
            if peak > short_peak + ALLOWED_GROWTH_KIB:
                failures.append(f"{name} grew the peak memory from {short_peak} to {peak} KiB")
    return report(failures)


if __name__ == "__main__":
    sys.exit(main())
