"""Every file the tool reads, read once, within a bound, decoded once and
checked, with every error naming the file and, where there is one, the line:
the secret, the roster, the note, a set's answers, the submissions and a
gradebook export."""

import codecs
import os
import re
import stat
import unicodedata

from . import spreadsheets
from .common import (KIB, MIB, SetError, escaped, numbered_problems, shown, shown_column,
                     size_text)

SECRET_LIMIT = 4 * KIB
MIN_SECRET_BYTES = 16
NOTE_LIMIT = 64 * KIB
FILE_LIMIT = 16 * MIB  # a roster, answers, submissions or a gradebook
WHITE_SPACE = " \t\n\v\f\r"  # the program's: the C locale's
ASCII_LOWER = str.maketrans("ABCDEFGHIJKLMNOPQRSTUVWXYZ", "abcdefghijklmnopqrstuvwxyz")
ID_PATTERN = re.compile(r"[A-Za-z0-9](?:[A-Za-z0-9._@+'-]{0,62}[A-Za-z0-9_@+-])?")
ID_RULE = ("use 1 to 64 ASCII letters, digits, '.', '_', '-', '@', '+' and apostrophes, "
           "starting with a letter or digit and not ending with '.' or an apostrophe")
ANSWERS_HEADER = ["learner", "user_name", "password"]
CODE_PATTERN = re.compile("[A-Z]{4,32}")
DELIMITERS = {",": "comma", ";": "semicolon", "\t": "tab"}
# Controls that reorder the text around them on screen (U+202E turns what
# follows backwards), refused in a note that every handout shows.
BIDI = {"LRE", "RLE", "LRO", "RLO", "PDF", "LRI", "RLI", "FSI", "PDI"}


def folded(identifier):
    """An id for matching: letter case ignored by ASCII rules only, so that
    no other character (a Kelvin sign) passes for a letter."""
    return identifier.translate(ASCII_LOWER)


def delimiter_of(name):
    """The character of a --delimiter name, or None to find it."""
    return {word: character for character, word in DELIMITERS.items()}.get(name)


def read_file(path, what, limit):
    """The bytes of a regular file of at most `limit` bytes. A pipe, a socket
    or a device is refused at once: reading one could wait for ever."""
    name = escaped(path)
    try:
        kind = os.stat(path).st_mode
        if stat.S_ISDIR(kind):
            raise SetError(f"{name}: the {what} is a folder, not a file")
        if not stat.S_ISREG(kind):
            raise SetError(f"{name}: the {what} is not a regular file (a pipe, a device or a "
                           "socket could keep the tool waiting); name a file")
        descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
        with os.fdopen(descriptor, "rb") as source:
            if not stat.S_ISREG(os.fstat(source.fileno()).st_mode):
                raise SetError(f"{name}: the {what} is not a regular file; name a file")
            content = source.read(limit + 1)
    except OSError as error:
        raise SetError(f"{name}: cannot read the {what}: {error.strerror}") from error
    if len(content) > limit:
        raise SetError(f"{name}: the {what} is larger than {size_text(limit)}")
    return content


class Text:
    """A file's text, with how it was encoded, so that a copy of it can be
    written back in the same bytes."""

    def __init__(self, path, what, content, legacy=True):
        self.path, self.what, self.notes = path, what, []
        kind = spreadsheets.kind_of(content)
        if kind is not None:
            raise SetError(f"{escaped(path)}: the {what} is {kind}, not text: save it as CSV "
                           "UTF-8" + (" (or give it to `grade --submissions` or as a roster "
                                      "with --roster-column, which read it as it is)"
                                      if kind == spreadsheets.XLSX else ""))
        boms = [(codecs.BOM_UTF8, "utf-8"), (codecs.BOM_UTF16_LE, "utf-16-le"),
                (codecs.BOM_UTF16_BE, "utf-16-be")]
        self.bom, self.encoding = next(((bom, encoding) for bom, encoding in boms
                                        if content.startswith(bom)), (b"", "utf-8"))
        body = content[len(self.bom):]
        try:
            self.text = body.decode(self.encoding)
        except UnicodeDecodeError as error:
            line = body[:error.start].count(b"\n") + 1
            if self.bom or not legacy:
                raise SetError(f"{escaped(path)}:{line}: the {what} is not "
                               f"{self.encoding.upper()} text; save it as UTF-8") from error
            # An 8-bit export (Excel in many locales): ids are ASCII anyway.
            self.encoding = "cp1252"
            self.text = body.decode(self.encoding, errors="surrogateescape")
            self.notes.append(f"{escaped(path)}: not UTF-8 (line {line}), so read as Windows-1252; "
                              "if a name looks wrong, save the file as CSV UTF-8")

    def encoded(self, text):
        return self.bom + text.encode(self.encoding, errors="surrogateescape")


