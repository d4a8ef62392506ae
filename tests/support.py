"""What the scripted tests share: the reference values and the input templates."""

import os
import sys
from pathlib import Path

# The checks the set tool makes of what it ships are the ones the tests make.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))
# pylint: disable=wrong-import-position,unused-import
from challenge_set.executables import emulator_problem  # noqa: E402,F401


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
