"""Each LMS's own quiz report, read as it is exported, so that the setter
names no column the export's header already tells: which columns hold the
learner's id, the two answers and the time; which rows are no finished
attempt (Moodle's "In progress"); and Brightspace's export of one question
per row, turned into one row per attempt."""

import csv
import io

from . import inputs
from .common import SetError, shown, shown_column
from .inputs import WHITE_SPACE, field

# name, the header names that tell it, the columns it holds: learner (the
# first of these that stands), user name, password, time, state.
SHAPES = [
    ("Moodle's quiz responses", {"State", "Response 1", "Response 2"},
     (["Email address", "Username", "ID number"], "Response 1", "Response 2", "Completed",
      "State")),
    ("Blackboard's test results", {"Answer 1", "Answer 2"},
     (["Username", "User Name"], "Answer 1", "Answer 2", "Attempt", None)),
]
FINISHED = "finished"
# Brightspace's quiz export: a row per question of each attempt.
QUESTION_ROWS = {"Q #", "Answer"}
DEFAULTS = ("learner", "user_name", "password")


class Shape:
    """The columns grading reads, and how they were found."""

    def __init__(self, learner, user_name, password, time=None, state=None, note=None):
        self.learner, self.user_name, self.password = learner, user_name, password
        self.time, self.state, self.note = time, state, note


def shape_of(header, given):
    """The columns to read: those `given` ({learner, user_name, password,
    time}: a name or None), the rest from the LMS the header shows, else
    the tool's own names."""
    for name, telling, (learners, user_name, password, time, state) in SHAPES:
        if not telling <= set(header):
            continue
        learner = next((column for column in learners if column in header), learners[0])
        found = Shape(given["learner"] or learner, given["user_name"] or user_name,
                      given["password"] or password,
                      given["time"] or (time if time in header else None),
                      state if state in header else None)
        took = [f"{what} {shown_column(column)}" for what, column, option in (
            ("ids", found.learner, "learner"), ("user names", found.user_name, "user_name"),
            ("passwords", found.password, "password"), ("times", found.time, "time"))
            if column and not given[option]]
        found.note = f"read as {name}: {', '.join(took)}" if took else None
        return found
    return Shape(*(given[option] or default for option, default in
                   zip(("learner", "user_name", "password"), DEFAULTS)), time=given["time"])


def unfinished(table, shape):
    """A row's fields -> whether it is an attempt not finished (Moodle's
    State other than Finished); None where the export has no state."""
    if shape.state is None:
        return None
    index = table.column(shape.state, "the export's State column")
    return lambda fields: field(fields, index).strip(WHITE_SPACE).lower() != FINISHED


def is_question_rows(header):
    return QUESTION_ROWS <= set(header)


def attempts_from_questions(table, user_name_question, password_question):
    """Brightspace's quiz export (a row per question of each attempt) as CSV
    text of one row per attempt: learner, attempt, user_name, password, in
    the export's order. A question is named by its number (Q #) or title."""
    learner_index = next((table.header.index(name) for name in
                          ("Username", "Org Defined ID", "OrgDefinedId")
                          if name in table.header), None)
    if learner_index is None:
        raise SetError(f"{table.path}:1: a quiz export with a row per question, but no "
                       "Username column")
    number = table.column("Q #", "the question's number")
    title = table.header.index("Q Title") if "Q Title" in table.header else None
    answer = table.column("Answer", "the answer")
    attempt = table.header.index("Attempt #") if "Attempt #" in table.header else None
    wanted = {"user_name": user_name_question or "1", "password": password_question or "2"}
    attempts, seen = {}, {kind: False for kind in wanted}
    for _, fields, _ in table.rows():
        names = {field(fields, number).strip(WHITE_SPACE)}
        if title is not None:
            names.add(field(fields, title).strip(WHITE_SPACE))
        key = (field(fields, learner_index).strip(WHITE_SPACE),
               "" if attempt is None else field(fields, attempt).strip(WHITE_SPACE))
        for kind, question in wanted.items():
            if question in names:
                attempts.setdefault(key, {})[kind] = field(fields, answer)
                seen[kind] = True
    for kind, found in seen.items():
        if not found:
            option = f"--{kind.replace('_', '-')}-question"
            raise SetError(f"{table.path}: no question {shown(wanted[kind])} (by Q # or Q "
                           f"Title) for the {kind.replace('_', ' ')}; name it with {option}")
    text = io.StringIO()
    writer = csv.writer(text, lineterminator="\n")
    writer.writerow(["learner", "attempt", "user_name", "password"])
    # Each learner's attempts in their order: the last one with an answer counts.
    ordered = sorted(attempts.items(), key=lambda item: int(item[0][1])
                     if item[0][1].isdigit() else 0)
    for (learner, number_text), answers in ordered:
        writer.writerow([learner, number_text, answers.get("user_name", ""),
                         answers.get("password", "")])
    return text.getvalue(), (f"{table.path}: read as Brightspace's quiz export, a row per "
                             f"question: {len(attempts)} attempt(s)")



# Where each LMS's own exports (class lists, gradebooks, worksheets) keep
# the ids a set is keyed by, and the header names that tell them apart.
ID_COLUMNS = {
    "canvas": ({"SIS Login ID", "SIS User ID"}, ["SIS Login ID"]),
    "brightspace": ({"OrgDefinedId", "Org Defined ID", "End-of-Line Indicator"}, ["Username"]),
    "blackboard": ({"Last Access", "Availability", "Child Course ID"}, ["Username"]),
    "moodle": ({"Email address", "ID number", "Identifier"}, ["Email address"]),
    "forms": ({"Timestamp", "Email Address", "Completion time"}, ["Email Address", "Email"]),
}


def id_column(header, system=None):
    """(the id column of an LMS export, which LMS) by the system named, or
    by what its header shows; None where neither tells."""
    systems = [system] if system else list(ID_COLUMNS)
    for name in systems:
        telling, columns = ID_COLUMNS[name]
        if system or telling & set(header):
            found = next((column for column in columns if column in header), None)
            if found is not None:
                return found, name
    return None


def fill_id_columns(arguments, say):
    """Each id column option left out, where the file it is for is an LMS
    export that tells it: the roster's, the gradebook's, the worksheet's.
    The explicit options always win."""
    for option, path_option, what in (("roster_column", "roster", "roster"),
                                      ("gradebook_id_column", "gradebook", "gradebook"),
                                      ("worksheet_id_column", "moodle_worksheet", "worksheet")):
        path = getattr(arguments, path_option, None)
        if path is None or getattr(arguments, option, "given") is not None:
            continue
        system = getattr(arguments, "lms", None)
        table = inputs.Table(path, what, workbook=[])
        if what == "roster" and system is None and len(table.header) < 2:
            continue  # a plain list of ids, one a line
        found = id_column(table.header, system)
        if found is None:
            flag = "--" + option.replace("_", "-")
            raise SetError(f"{table.path}:1: which column holds the ids is not known; name it "
                           f"with {flag}" + ("" if system else " (or say which LMS wrote it "
                                                               "with --lms)"))
        setattr(arguments, option, found[0])
        say(f"{table.path}: the ids are its column {shown_column(found[0])}, as "
            f"{found[1].capitalize()} writes them", error=True)
