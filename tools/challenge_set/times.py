"""The times that submissions carry, so that a learner's latest answer by
its time counts, not the last row: a form sorted newest first, or joined
from two exports, has its rows in any order."""

import datetime
import re

from .common import SetError, shown, shown_column
from .inputs import WHITE_SPACE, field

# The columns found by themselves: Google Forms, Microsoft Forms, a Canvas
# quiz report, and this tool's own submissions shape.
KNOWN_COLUMNS = ["timestamp", "completion time", "submitted", "submitted_at", "submitted at"]
# Month before day first, as the US locale that most exports use writes it; a
# column only one of the two orders reads is read in that order.
FORMATS = [
    "%Y-%m-%d %H:%M:%S.%f", "%Y-%m-%d %H:%M:%S", "%Y-%m-%d %H:%M", "%Y-%m-%dT%H:%M:%S.%f",
    "%Y-%m-%dT%H:%M:%S", "%Y-%m-%dT%H:%M", "%Y/%m/%d %H:%M:%S", "%Y/%m/%d %I:%M:%S %p",
    "%m/%d/%Y %H:%M:%S", "%m/%d/%Y %H:%M", "%m/%d/%Y %I:%M:%S %p", "%m/%d/%Y %I:%M %p",
    "%m/%d/%y %H:%M:%S", "%m/%d/%y %H:%M", "%m/%d/%y %I:%M:%S %p", "%m/%d/%y %I:%M %p",
    "%d/%m/%Y %H:%M:%S", "%d/%m/%Y %H:%M", "%d/%m/%y %H:%M:%S", "%d/%m/%y %H:%M",
    "%d.%m.%Y %H:%M:%S", "%d.%m.%Y %H:%M", "%Y-%m-%d",
]
# A zone after the time (" UTC", " GMT+1", "Z", "+01:00"): one column has one
# zone, so it is left out of the comparison.
ZONE = re.compile(r"(?:\s*(?:UTC|GMT)(?:\s*[+-]\d{1,2}(?::?\d{2})?)?|Z|[+-]\d{2}:?\d{2})$",
                  re.IGNORECASE)


def find_column(header, named=None):
    """The index of the time column: the one named, or one known by its
    name; None where there is none."""
    if named is not None:
        return header.index(named) if named in header else None
    lowered = [heading.lower() for heading in header]
    return next((lowered.index(name) for name in KNOWN_COLUMNS if name in lowered), None)


def bare(text):
    return ZONE.sub("", text.strip(WHITE_SPACE)).strip()


def reader_for(table, index):
    """A function from a row's fields to its time, in the first format that
    reads every time of the column; an error naming the line of a time that
    none reads."""
    path, heading = table.path, table.header[index]
    records = table.records()
    next(records)  # the header
    values = [(line, bare(field(fields, index))) for line, fields, _ in records]
    values = [(line, value) for line, value in values if value]

    time_format = next((candidate for candidate in FORMATS
                        if all(parses(value, candidate) for _, value in values)), None)
    if time_format is None:
        for line, value in values:
            if not any(parses(value, candidate) for candidate in FORMATS):
                raise SetError(f"{path}:{line}: {shown(value)} in the column "
                               f"{shown_column(heading)} is no time the tool reads (name "
                               "another column with --time-column)")
        raise SetError(f"{path}: the times in the column {shown_column(heading)} are written in "
                       "more than one way; name another column with --time-column")

    def time_of(fields):
        value = bare(field(fields, index))
        return datetime.datetime.strptime(value, time_format) if value else datetime.datetime.min
    return time_of


def parses(value, time_format):
    try:
        datetime.datetime.strptime(value, time_format)
        return True
    except ValueError:
        return False
