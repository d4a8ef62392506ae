"""Grades what the learners handed in against the set's answers.csv. A
submission is solved exactly when that learner's own program would answer
"Correct" to the two fields typed at its two prompts: the program reads one
word at each, so white space around a word is ignored, and letter case
matters. It needs no secret and no build. With --gradebook it also fills the
assignment's column of your learning-management system's own gradebook
export, for it to take back."""

import csv
import io
import re
import unicodedata
from pathlib import Path

from . import gradebook, joining, lms, times
from .common import SetError, escaped, shown, shown_column
from .console import write_report
from .inputs import (DELIMITERS, WHITE_SPACE, Table, delimiter_of, field,
                     marker_and_test_notes, read_answers, test_account)

CUT_WORD = 257  # the program keeps 256 bytes of a word: a longer one never matches
SHOWN_ID = 64  # an id not on the roster is echoed up to this many characters
KEPT_STRAYS = 1000  # ids not on the roster reported one by one; the rest counted
REPORT_HEADER = ["learner", "result", "points", "detail"]
BLANK_AROUND_ID = [0x200B, 0x200C, 0x200D, 0x2060, 0xFEFF]
# Characters a field may hold that look blank, or like nothing, but are no
# white space to the program: they make a word differ from the one intended.
LOOKS_BLANK = re.compile("[\x00-\x08\x0e-\x1f\x7f-\xa0\xad\u1680\u180e\u2000-\u200f"
                         "\u2028-\u202f\u205f-\u2064\u3000\ufeff]")


def add_options(parser):
    parser.add_argument("--answers", required=True, metavar="FILE", help="the set's answers.csv")
    parser.add_argument("--submissions", required=True, metavar="FILE",
                        help="CSV with a header row, one row per submission (an export is fine)")
    parser.add_argument("--learner-column", metavar="NAME",
                        help="the column of learner ids (default: the LMS's, where the header "
                             "shows a Moodle or Blackboard quiz report; else learner)")
    parser.add_argument("--user-name-column", metavar="NAME",
                        help="the column of user names (default: the LMS's; else user_name)")
    parser.add_argument("--password-column", metavar="NAME",
                        help="the column of passwords (default: the LMS's; else password)")
    parser.add_argument("--user-name-question", metavar="Q",
                        help="in Brightspace's quiz export (a row per question): the user name's "
                             "question, by Q # or Q Title (default: 1)")
    parser.add_argument("--password-question", metavar="Q",
                        help="likewise, the password's question (default: 2)")
    add_delimiter_option(parser, "the submissions'")
    parser.add_argument("--points", metavar="N",
                        help="the points a solved exercise gets in the report and the gradebook "
                             "(default: the maximum the gradebook states for its column, else "
                             "1); a wrong one gets 0, a missing one nothing")
    parser.add_argument("--time-column", metavar="NAME",
                        help="the submissions' column of times: a learner's latest answer by it "
                             "counts (default: Timestamp, Completion time or submitted, where "
                             "there is one; else the last row)")
    parser.add_argument("--sheet", metavar="NAME",
                        help="an .xlsx workbook's sheet to read (default: the one whose first "
                             "row holds the columns named)")
    parser.add_argument("--date-order", choices=sorted(times.DATE_ORDERS),
                        help="how the time column writes a date like 03/04: month-first or "
                             "day-first (default: the one its days settle; asked for where "
                             "both readings would grade differently)")
    parser.add_argument("--ids", metavar="EXPORT",
                        help="an export that holds both the set's ids and the submitted ones, "
                             "to join them (default: --gradebook)")
    parser.add_argument("--ids-column", metavar="NAME",
                        help="with --ids: its column of the set's ids")
    parser.add_argument("--join-column", metavar="NAME",
                        help="the column of --ids (or --gradebook) that holds the submitted "
                             "ids (default: the one that holds the most of them)")
    parser.add_argument("--missing-as-zero", action="store_true",
                        help="a learner with no submission gets 0 in the gradebook (default: "
                             "their cell keeps what it held)")
    parser.add_argument("--out", metavar="FILE",
                        help="write the report here, and the summary to the terminal (default: "
                             "report to standard output, summary to standard error); with "
                             "--gradebook, the filled gradebook")
    parser.add_argument("--gradebook", metavar="EXPORT",
                        help="your gradebook export (CSV, any delimiter and encoding above): a "
                             "copy of it, with only --gradebook-column filled, goes to --out")
    parser.add_argument("--gradebook-id-column", metavar="NAME",
                        help="the gradebook's column that holds the learner ids of the roster")
    parser.add_argument("--gradebook-column", metavar="NAME",
                        help="the gradebook's column of this exercise, to fill")
    parser.add_argument("--report", metavar="FILE",
                        help="with --gradebook: write the report here (default: beside --out, "
                             "named in the summary)")


