"""The times that submissions carry, so that a learner's latest answer by
its time counts, not the last row: a form sorted newest first, or joined
from two exports, has its rows in any order. Each time is an instant: read
with its zone where it has one, never cut off; a date that reads both as
day/month and as month/day is never taken one way in silence."""

import datetime
import re

from .common import SetError, shown, shown_column
from .inputs import WHITE_SPACE, field

# The columns found by themselves: Google Forms, Microsoft Forms, a Canvas
# quiz report, and this tool's own submissions shape.
KNOWN_COLUMNS = ["timestamp", "completion time", "submitted", "submitted_at", "submitted at"]
# Each pair reads the same text month first, then day first.
MONTH_FIRST = ["%m/%d/%Y %H:%M:%S", "%m/%d/%Y %H:%M", "%m/%d/%Y %I:%M:%S %p",
               "%m/%d/%Y %I:%M %p", "%m/%d/%y %H:%M:%S", "%m/%d/%y %H:%M",
               "%m/%d/%y %I:%M:%S %p", "%m/%d/%y %I:%M %p"]
DAY_FIRST = [fmt.replace("%m/%d", "%d/%m") for fmt in MONTH_FIRST]
UNORDERED = [
    "%Y-%m-%d %H:%M:%S", "%Y-%m-%d %H:%M", "%Y-%m-%dT%H:%M:%S", "%Y-%m-%dT%H:%M",
    "%Y/%m/%d %H:%M:%S", "%Y/%m/%d %I:%M:%S %p", "%d.%m.%Y %H:%M:%S", "%d.%m.%Y %H:%M",
    "%Y-%m-%d",
    # Moodle: "14 March 2027 9:00 AM", "Sunday, 14 March 2027, 9:00 AM"
    "%d %B %Y %I:%M %p", "%d %B %Y, %I:%M %p", "%A, %d %B %Y, %I:%M %p", "%d %B %Y %H:%M",
    "%d %b %Y %I:%M %p", "%d %b %Y, %I:%M %p", "%A, %d %b %Y, %I:%M %p", "%d %b %Y %H:%M",
]
DATE_ORDERS = {"month-first": MONTH_FIRST, "day-first": DAY_FIRST}
# Zone abbreviations that exports write and that name one offset only, in
# minutes east of UTC. CST, IST, BST and AST each name several.
ZONE_NAMES = {"UTC": 0, "GMT": 0, "Z": 0, "WET": 0, "WEST": 60, "CET": 60, "CEST": 120,
              "EET": 120, "EEST": 180, "MSK": 180, "EST": -300, "EDT": -240, "CDT": -300,
              "MST": -420, "MDT": -360, "PST": -480, "PDT": -420, "AKST": -540, "AKDT": -480,
              "HST": -600, "JST": 540, "KST": 540, "AWST": 480, "ACST": 570, "ACDT": 630,
              "AEST": 600, "AEDT": 660, "NZST": 720, "NZDT": 780}
AMBIGUOUS_ZONES = {"CST", "IST", "BST", "AST", "SST", "ADT", "GST"}
ZONE = re.compile(r"\s*(?:(?:(?P<named>[A-Za-z]{1,5})\s*)?(?P<sign>[+-])(?P<hours>\d{1,2})"
                  r"(?::?(?P<minutes>\d{2}))?|(?P<alone>[A-Za-z]{1,5}))$")
NO_TIME = ("", "-")  # Moodle writes "-" where there is none
FRACTION = re.compile(r"(\d:\d{2}:\d{2})[.,](\d{1,9})")


def find_column(header, named=None):
    """The index of the time column: the one named, or one known by its
    name; None where there is none."""
    if named is not None:
        return header.index(named) if named in header else None
    lowered = [heading.lower() for heading in header]
    return next((lowered.index(name) for name in KNOWN_COLUMNS if name in lowered), None)


def split_zone(text):
    """(the time without its zone and fraction of a second, its offset in
    minutes or None, microseconds); a zone that names several is an error
    (ValueError with the reason)."""
    text = " ".join(text.strip(WHITE_SPACE).split())
    offset, found = None, ZONE.search(text)
    if found:
        named = (found.group("named") or found.group("alone") or "").upper()
        if named in ("AM", "PM") and found.group("alone"):
            found = None  # "9:00 AM" has no zone
        elif named in AMBIGUOUS_ZONES:
            raise ValueError(f"the zone {named} names more than one offset; write the offset "
                             "(+01:00) or UTC")
        elif named and named not in ZONE_NAMES:
            found = None
        elif found.group("sign") and (named not in ("", "UTC", "GMT") or not named and (
                len(found.group("hours")) != 2 or found.group("minutes") is None)):
            found = None  # "-14" ends a date, not a zone: a bare offset is +HH:MM
        else:
            offset = ZONE_NAMES.get(named, 0)
            if found.group("sign"):
                minutes = int(found.group("hours")) * 60 + int(found.group("minutes") or 0)
                offset = minutes if found.group("sign") == "+" else -minutes
        if found:
            text = text[:found.start()].rstrip()
    microseconds = 0
    fraction = FRACTION.search(text)
    if fraction:
        microseconds = int(fraction.group(2)[:6].ljust(6, "0"))
        text = text[:fraction.start()] + fraction.group(1) + text[fraction.end():]
    return text, offset, microseconds