def newlines(text, start=0, end=None):
    end = len(text) if end is None else end
    return text.count("\n", start, end) + text.count("\r", start, end) \
        - text.count("\r\n", start, end)


class Table:
    """A CSV file with a header row. A record ends only at \\n, \\r\\n or \\r
    outside quotes: any other character (a vertical tab, a form feed, U+2028)
    stays in its field. The delimiter is a comma, a semicolon or a tab, the
    one that splits the header row most, unless one is given."""

    def __init__(self, path, what, limit=FILE_LIMIT, delimiter=None, workbook=None, sheet=None,
                 content=None):
        """`workbook`: the columns wanted, where an .xlsx workbook is read
        too (its sheet that holds them, or `sheet`); None where it is not.
        `content`: the bytes, where they were made from the file at `path`."""
        content = read_file(path, what, limit) if content is None else content
        note = None
        if workbook is not None and spreadsheets.kind_of(content) == spreadsheets.XLSX:
            text, note = spreadsheets.workbook_as_csv(path, content, workbook, sheet)
            content = text.encode("utf-8")
            delimiter = ","
        self.source = Text(path, what, content)
        self.source.notes += [note] if note else []
        self.path, self.what, self.text = escaped(path), what, self.source.text
        if not self.text.strip(WHITE_SPACE):
            raise SetError(f"{self.path}: the {what} is empty")
        self.delimiter = delimiter or max(DELIMITERS, key=self.header_width)
        self.remaining = self.records()
        _, header, _ = next(self.remaining)
        self.header = [name.strip(WHITE_SPACE) for name in header]

    def header_width(self, delimiter):
        try:
            return len(next(self.records(delimiter))[1])
        except SetError:
            return 0

    def records(self, delimiter=None):
        """(line, fields, spans) of each record, where spans are the
        (start, end) of each field's raw text, quotes included."""
        delimiter, text = delimiter or self.delimiter, self.text
        unquoted = re.compile(f"[^{re.escape(delimiter)}\r\n]*")
        position, line = 0, 1
        while position < len(text):
            first_line, fields, spans = line, [], []
            while True:
                if text.startswith('"', position):
                    match = QUOTED.match(text, position)
                    if match is None:
                        raise SetError(f"{self.path}:{line}: a quoted field is never closed")
                    fields.append(match.group(1).replace('""', '"'))
                    line += newlines(text, match.start(), match.end())
                else:
                    match = unquoted.match(text, position)
                    fields.append(match.group())
                spans.append(match.span())
                position = match.end()
                if position >= len(text):
                    break
                ending = text[position]
                if ending == delimiter:
                    position += 1
                    continue
                if ending in "\r\n":
                    position += 2 if text.startswith("\r\n", position) else 1
                    line += 1
                    break
                raise SetError(f"{self.path}:{line}: text after a closing quote")
            yield first_line, fields, spans

    def rows(self):
        """The data rows, each checked for its number of fields."""
        for line, fields, spans in self.remaining:
            if len(fields) > len(self.header):
                raise SetError(f"{self.path}:{line}: {len(fields)} fields, but the header has "
                               f"{len(self.header)} (is a {DELIMITERS[self.delimiter]} in a field "
                               "not quoted?)")
            yield line, fields, spans

    def column(self, name, option):
        """The index of a column, named by `option`; an error if the header
        lacks it or has it twice."""
        places = [index for index, heading in enumerate(self.header) if heading == name]
        if not places:
            # Brightspace may add an item's type: "Package Text Grade <Text>".
            places = [index for index, heading in enumerate(self.header)
                      if re.fullmatch(re.escape(name) + r"\s*<[^<>]*>", heading)]
            places = places if len(places) == 1 else []
        if not places:
            raise SetError(f"{self.path}:1: no column {shown_column(name)} ({option}); the "
                           f"columns, split at each {DELIMITERS[self.delimiter]}, are "
                           f"{', '.join(shown_column(heading) for heading in self.header[:30])}")
        if len(places) > 1:
            raise SetError(f"{self.path}:1: the column {shown_column(name)} stands "
                           f"{len(places)} times in the header; rename the others")
        return places[0]