def add_delimiter_option(parser, whose):
    parser.add_argument("--delimiter", choices=sorted(DELIMITERS.values()),
                        help=f"{whose} CSV delimiter (default: the one that splits the header "
                             "row most: comma, semicolon or tab)")


def typed(user_name_field, password_field):
    """The two words the program reads when the fields are typed at its
    prompts, each followed by Enter: (user name, password), each cut where
    no longer word could match."""
    # bytes.split() splits at exactly the C locale's white space.
    text = (user_name_field + "\n" + password_field + "\n").encode(errors="surrogateescape")
    words = text.split(None, 2)
    return tuple(word[:CUT_WORD] for word in (words + [b"", b""])[:2])


def looks_blank(user_name_field, password_field):
    """What a detail says of a character that looks blank but is no white
    space to the program, or ""."""
    for what, text in (("user name", user_name_field), ("password", password_field)):
        found = LOOKS_BLANK.search(text)
        if found:
            character = found.group()
            name = unicodedata.name(character, "a control character").lower()
            return f"the {what} holds U+{ord(character):04X} ({name}), which the program reads " \
                   "as part of the word"
    return ""


class Sender:
    """What one id sent: how many rows, how many of them empty, and the
    last non-empty one's answer."""

    def __init__(self, by_time=""):
        self.rows, self.empty, self.pair, self.blank = 0, 0, None, ""
        self.by_time, self.latest = by_time, None

    def add(self, user_name_field, password_field, when=None):
        """One row; `when` is its time where the submissions carry one, and
        the latest by it counts (of equal times, the later row)."""
        self.rows += 1
        pair = typed(user_name_field, password_field)
        if pair == (b"", b""):
            self.empty += 1
            return
        if when is not None and self.latest is not None and when < self.latest:
            return
        self.latest = when
        self.pair = pair
        self.blank = looks_blank(user_name_field, password_field)

    def rows_detail(self):
        if self.rows < 2:
            return ""
        empty = f", {self.empty} of them empty" if self.empty else ""
        which = f"latest non-empty one by its time ({self.by_time})" if self.by_time else \
            "last non-empty one"
        return f"{self.rows} rows sent{empty}; the {which} counts"


def judge(learner, pair, answers, holders):
    """(result, detail) for one learner's answer."""
    right = answers[learner]
    if pair == right:
        return "solved", ""
    others = [other for other in holders.get(pair, []) if other != learner]
    if others:
        return "wrong", f"another learner's answer: the right answer of {', '.join(others)}"
    if pair == right[::-1]:
        return "wrong", "user name and password swapped"
    if (pair[0].lower(), pair[1].lower()) == (right[0].lower(), right[1].lower()):
        return "wrong", "differs from the right answer only in letter case"
    if pair[0] == right[0]:
        return "wrong", "user name right, password wrong"
    return "wrong", "user name wrong"


def id_of(text):
    """A submitted id without what may stand around it unseen (white space
    of any kind, a zero-width space, a byte order mark): ids are ASCII."""
    return text.strip().strip("".join(map(chr, BLANK_AROUND_ID))).strip()


def submitted_ids(table, column):
    """Every id the submissions name, for a join: a first pass of its own."""
    records = table.records()
    next(records)  # the header
    return {id_of(field(fields, column)) for _, fields, _ in records
            if not test_account(id_of(field(fields, column)), fields)}


def echoed(identifier):
    """An id that is not on the roster, as the report shows it: escaped, and
    cut to a bounded length."""
    if len(identifier) > SHOWN_ID:
        return f"{escaped(identifier[:SHOWN_ID])}... (cut: {len(identifier)} characters)"
    return escaped(identifier)


def safe_cell(text):
    """A report cell that no spreadsheet runs as a formula."""
    return "'" + text if text[:1] in ("=", "+", "-", "@", "\t", "\r") else text