def parsed(text, formats):
    """The time in the first of `formats` that reads it, or None."""
    for time_format in formats:
        try:
            return datetime.datetime.strptime(text, time_format)
        except ValueError:
            continue
    return None


def reader_for(table, index, group_index, date_order=None):
    """A function from a row's fields to its time as a comparable instant
    (UTC where the column has zones); an error naming the line of a time
    that is read no way, or of a column whose times mix zones and none, or
    whose dates read both day and month first with answers ordered
    differently. `group_index` is the learner column: whose answers the
    order decides."""
    path, heading = table.path, table.header[index]
    records = table.records()
    next(records)  # the header
    values = []  # (line, group, bare text, offset, microseconds)
    for line, fields, _ in records:
        raw = field(fields, index)
        if raw.strip(WHITE_SPACE) in NO_TIME:
            continue
        try:
            values.append((line, field(fields, group_index).strip().lower(), *split_zone(raw)))
        except ValueError as error:
            raise SetError(f"{path}:{line}: {shown(raw)} in the column {shown_column(heading)}: "
                           f"{error}") from error
    with_zone = [line for line, _, _, offset, _ in values if offset is not None]
    without = [line for line, _, _, offset, _ in values if offset is None]
    if with_zone and without:
        raise SetError(f"{path}: the column {shown_column(heading)} mixes times with a zone "
                       f"(line {with_zone[0]}) and without one (line {without[0]}), which "
                       "cannot be ordered; export it again, or name another column with "
                       "--time-column")
    formats, note = choose_formats(path, heading, values, date_order)

    def time_of(fields):
        raw = field(fields, index)
        if raw.strip(WHITE_SPACE) in NO_TIME:
            return datetime.datetime.min
        text, offset, microseconds = split_zone(raw)
        return instant(parsed(text, formats), offset, microseconds)
    return time_of, note


def instant(moment, offset, microseconds):
    moment = moment.replace(microsecond=microseconds)
    return moment - datetime.timedelta(minutes=offset) if offset is not None else moment


def orders(values, formats):
    """Each learner's rows in the order their times give, read by `formats`."""
    by_group = {}
    for line, group, text, offset, microseconds in values:
        moment = instant(parsed(text, formats), offset, microseconds)
        by_group.setdefault(group, []).append((moment, line))
    return {group: [line for _, line in sorted(rows)] for group, rows in by_group.items()}


def choose_formats(path, heading, values, date_order):
    """The formats that read the column's times: those whose fields stand in
    one order only (each time by the first that reads it), and, for dates
    like 03/04, one date order for the whole column. With it, a note when a
    day over 12 settled that order."""
    ordered = [(line, text) for line, _, text, _, _ in values if parsed(text, UNORDERED) is None]
    if not ordered:
        return UNORDERED, None
    readings = {name: UNORDERED + formats for name, formats in DATE_ORDERS.items()
                if date_order in (None, name) and
                all(parsed(text, formats) for _, text in ordered)}
    if not readings:
        for line, text in ordered:
            if parsed(text, MONTH_FIRST + DAY_FIRST) is None:
                raise SetError(f"{path}:{line}: {shown(text)} in the column "
                               f"{shown_column(heading)} is no time the tool reads (name "
                               "another column with --time-column)")
        raise SetError(f"{path}: the dates in the column {shown_column(heading)} are written "
                       "month first in some rows and day first in others" +
                       ("" if date_order is None else f" (not all {date_order})") +
                       "; name another column with --time-column")
    if len(readings) == 2:
        if orders(values, readings["month-first"]) != orders(values, readings["day-first"]):
            raise SetError(f"{path}: every date in the column {shown_column(heading)} reads "
                           "both as month/day and as day/month, and the two readings order "
                           "some learner's answers differently; say which with --date-order "
                           "day-first or --date-order month-first")
        return readings["month-first"], None
    name, formats = next(iter(readings.items()))
    if date_order is not None:
        return formats, None
    return formats, (f"{path}: the dates in the column {shown_column(heading)} read only "
                     f"{name.replace('-', ' ')} (a day over 12 settles it), so read so")
