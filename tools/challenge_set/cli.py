"""The tool's subcommands, like git's: make a set, make its answers again,
hand the packages out through the LMS or serve them, grade what the learners
handed in. This module only reads the arguments, declares each command's
files (files.Files checks and writes them) and calls; interrupted by a
signal at any moment, a run ends what it started and leaves nothing behind."""

import argparse
import signal
import sqlite3

from . import build, grading, handouts, lms, making, nginx, serving, workspace
from .common import PROGRAM, SetError, escaped, shown
from .console import progress, say, settle
from .files import Files
from .workspace import SIGNALS, Interrupted, Workspace

# An option that means nothing without another is refused without it:
# {command: {option: the options of which it needs one}}.
NEEDS = {
    "make": {"delimiter": ["roster_column", "lms"]},
    "answers": {"delimiter": ["roster_column", "lms"]},
    "grade": {"report": ["gradebook"], "missing_as_zero": ["gradebook"],
              "gradebook_id_column": ["gradebook"], "gradebook_column": ["gradebook"],
              "ids": ["ids_column"], "ids_column": ["ids"],
              "join_column": ["ids", "gradebook"]},
    "handout": {"gradebook_id_column": ["gradebook"], "gradebook_column": ["gradebook"],
                "link_base": ["gradebook"], "worksheet_id_column": ["moodle_worksheet"],
                "max_size": ["moodle_worksheet"],
                "packages": ["moodle_worksheet", "link_base"]},
}


def option_name(dest):
    return "--" + dest.replace("_", "-")


def check_options(arguments):
    for option, needed in NEEDS.get(arguments.command, {}).items():
        given = getattr(arguments, option)
        if given not in (None, False) and not any(getattr(arguments, other) for other in needed):
            raise SetError(f"{option_name(option)} means nothing without "
                           f"{' or '.join(map(option_name, needed))}")


def declared(arguments):
    """What a command reads and what it writes, each (option, path or None,
    is a folder): checked before anything is read."""
    a = arguments
    if a.command in ("make", "answers"):
        return ([("--secret-file", a.secret_file, False), ("--roster", a.roster, False),
                 ("--note", a.note, False)], [("--out", a.out, a.command == "make")])
    if a.command == "grade":
        return ([("--answers", a.answers, False), ("--submissions", a.submissions, False),
                 ("--gradebook", a.gradebook, False), ("--ids", a.ids, False)],
                [("--out", a.out, False), ("--report", grading.report_path_of(a), False)])
    if a.command == "handout-list":
        return ([("--answers", a.answers, False), ("--packages", a.packages, True)],
                [("--out", a.out, False)])
    if a.command == "handout":
        return ([("--handout", a.handout, False), ("--gradebook", a.gradebook, False),
                 ("--moodle-worksheet", a.moodle_worksheet, False),
                 ("--packages", handouts.packages_folder(a), True)], [("--out", a.out, False)])
    if a.command == "nginx-site":
        return nginx.declared(a)
    return serving.declared(a)


def grade(arguments, files, _):
    if arguments.gradebook and not (arguments.out and arguments.gradebook_id_column and
                                    arguments.gradebook_column):
        raise SetError("--gradebook needs --gradebook-id-column, --gradebook-column and --out "
                       "(the filled copy)")
    return grading.grade(arguments, files, say)


COMMANDS = {
    "make": making.make_set, "answers": making.write_answers,
    "handout": lambda arguments, files, _: handouts.put_into_lms(arguments, files, say),
    "handout-list": lambda arguments, files, _: handouts.write_handout_list(arguments, files, say),
    "serve": lambda arguments, files, _: serving.serve(arguments, files, say, Interrupted),
    "submissions": lambda arguments, files, work_space: serving.write_submissions(
        arguments, files, work_space, say),
    "nginx-site": lambda arguments, files, _: nginx.write_site(arguments, files, say),
    "grade": grade,
}


# ---------------------------------------------------------------- commands


def add_set_options(parser, out_help):
    parser.add_argument("--set", required=True, help="the set's name, shown in each handout")
    parser.add_argument("--secret-file", required=True,
                        help="a file of 16 bytes to 4 KiB (a final line end is not counted) "
                             "that only you can read")
    parser.add_argument("--roster", required=True,
                        help="one learner id a line, or a CSV export with --roster-column")
    parser.add_argument("--roster-column", metavar="NAME",
                        help="the roster is CSV with a header row; the ids are in this column")
    grading.add_delimiter_option(parser, "the roster's")
    parser.add_argument("--out", required=True, help=out_help)
    parser.add_argument("--platforms", default="linux,windows",
                        help="comma-separated: linux, windows (default: both)")
    parser.add_argument("--keep-symbols", action="store_true",
                        help="leave the symbol table in the programs, for an easier exercise")
    parser.add_argument("--note", help="UTF-8 text for every handout, at most 64 KiB")
    add_lms_option(parser)
    parser.add_argument("--ids-as-written", action="store_true",
                        help="draw values from each id as written, not with its letter case "
                             "folded: for a set made before ids were folded (its set.json has "
                             "no learner_ids), to make its answers again")
    parser.add_argument("--verbose", action="store_true",
                        help="say for each learner whose values were drawn again why")