class Grades:
    """The graded submissions: one row per roster learner, then the ids not
    on the roster and the rows with no id, each stated once."""

    def __init__(self, answers, table, columns, ids, timing, unfinished=None):
        """`ids` (a joining.Ids) says whose each submitted id is; `timing`
        is (the time column's name, a row's fields -> its time), or None;
        `unfinished` (a row's fields -> True for an attempt not finished)
        skips such rows."""
        self.answers = answers
        self.holders = {}
        for learner, pair in answers.items():
            self.holders.setdefault(pair, []).append(learner)
        by_time, time_of = timing or ("", lambda fields: None)
        self.senders = {learner: Sender(by_time) for learner in answers}
        self.strays, self.more_strays, self.no_id, self.tests = {}, 0, [], []
        self.marked = 0  # ids written with Brightspace's '#'
        self.unfinished = 0  # attempts not finished, skipped
        self.stray_rows, self.no_id_rows = 0, 0
        self.columns, self.ids, self.time_of, self.unfinished_of = columns, ids, time_of, \
            unfinished
        for line, fields, _ in table.rows() if table is not None else ():
            self.add_row(line, fields)

    @property
    def matched(self):
        return sum(sender.rows for sender in self.senders.values())

    def add_row(self, line, fields):
        """One row of the submissions; `line` names it in the report."""
        learner_column, user_column, password_column = self.columns
        ids, time_of, unfinished = self.ids, self.time_of, self.unfinished_of
        if not "".join(fields).strip(WHITE_SPACE):
            return  # an empty row is no submission
        if unfinished is not None and unfinished(fields):
            self.unfinished += 1
            return
        submitted = id_of(field(fields, learner_column))
        self.marked += submitted.startswith("#")
        # A test account's name skips a row only when its id names no
        # learner: a learner may be called "Test Student".
        if ids.learner_of(submitted) is None and test_account(submitted, fields):
            self.tests.append(f"{submitted or '(no id)'} on line {line}")
            return
        answer = (field(fields, user_column), field(fields, password_column))
        learner = ids.learner_of(submitted)
        if learner is not None:
            self.senders[learner].add(*answer, time_of(fields))
            return
        self.stray_rows += 1
        self.no_id_rows += not submitted
        if not submitted and len(self.no_id) < KEPT_STRAYS:
            self.no_id.append((line, Sender()))
            self.no_id[-1][1].add(*answer)
        elif submitted and (submitted in self.strays or len(self.strays) < KEPT_STRAYS):
            self.strays.setdefault(submitted, Sender()).add(*answer)
        else:
            self.more_strays += 1

    def results(self):
        """{learner: (result, detail)} in roster order."""
        results = {}
        for learner, sender in self.senders.items():
            if sender.pair is None:
                empty = f"{sender.empty} empty row(s) sent" if sender.empty else ""
                results[learner] = ("missing", empty)
                continue
            result, detail = judge(learner, sender.pair, self.answers, self.holders)
            details = [detail, sender.blank, sender.rows_detail()]
            results[learner] = (result, "; ".join(filter(None, details)))
        return results

    def whose(self, sender):
        holders = self.holders.get(sender.pair) if sender.pair else None
        return f"holds the right answer of {', '.join(holders)}" if holders else ""

    def report(self, results, points):
        rows = [[learner, result, {"solved": points, "wrong": "0"}.get(result, ""), detail]
                for learner, (result, detail) in results.items()]
        for identifier, sender in self.strays.items():
            details = [self.whose(sender), sender.rows_detail()]
            rows.append([echoed(identifier), "not on the roster", "",
                         "; ".join(filter(None, details))])
        if self.more_strays:
            rows.append(["", "not on the roster", "",
                         f"{self.more_strays} more rows, not listed one by one"])
        for line, sender in self.no_id:
            details = [f"line {line} has no learner id", self.whose(sender),
                       sender.blank if sender.pair else "no answer either"]
            rows.append(["", "no learner id", "", "; ".join(filter(None, details))])
        output = io.StringIO()
        writer = csv.writer(output, lineterminator="\n")
        writer.writerow(REPORT_HEADER)
        writer.writerows([safe_cell(cell) for cell in row] for row in rows)
        return output.getvalue().encode("utf-8")

    def summary(self, results):
        counts = {result: sum(r == result for r, _ in results.values())
                  for result in ("solved", "wrong", "missing")}
        shared = sum(detail.startswith("another learner's answer") for _, detail in results.values())
        line = (f"{len(results)} learners: {counts['solved']} solved, {counts['wrong']} wrong, "
                f"{counts['missing']} missing ({shared} with another learner's answer); "
                f"{self.stray_rows} rows from ids not on the roster")
        if self.no_id_rows:
            line += f", {self.no_id_rows} of them with no id"
        return line


def points_of(text, where="--points"):
    """Points as a gradebook takes them: thousands separators dropped
    ("1,000"), a decimal comma or point kept; never 0, which would give a
    solved exercise what a wrong one gets."""
    if re.fullmatch(r"[0-9]{1,3}(?:,[0-9]{3})+(?:\.[0-9]+)?", text):
        text = text.replace(",", "")
    if not re.fullmatch(r"[0-9]+(?:[.,][0-9]+)?", text):
        raise SetError(f"{where}: {shown(text)} is not a number of points")
    if float(text.replace(",", ".")) == 0:
        raise SetError(f"{where}: {shown(text)} points would give a solved exercise what a "
                       "wrong one gets; give --points")
    return text


