"""Grades what the learners handed in against the set's answers.csv. A
submission is solved exactly when that learner's own program would answer
"Correct" to the two fields typed at its two prompts: the program reads one
word at each, so white space around a word is ignored, and letter case
matters. It needs no secret and no build."""

import csv
import io
import sys

from .common import MIB, SetError, read_capped
from .packages import ANSWERS_HEADER, replace_file
from .roster import csv_table, decode_text

FILE_LIMIT = 16 * MIB


def add_options(parser):
    parser.add_argument("--answers", required=True, metavar="FILE", help="the set's answers.csv")
    parser.add_argument("--submissions", required=True, metavar="FILE",
                        help="CSV with a header row, one row per submission (an export is fine)")
    parser.add_argument("--learner-column", default="learner", metavar="NAME",
                        help="the column of learner ids (default: learner)")
    parser.add_argument("--user-name-column", default="user_name", metavar="NAME",
                        help="the column of user names (default: user_name)")
    parser.add_argument("--password-column", default="password", metavar="NAME",
                        help="the column of passwords (default: password)")
    parser.add_argument("--out", metavar="FILE",
                        help="write the report here, and the summary to the terminal "
                             "(default: report to standard output, summary to standard error)")


def typed(user_name_field, password_field):
    """The two words the program reads when the fields are typed at its
    prompts, each followed by Enter: (user name, password)."""
    # bytes.split() splits at exactly the C locale's white space.
    words = (user_name_field.encode() + b"\n" + password_field.encode() + b"\n").split()
    return (words + [b"", b""])[:2]


def read_answers(path):
    text = decode_text(path, "answers", read_capped(path, "answers", FILE_LIMIT))
    rows = list(csv.reader(io.StringIO(text)))
    if not rows or rows[0] != ANSWERS_HEADER:
        raise SetError(f"{path}:1: not an answers file of this tool: its header must be "
                       f"{','.join(ANSWERS_HEADER)}")
    answers = {}
    for number, row in enumerate(rows[1:], start=2):
        if len(row) != 3:
            raise SetError(f"{path}:{number}: expected learner,user_name,password")
        answers[row[0]] = (row[1].encode(), row[2].encode())
    return answers


def judge(learner, pair, answers, holders):
    """(result, detail) for one learner's last submission."""
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


def grade_rows(answers, submissions, names):
    """The report's rows: roster learners in roster order, then ids that are
    not on the roster."""
    learner_column, user_column, password_column = names
    by_learner, order = {}, []
    roster = {learner.lower(): learner for learner in answers}
    for _, row in submissions:
        submitted = row[learner_column].strip()
        learner = roster.get(submitted.lower(), submitted)
        if learner not in by_learner:
            order.append(learner)
        by_learner.setdefault(learner, []).append((row[user_column], row[password_column]))
    holders = {}
    for learner, pair in answers.items():
        holders.setdefault(pair, []).append(learner)

    report = []
    for learner in answers:
        rows = by_learner.get(learner, [])
        if not rows or not "".join(rows[-1]).strip():
            report.append([learner, "missing", ""])
            continue
        result, detail = judge(learner, tuple(typed(*rows[-1])), answers, holders)
        if len(rows) > 1:
            detail = "; ".join(filter(None, [detail, f"{len(rows)} rows submitted, the last counts"]))
        report.append([learner, result, detail])
    for learner in order:
        if learner not in answers and learner:
            report.append([learner, "wrong", "not on the roster"])
    return report


def grade(arguments):
    answers = read_answers(arguments.answers)
    names = [arguments.learner_column, arguments.user_name_column, arguments.password_column]
    text = decode_text(arguments.submissions, "submissions",
                       read_capped(arguments.submissions, "submissions", FILE_LIMIT))
    if not text.strip():
        raise SetError(f"{arguments.submissions}: the submissions file is empty")
    report = grade_rows(answers, csv_table(arguments.submissions, "submissions", text, names),
                        names)
    output = io.StringIO()
    writer = csv.writer(output, lineterminator="\n")
    writer.writerow(["learner", "result", "detail"])
    writer.writerows(report)
    counts = {result: sum(row[1] == result for row in report)
              for result in ("solved", "wrong", "missing")}
    shared = sum(row[2].startswith("another learner's answer") for row in report)
    summary = (f"{counts['solved']} solved, {counts['wrong']} wrong, {counts['missing']} missing, "
               f"{shared} another learner's answer")
    if arguments.out:
        replace_file(arguments.out, output.getvalue().encode("utf-8"), 0o600)
        print(summary)
    else:
        sys.stdout.write(output.getvalue())
        sys.stdout.flush()
        print(summary, file=sys.stderr)
    return 0