def add_lms_option(parser):
    parser.add_argument("--lms", choices=sorted(lms.ID_COLUMNS),
                        help="the LMS that wrote the exports given, for their id column "
                             "(default: found from each export's header, where it tells)")


def parser_for_tool():
    parser = argparse.ArgumentParser(
        prog=PROGRAM, description="Sets the login challenge for a class: one variant of the "
        "program per learner, each with its own answer, and grades what they hand in.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    make = commands.add_parser(
        "make", help="make a set: packages, answers, hand-out list, checksums",
        description="Builds one variant of the program per learner, with values drawn from the "
        "secret, the set name and the learner id alone, and writes their packages, "
        "answers.csv, handout.csv, SHA256SUMS and set.json to a new folder.")
    add_set_options(make, "a new or empty folder for the set")
    answers = commands.add_parser(
        "answers", help="make a set's answers.csv again, without building the set",
        description="Writes the answers that `make` wrote for the same options, "
        "building only the default program.")
    add_set_options(answers, "the answers file to write (readable by you only)")
    grade_parser = commands.add_parser("grade", help="grade what the learners handed in",
                                       description=grading.__doc__)
    grading.add_options(grade_parser)
    add_lms_option(grade_parser)
    handouts.add_options(commands)
    add_lms_option(commands.choices["handout"])
    serving.add_options(commands)
    nginx.add_options(commands)
    return parser


def main(argv=None):
    work_space = Workspace()
    files = Files()
    try:
        try:
            status = run(argv, work_space, files)
        finally:
            finish(work_space, files)  # blocks the signals for good, once it has begun
    except Interrupted as interruption:
        # Raised at most once (the handler ignores any later signal), so
        # nothing interrupts this.
        left = finish(work_space, files)
        if left:
            say(f"{PROGRAM}: interrupted by {interruption}; could not remove "
                f"{', '.join(map(escaped, left))}{files.written_note()}", error=True)
        else:
            say(f"{PROGRAM}: interrupted by {interruption}{files.written_note()}", error=True)
        return 128 + interruption.number
    return status


def run(argv, work_space, files):
    for number in SIGNALS:
        signal.signal(number, workspace.on_signal)
    settle()
    progress.start()
    try:
        arguments = parser_for_tool().parse_args(argv)
        check_options(arguments)
        files.declare(*declared(arguments))
        lms.fill_id_columns(arguments, say)
        status = COMMANDS[arguments.command](arguments, files, work_space) or 0
        files.place()  # what a command staged and did not place itself
        return status
    except Exception as error:  # pylint: disable=broad-except
        if workspace.taken:
            # A signal that a library swallowed, which then failed the
            # read it cut short: the signal ends the run, not the file.
            raise Interrupted(workspace.taken[0]) from None
        say(f"{PROGRAM}: {error_line(error)}{written(files, error)}", error=True)
    if workspace.taken:
        raise Interrupted(workspace.taken[0])
    return 1


def error_line(error):
    """One line for an error, never a traceback."""
    if isinstance(error, SetError):
        return str(error)
    if isinstance(error, MemoryError):
        return "out of memory"
    if isinstance(error, sqlite3.Error):  # named by the command that opened it; the rest
        return f"the submissions' database: {error}"
    if isinstance(error, OSError):
        where = escaped(error.filename) if error.filename else "a file or folder"
        return f"{where}: {error.strerror}"
    # A fault of the tool itself: one line that says so.
    return (f"a fault of the tool, not of your files ({type(error).__name__}: "
            f"{shown(str(error))}); please report it")


def written(files, error):
    """What an error's line adds: what was written before it."""
    if isinstance(error, SetError) and "already written whole" in str(error):
        return ""
    if isinstance(error, SetError) and not files.placed:
        return ""  # its own message says what it must
    return files.written_note()


def finish(work_space, files):
    """Ends every child and removes every temporary folder and file, with no
    signal let in halfway; what could not be removed is returned. Doing it
    again finds nothing to do."""
    workspace.blocked()
    progress.clear()
    build.end_children()
    return files.discard() + work_space.remove()
