"""What every part of the tool shares: its error, and showing input in
messages so that nothing from an input reaches a terminal raw."""

import os
import re
from pathlib import Path

PROGRAM = "challenge-set"
SOURCE = Path(os.path.realpath(__file__)).parent.parent.parent
QUOTE_LIMIT = 80
# A column's name is shown whole up to this: Blackboard's end in the id that
# tells two apart ("Exercise [Total Pts: 10 Score] |123456").
COLUMN_NAME_LIMIT = 200
KIB, MIB = 1024, 1024 * 1024
# Control characters, and those that reorder or hide text on a terminal.
UNSAFE = re.compile("[\x00-\x1f\x7f-\x9f\u200b-\u200f\u2028-\u202e\u2060-\u2064\ufeff\udc80-\udcff]")


class SetError(Exception):
    """A problem the setter can fix; the message says where."""


def escaped(text):
    """Text from an input (a path, a name) as a message may show it: each
    control character written as an escape, so that none acts on a terminal."""
    if isinstance(text, bytes):
        text = text.decode("utf-8", errors="surrogateescape")
    text = str(text)

    def escape(match):
        code = ord(match.group())
        if 0xDC80 <= code <= 0xDCFF:  # an undecodable byte
            return f"\\x{code - 0xDC00:02x}"
        return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}"

    return UNSAFE.sub(escape, text)


def shown(text, limit=QUOTE_LIMIT):
    """A piece of input for a message: quoted, escaped, and cut to about 80
    characters so that one huge line cannot make a huge message."""
    if isinstance(text, bytes):
        text = text.decode("utf-8", errors="surrogateescape")
    more = len(text) - limit
    quoted = "'" + escaped(text[:limit]).replace("'", "\\'") + "'"
    return quoted + (f" (and {more} more characters)" if more > 0 else "")


def shown_column(name):
    """A column's name for a message: whole up to COLUMN_NAME_LIMIT."""
    return shown(name, COLUMN_NAME_LIMIT)


def size_text(limit):
    return f"{limit // MIB} MiB" if limit >= MIB else f"{limit // KIB} KiB"


def numbered_problems(problems, limit=20):
    """Several `file:line: reason` lines as one message: the first `limit`,
    then how many more there were."""
    lines = problems[:limit]
    if len(problems) > limit:
        lines.append(f"and {len(problems) - limit} more")
    return "\n  ".join(lines)


WEB_ADDRESS = re.compile(r"https?://(?:[A-Za-z0-9](?:[A-Za-z0-9.-]*[A-Za-z0-9])?|\[[0-9A-Fa-f:.]+\])"
                         r"(?::([0-9]{1,5}))?(/(?:[A-Za-z0-9._~!$&'()*+,;=:@/-]|%[0-9A-Fa-f]{2})*)?")


def web_address(text, option):
    """An http:// or https:// address as links are made from it: a host, a
    port that can be, a path; no credentials, query, fragment or blank."""
    found = WEB_ADDRESS.fullmatch(text)
    if not found or (found.group(1) and not 0 < int(found.group(1)) < 65536):
        raise SetError(f"{option}: {shown(text)} is no http:// or https:// address with a host "
                       "(https://example.org/set/): no blank, credentials, query or fragment")
    return text
