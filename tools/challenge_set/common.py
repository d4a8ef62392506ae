"""What every part of the tool shares: its error, reading files within a cap,
and quoting input in messages."""

import os
import stat
from pathlib import Path

PROGRAM = "challenge-set"
SOURCE = Path(__file__).resolve().parent.parent.parent
QUOTE_LIMIT = 80
KIB, MIB = 1024, 1024 * 1024


class SetError(Exception):
    """A problem the setter can fix; the message says where."""


def shown(text, limit=QUOTE_LIMIT):
    """A piece of input for a message: quoted, and cut to about 80 characters
    so that one huge line cannot make a huge message."""
    if isinstance(text, bytes):
        text = text.decode("utf-8", errors="replace")
    if len(text) > limit:
        return repr(text[:limit]) + f" (and {len(text) - limit} more characters)"
    return repr(text)


def size_text(limit):
    return f"{limit // MIB} MiB" if limit >= MIB else f"{limit // KIB} KiB"


def read_capped(path, what, limit):
    """The bytes of a file of at most `limit` bytes. A device or a pipe is read
    only up to the cap, so /dev/zero or /dev/urandom cannot exhaust memory."""
    try:
        with open(path, "rb") as source:
            content = source.read(limit + 1)
            kind = os.fstat(source.fileno()).st_mode
    except OSError as error:
        raise SetError(f"{path}: cannot read the {what}: {error.strerror}") from error
    if stat.S_ISDIR(kind):
        raise SetError(f"{path}: the {what} is a folder, not a file")
    if len(content) > limit:
        raise SetError(f"{path}: the {what} is larger than {size_text(limit)}"
                       + ("" if stat.S_ISREG(kind) else " (it is not a regular file)"))
    return content


def numbered_problems(problems, limit=20):
    """Several `file:line: reason` lines as one message: the first `limit`,
    then how many more there were."""
    lines = problems[:limit]
    if len(problems) > limit:
        lines.append(f"and {len(problems) - limit} more")
    return "\n  ".join(lines)