QUOTED = re.compile(r'"([^"]*(?:""[^"]*)*)"')


def field(fields, index):
    return fields[index] if index < len(fields) else ""


# ---------------------------------------------------------------- the set's inputs


def read_secret(path):
    name = escaped(path)
    try:
        kind = os.stat(path).st_mode
    except OSError as error:
        raise SetError(f"{name}: cannot read the secret: {error.strerror}") from error
    if stat.S_ISREG(kind) and kind & 0o044:
        raise SetError(f"{name}: the secret can be read by others; make it yours alone "
                       f"with `chmod 600 {name}`")
    # A final line end is not part of the secret, so editors cannot change it.
    secret = read_file(path, "secret", SECRET_LIMIT).rstrip(b"\r\n")
    if len(secret) < MIN_SECRET_BYTES:
        raise SetError(f"{name}:1: the secret is {len(secret)} bytes long, not counting a final "
                       f"line end; it must be at least {MIN_SECRET_BYTES}")
    return secret


def read_note(path):
    """UTF-8 text for every handout: nothing that a terminal would act on."""
    if path is None:
        return ""
    text = Text(path, "note", read_file(path, "note", NOTE_LIMIT), legacy=False).text
    for number, line in enumerate(text.split("\n"), start=1):
        bad = [c for c in line if c not in "\t\r" and (unicodedata.category(c) in ("Cc", "Cs")
                                                       or unicodedata.bidirectional(c) in BIDI)]
        if bad:
            raise SetError(f"{escaped(path)}:{number}: the note holds the control character "
                           f"U+{ord(bad[0]):04X} ({unicodedata.name(bad[0], 'unnamed').lower()}); "
                           "only tab and line ends may stand in it")
    return text.replace("\r\n", "\n").strip()


def read_roster(path, column=None, delimiter=None):
    """The learner ids in roster order, and notes for the setter. A plain
    list has one id a line, with blank lines and `#` comments skipped; with
    `column`, the file is a CSV export and the ids come from that column,
    where rows with an empty id (a "Points Possible" row, a test student)
    are skipped."""
    notes = []
    if column is None:
        source = Text(path, "roster", read_file(path, "roster", FILE_LIMIT))
        entries, marked = [], 0
        for number, line in enumerate(re.split("\r\n|\r|\n", source.text), start=1):
            entry = line.strip(WHITE_SPACE)
            # Brightspace writes ids as "#alovelace": a marker, where a
            # comment ("# week 1") has a blank or more than one word.
            if entry.startswith("#") and ID_PATTERN.fullmatch(entry[1:]):
                entries.append((number, entry[1:]))
                marked += 1
            elif entry and not entry.startswith("#"):
                entries.append((number, entry))
        notes += marker_and_test_notes(escaped(path), marked, [])
    else:
        table = Table(path, "roster", delimiter=delimiter, workbook=[column])
        source, index = table.source, table.column(column, "--roster-column")
        role = next((place for place, name in enumerate(table.header)
                     if name.lower() in ROLE_COLUMNS), None)
        entries, empty, tests, marked, staff = [], [], [], 0, {}
        for number, fields, _ in table.rows():
            if not "".join(fields).strip(WHITE_SPACE):
                continue
            if role is not None and not LEARNER_ROLE.search(field(fields, role)):
                kind = field(fields, role).strip(WHITE_SPACE) or "no role"
                staff[kind] = staff.get(kind, 0) + 1
                continue
            learner = unmarked(field(fields, index))
            marked += learner != field(fields, index).strip(WHITE_SPACE)
            if test_account(learner, fields):
                tests.append(f"{learner or '(no id)'} on line {number}")
            elif learner:
                entries.append((number, learner))
            else:
                empty.append(number)
        if empty:
            notes.append(f"{escaped(path)}: no id in column {shown_column(column)} on line(s) "
                         f"{', '.join(map(str, empty[:20]))}{' ...' if len(empty) > 20 else ''}; "
                         "skipped")
        if staff:
            notes.append(f"{escaped(path)}: left out {sum(staff.values())} row(s) whose "
                         f"{shown_column(table.header[role])} is no learner's: " +
                         ", ".join(f"{shown(kind, 40)} ({count})"
                                   for kind, count in sorted(staff.items())[:10]))
        notes += marker_and_test_notes(escaped(path), marked, tests)
    learners, more = learners_from(escaped(path), entries)
    return learners, source.notes + notes + more