def points_for(arguments):
    """The points a solved exercise gets, and where they come from. With a
    gradebook they are stated, by it or by --points, never guessed."""
    if arguments.points is not None:
        return points_of(arguments.points), "--points"
    if arguments.gradebook:
        stated = gradebook.stated_maximum(arguments.gradebook, arguments.gradebook_column)
        where = f"the maximum the gradebook states for {shown_column(arguments.gradebook_column)}"
        if stated is None:
            raise SetError(f"{escaped(arguments.gradebook)}: states no maximum for "
                           f"{shown_column(arguments.gradebook_column)} (Moodle's export "
                           "states none); give the points a solved exercise gets with --points")
        return points_of(stated, f"{escaped(arguments.gradebook)}: {where}"), where
    return "1", "no maximum stated"


def timing_of(table, named, learner_column, date_order, say):
    """(the time column's name, a row's fields -> its time), or None."""
    index = times.find_column(table.header, named)
    if index is None:
        if named is not None:
            table.column(named, "--time-column")  # says what the columns are
        return None
    time_of, note = times.reader_for(table, index, learner_column, date_order)
    if note:
        say(note, error=True)
    return table.header[index], time_of


def grade(arguments, files, say):
    answers = read_answers(arguments.answers)
    points, points_from = points_for(arguments)
    given = {"learner": arguments.learner_column, "user_name": arguments.user_name_column,
             "password": arguments.password_column, "time": arguments.time_column}
    table = Table(arguments.submissions, "submissions", delimiter=delimiter_of(arguments.delimiter),
                  workbook=[name for name in given.values() if name], sheet=arguments.sheet)
    if lms.is_question_rows(table.header):
        text, note = lms.attempts_from_questions(table, arguments.user_name_question,
                                                 arguments.password_question)
        say(note, error=True)
        table = Table(arguments.submissions, "submissions", delimiter=",",
                      content=text.encode("utf-8"))
        given["learner"] = None  # the rows made hold the tool's own names
    shape = lms.shape_of(table.header, given)
    if shape.note:
        say(f"{escaped(arguments.submissions)}: {shape.note}", error=True)
    columns = [table.column(name, option) for name, option in (
        (shape.learner, "--learner-column"), (shape.user_name, "--user-name-column"),
        (shape.password, "--password-column"))]
    ids = joining.Ids(answers)
    if arguments.ids or arguments.gradebook:
        export, column, option = (arguments.ids, arguments.ids_column, "--ids-column") \
            if arguments.ids else (arguments.gradebook, arguments.gradebook_id_column,
                                   "--gradebook-id-column")
        ids.join_through(export, column, option, submitted_ids(table, columns[0]),
                         workbook=[column] if arguments.ids else None,
                         named=arguments.join_column)
    grades = Grades(answers, table, columns, ids, timing_of(
        table, shape.time, columns[0], arguments.date_order, say),
        lms.unfinished(table, shape))
    if grades.unfinished:
        say(f"{escaped(arguments.submissions)}: skipped {grades.unfinished} attempt(s) not "
            "finished (their State is not Finished)", error=True)
    for note in table.source.notes + ids.notes + marker_and_test_notes(
            escaped(arguments.submissions), grades.marked, grades.tests):
        say(note, error=True)
    matched_none = grades.matched == 0
    if matched_none:
        say(f"warning: no id in the column {shown_column(shape.learner)} of "
            f"{escaped(arguments.submissions)} is on the roster; is that the column of the "
            "roster's ids (--learner-column)?", error=True)
    results = grades.results()
    report = grades.report(results, points)
    summary = grades.summary(results) + f"; {points} point(s) for solved ({points_from})"
    if arguments.gradebook:
        if matched_none:
            raise SetError("no submitted id names a learner of the set, so no gradebook file "
                           "was written")
        missing = "0" if arguments.missing_as_zero else None  # None: the cell stays
        cells = {learner: {"solved": points, "wrong": "0"}.get(result, missing)
                 for learner, (result, _) in results.items()}
        content, notes, absent = gradebook.filled_copy(
            arguments.gradebook, arguments.gradebook_id_column, arguments.gradebook_column, cells)
        for note in notes:
            say(note, error=True)
        report_path = report_path_of(arguments)
        files.stage("--out", arguments.out, content, 0o600)
        files.stage("--report", report_path, report, 0o600)
        files.place()
        if absent:
            say(gradebook.absent_warning(absent, "the gradebook"), error=True)
        say(f"{summary}; the report: {escaped(report_path)}")
    elif arguments.out:
        files.stage("--out", arguments.out, report, 0o600)
        files.place()
        say(summary)
    else:
        write_report(report)
        say(summary, error=True)
    return 1 if matched_none else 0


def report_path_of(arguments):
    """Where the report goes with --gradebook: --report, else beside --out;
    None without --gradebook (it goes to --out or standard output)."""
    if not arguments.gradebook or not arguments.out:
        return None
    if arguments.report:
        return arguments.report
    path = Path(arguments.out)
    return str(path.with_name(f"{path.stem}-report.csv"))
