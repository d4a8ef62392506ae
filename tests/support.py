"""What the scripted tests share: the reference values and the input templates."""

import errno
import os
import subprocess
import sys
from pathlib import Path


def load_references(path):
    """The (user name, password) pair that the reference-values tool wrote."""
    lines = Path(path).read_bytes().split(b"\n")
    user_name, password = lines[0], lines[1]
    if len(user_name) != 3 or len(password) != 5:
        raise SystemExit(f"unexpected reference values in {path}")
    return user_name, password


def fill_template(template, references):
    """Puts the reference values, or variants of them, in place of placeholders."""
    user_name, password = references
    for placeholder, value in (
        (b"@USER_UPPER@", user_name.upper()),
        (b"@PASSWORD_UPPER@", password.upper()),
        (b"@USER@", user_name),
        (b"@PASSWORD@", password),
    ):
        template = template.replace(placeholder, value)
    return template


def report(failures):
    """Prints what went wrong and gives the script's exit status."""
    for failure in failures:
        print(failure)
    return 1 if failures else 0


SKIPPED = 77  # CTest's SKIP_RETURN_CODE for the tests of a cross build


def emulator_problem(emulator):
    """Why the emulator cannot run a program here, or None when it can. The
    answer is (skip, reason): skip is true when the machine itself is the
    cause, so the tests that need the emulator are skipped, not failed."""
    try:
        result = subprocess.run([emulator, "--version"], stdin=subprocess.DEVNULL,
                                capture_output=True, timeout=60, check=False)
    except FileNotFoundError:
        return False, f"Wine cannot start: {emulator} is not installed"
    except OSError as error:
        if error.errno == errno.ENOEXEC:
            return True, NO_32_BIT
        return False, f"Wine cannot start: {emulator}: {error.strerror}"
    if result.returncode == 0:
        return None
    # The `wine` wrapper execs the 32-bit loader, which such a kernel refuses.
    if b"Exec format error" in result.stderr:
        return True, NO_32_BIT
    first_line = (result.stderr.strip().splitlines() or [b"no message"])[0].decode(errors="replace")
    return False, f"Wine cannot start: {emulator} --version exited {result.returncode}: {first_line}"


NO_32_BIT = ("this machine runs no 32-bit programs (its kernel has 32-bit emulation disabled), "
             "so 32-bit Wine cannot start")


def emulator_environment():
    """Wine's own diagnostics go to standard error, which the tests read as
    the program's; they are off unless asked for."""
    return dict(os.environ, WINEDEBUG=os.environ.get("WINEDEBUG", "-all"))


def skip_unless_emulator_runs(emulator):
    """Ends the test as skipped, with the reason in one line, when the
    emulator cannot run the program on this machine."""
    if not emulator:
        return
    problem = emulator_problem(emulator)
    if problem is not None:
        print(f"skipped: {problem[1]}")
        sys.exit(SKIPPED)
