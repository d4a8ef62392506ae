"""An LMS's own export, given back to it: a copy, byte for byte in its own
encoding, delimiter, line ends and byte order mark, with one column filled
in the rows of the set's learners and every other row and cell as it was.
Grades go back this way, and so do the learners' codes or links."""

import re

from . import joining
from .common import SetError, shown, shown_column
from .inputs import Table, field, folded, unmarked

ID_OPTION, COLUMN_OPTION = "--gradebook-id-column", "--gradebook-column"


def filled_copy(path, id_column, column, cells):
    """(the copy's bytes, notes on how the export was read, the learners of
    `cells` ({learner: text}) that have no row in it)."""
    table = Table(path, "gradebook")
    id_index = table.column(id_column, ID_OPTION)
    fill_index = table.column(column, COLUMN_OPTION)
    if fill_index == id_index:
        raise SetError(f"{table.path}:1: {COLUMN_OPTION} names "
                       f"{shown_column(table.header[id_index])}, the column of the learner ids ({ID_OPTION}); filling it would "
                       "overwrite every id")
    by_id = {folded(learner): text for learner, text in cells.items()}
    rows = list(table.rows())
    # Excel drops an id's leading zeros ("412001" for "00412001"): such a row
    # is the learner's when its digits name one learner only, and that
    # learner has no row of their own id.
    exact = {folded(unmarked(field(fields, id_index))) for _, fields, _ in rows}
    digits = {key: learner for key, learner in joining.by_digits(
        {learner: learner for learner in by_id}).items() if learner not in exact}
    # None: the learner's cell keeps what it holds (a grade entered by hand).
    pieces, copied, filled = [], 0, {}  # learner: line
    for line, fields, spans in rows:
        learner = folded(unmarked(field(fields, id_index)))
        if learner not in by_id:
            learner = digits.get(joining.digits_key(learner))
        if learner is None:
            continue  # a "Points Possible" row, a test student, someone else's
        if learner in filled:
            raise SetError(f"{table.path}:{line}: {shown(field(fields, id_index))} is the "
                           f"learner of line {filled[learner]} too (ids differing in letter "
                           "case are one learner); keep one row")
        value = by_id[learner]
        filled[learner] = line
        if value is None:
            continue
        if any(character in value for character in table.delimiter + '"\r\n'):
            value = '"' + value.replace('"', '""') + '"'
        if fill_index < len(spans):
            start, end = spans[fill_index]
            if table.text.startswith('"', start) and not value.startswith('"'):
                value = f'"{value}"'
        else:  # a short row: add the fields it lacks
            start = end = spans[-1][1]
            value = table.delimiter * (fill_index - len(spans) + 1) + value
        pieces += [table.text[copied:start], value]
        copied = end
    pieces.append(table.text[copied:])
    absent = [learner for learner in cells if folded(learner) not in filled]
    return table.source.encoded("".join(pieces)), table.source.notes, absent


# How exports state a column's maximum: Brightspace in its header
# ("Exercise Points Grade <Numeric MaxPoints:10>"), Blackboard too
# ("Exercise [Total Pts: 10 Score] |123456"), Canvas in a row of its own
# ("Points Possible").
POINTS = r"[0-9]+(?:,[0-9]{3})*(?:[.,][0-9]+)?"  # "1,000" and "7,5" too
STATED_IN_HEADER = re.compile(r"(?:MaxPoints:|\[Total Pts:\s*(?:up to\s*)?)\s*(" + POINTS + ")")


def stated_maximum(path, column):
    """The maximum the export states for a column, as text, or None."""
    table = Table(path, "gradebook")
    index = table.column(column, COLUMN_OPTION)
    found = STATED_IN_HEADER.search(table.header[index])
    if found:
        return found.group(1)
    for _, fields, _ in table.rows():
        if next((text.strip() for text in fields if text.strip()), "") == "Points Possible":
            value = field(fields, index).strip()
            return value if re.fullmatch(POINTS, value) else None
    return None


def absent_warning(absent, where):
    """One line naming the learners of the set with no row in an export."""
    more = f" and {len(absent) - 20} more" if len(absent) > 20 else ""
    return (f"warning: {len(absent)} learner(s) of the set have no row in {where}: "
            f"{', '.join(absent[:20])}{more}")
