"""The class list: learner ids from a plain list or from a CSV export, every
bad line reported at once, and the safe names the build uses for them."""

import csv
import re

from .common import MIB, SetError, numbered_problems, read_capped, shown

ROSTER_LIMIT = 16 * MIB
ID_PATTERN = re.compile(r"[A-Za-z0-9][A-Za-z0-9._@+-]{0,63}")
ID_RULE = ("use 1 to 64 ASCII letters, digits, '.', '_', '-', '@' and '+', "
           "starting with a letter or digit")


def decode_text(path, what, content):
    """UTF-8 text with or without a byte order mark."""
    if content.startswith(b"\xef\xbb\xbf"):
        content = content[3:]
    try:
        return content.decode("utf-8")
    except UnicodeDecodeError as error:
        line = content[:error.start].count(b"\n") + 1
        raise SetError(f"{path}:{line}: the {what} is not UTF-8 text") from error


def csv_table(path, what, text, columns):
    """The rows of a CSV export with a header row, as (line, {column: value})
    for the named columns. Quoted fields may hold commas and line ends."""
    reader = csv.reader(text.splitlines(keepends=True), strict=True)
    try:
        header = next(reader, None)
        if header is None:
            raise SetError(f"{path}: the {what} is empty")
        header = [name.strip() for name in header]
        missing = [name for name in columns if name not in header]
        if missing:
            raise SetError(f"{path}:1: no column {', '.join(map(shown, missing))}; the columns "
                           f"are {', '.join(shown(name, 40) for name in header[:30])}")
        where = {name: header.index(name) for name in columns}
        rows = []
        for fields in reader:
            line = reader.line_num
            if not any(field.strip() for field in fields):
                continue
            rows.append((line, {name: fields[index] if index < len(fields) else ""
                                for name, index in where.items()}))
        return rows
    except csv.Error as error:
        raise SetError(f"{path}:{reader.line_num}: not CSV: {error}") from error


def read_roster(path, column=None):
    """The learner ids in roster order. A plain list has one id a line, with
    blank lines and `#` comments skipped; with `column`, the file is a CSV
    export and the ids come from that column."""
    text = decode_text(path, "roster", read_capped(path, "roster", ROSTER_LIMIT))
    if column is None:
        entries = [(number, line.strip(" \t\r")) for number, line in
                   enumerate(text.split("\n"), start=1)]
        entries = [(number, entry) for number, entry in entries
                   if entry and not entry.startswith("#")]
    else:
        entries = [(number, row[column].strip()) for number, row in
                   csv_table(path, "roster", text, [column])]
    return learners_from(path, entries)


def learners_from(path, entries):
    problems, learners, notes = [], [], []
    seen = {}  # lower-case id: (first line, id as written, [lines])
    for number, learner in entries:
        if not ID_PATTERN.fullmatch(learner):
            problems.append(f"{path}:{number}: {shown(learner)} is not a learner id: {ID_RULE}")
            continue
        key = learner.lower()
        if key not in seen:
            seen[key] = (learner, [number])
            learners.append(learner)
        elif seen[key][0] == learner:
            seen[key][1].append(number)
        else:
            problems.append(f"{path}:{number}: learner id {shown(learner)} differs only in letter "
                            f"case from {shown(seen[key][0])} on line {seen[key][1][0]}: their "
                            "packages would clash on Windows")
    if problems:
        raise SetError(numbered_problems(problems))
    if not learners:
        raise SetError(f"{path}: the roster names no learner")
    for learner, lines in seen.values():
        if len(lines) > 1:
            notes.append(f"{path}: {learner} is listed on lines "
                         f"{', '.join(map(str, lines))}; taken as one learner")
    return learners, notes


def internal_name(learner):
    """A name for the learner's build target and folder: CMake target names
    hold no '@' or '+'. The mapping is one to one, and a function of the id
    alone, so a learner builds the same way in any set."""
    return learner.replace("_", "__").replace("@", "_a").replace("+", "_p")
