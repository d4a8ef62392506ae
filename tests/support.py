"""What the scripted tests share: the reference values and the input templates."""

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
