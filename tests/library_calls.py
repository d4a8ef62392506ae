#!/usr/bin/env python3
"""Records, through a preloaded shim, what the C library's comparison and search
routines receive during an attempt with the right user name and a wrong
password: neither reference value may be among it. A control program that
compares std::strings the usual way shows that the shim does see such calls."""

import argparse
import os
import subprocess
import sys
import tempfile

from support import load_references, report


def recorded_calls(command, shim, input_bytes=b""):
    with tempfile.TemporaryDirectory() as directory:
        log = os.path.join(directory, "calls.log")
        environment = dict(os.environ, LD_PRELOAD=shim, LOGIN_CHALLENGE_CALL_LOG=log)
        subprocess.run(command, input=input_bytes, env=environment, stdout=subprocess.DEVNULL,
                       timeout=60, check=False)
        with open(log, "rb") as calls:
            return calls.read()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--program", required=True)
    parser.add_argument("--control", required=True)
    parser.add_argument("--shim", required=True)
    parser.add_argument("--references", required=True)
    arguments = parser.parse_args()
    user_name, password = load_references(arguments.references)
    failures = []

    control = recorded_calls([arguments.control, password.decode(), password.decode()],
                             arguments.shim)
    if password not in control:
        failures.append(f"the shim missed the control's std::string comparison: {control!r}")

    wrong_password = bytes(reversed(password))
    attempt = recorded_calls([arguments.program], arguments.shim,
                             user_name + b"\n" + wrong_password + b"\n")
    if not attempt.startswith(b"loaded\n"):
        failures.append("the shim was not loaded into the attempt")
    for name, value in (("user name", user_name), ("password", password)):
        if value in attempt:
            failures.append(f"a C library routine was handed the reference {name}")

    return report(failures)


if __name__ == "__main__":
    sys.exit(main())