def unmarked(identifier):
    """An id from an export without Brightspace's marker: it writes ids as
    "#alovelace". No learner id starts with '#'."""
    identifier = identifier.strip(WHITE_SPACE)
    return identifier[1:].strip(WHITE_SPACE) if identifier.startswith("#") else identifier


# A roster's role column (Moodle's participants export lists teachers too):
# only rows of a learner's role are kept.
ROLE_COLUMNS = {"roles", "role", "course role"}
LEARNER_ROLE = re.compile(r"\b(?:student|learner)\b", re.IGNORECASE)
# The LMSs' own test and preview accounts, which are no learners: Blackboard's
# student preview user ("..._previewuser"), Canvas's test student ("Student,
# Test") and Brightspace's demo student, found by their names.
TEST_ACCOUNT_NAMES = {"student, test", "test student", "student, demo", "demo student"}


def test_account(identifier, fields):
    return folded(identifier).endswith("_previewuser") or \
        any(folded(text.strip(WHITE_SPACE)) in TEST_ACCOUNT_NAMES for text in fields)


def marker_and_test_notes(path, marked, tests):
    notes = []
    if marked:
        notes.append(f"{path}: {marked} id(s) written as Brightspace does, with '#' before "
                     "them; read without it")
    if tests:
        notes.append(f"{path}: skipped the LMS's test or preview account(s), which are no "
                     f"learners: {', '.join(map(escaped, tests[:20]))}")
    return notes


def learners_from(path, entries):
    problems, learners, notes = [], [], []
    seen = {}  # folded id: (id as written, [lines])
    for number, learner in entries:
        if not ID_PATTERN.fullmatch(learner):
            problems.append(f"{path}:{number}: {shown(learner)} is not a learner id: {ID_RULE}")
            continue
        key = folded(learner)
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


def read_answers(path):
    """A set's answers.csv, as the tool wrote it: {learner: (user name,
    password)} in roster order."""
    return {learner: (user_name, password)
            for learner, user_name, password, _ in answer_rows(path)}


def answer_rows(path):
    """(learner, user name, password, code) of each row of answers.csv;
    sets made before codes have none (None)."""
    table = Table(path, "answers", delimiter=",")
    headers = (ANSWERS_HEADER, ANSWERS_HEADER + ["code"])
    if table.header not in headers:
        raise SetError(f"{table.path}:1: not an answers file of this tool: its header must be "
                       f"{','.join(ANSWERS_HEADER)}, with ',code' in sets that have codes")
    width = len(table.header)
    answers, lines, codes = [], {}, {}  # folded id: line; code: line
    for number, fields, _ in table.rows():
        learner = fields[0]
        if [name.strip(WHITE_SPACE) for name in fields] in headers:
            raise SetError(f"{table.path}:{number}: a header row in the middle of the file (were "
                           "two answers files joined?); keep only the first")
        if len(fields) != width or not ID_PATTERN.fullmatch(learner):
            raise SetError(f"{table.path}:{number}: expected {','.join(table.header)}")
        if folded(learner) in lines:
            raise SetError(f"{table.path}:{number}: {learner} has a row already, on line "
                           f"{lines[folded(learner)]} (ids differing only in letter case are "
                           "one learner)")
        lines[folded(learner)] = number
        code = fields[3] if width == 4 else None
        if code is not None:
            # A code names the learner's packages: a plain word, theirs alone.
            if not CODE_PATTERN.fullmatch(code):
                raise SetError(f"{table.path}:{number}: {learner}'s code {shown(code)} is not "
                               "a code this tool gives (capital letters)")
            if code in codes:
                raise SetError(f"{table.path}:{number}: {learner}'s code {code} is on line "
                               f"{codes[code]} too: each learner has their own")
            codes[code] = number
        answers.append((learner, fields[1].encode(), fields[2].encode(), code))
    if not answers:
        raise SetError(f"{table.path}: the answers file names no learner")
    return answers
