"""The tool's subcommands, like git's: make a set, make its answers again,
hand the packages out through the LMS or serve them, grade what the learners
handed in. This module only reads the arguments and
calls; interrupted by a signal at any moment, a run ends what it started and
leaves nothing behind."""

import argparse
import signal

from . import build, grading, handouts, making, packages, server, workspace
from .common import PROGRAM, SetError, escaped
from .console import progress, say, settle
from .workspace import SIGNALS, Interrupted, Workspace


def grade(arguments):
    if arguments.gradebook and not (arguments.out and arguments.gradebook_id_column and
                                    arguments.gradebook_column):
        raise SetError("--gradebook needs --gradebook-id-column, --gradebook-column and --out "
                       "(the filled copy)")
    inputs = [("--answers", arguments.answers), ("--submissions", arguments.submissions),
              ("--gradebook", arguments.gradebook)]
    for option, path in (("--out", arguments.out), ("--report", arguments.report)):
        if path:
            packages.check_output_file(path, inputs)
            inputs.append((option, path))
    return grading.grade(arguments, say)


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
    parser.add_argument("--verbose", action="store_true",
                        help="say for each learner whose values were drawn again why")


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
    handouts.add_options(commands)
    server.add_options(commands)
    return parser


def main(argv=None):
    work_space = Workspace()
    try:
        try:
            status = run(argv, work_space)
        finally:
            finish(work_space)  # blocks the signals for good, once it has begun
    except Interrupted as interruption:
        # Raised at most once (the handler ignores any later signal), so
        # nothing interrupts this.
        left = finish(work_space)
        if work_space.complete is not None:
            say(f"{PROGRAM}: interrupted by {interruption}, but the set is complete in "
                f"{escaped(work_space.complete)}", error=True)
        elif left:
            say(f"{PROGRAM}: interrupted by {interruption}; could not remove "
                f"{', '.join(map(escaped, left))}", error=True)
        else:
            say(f"{PROGRAM}: interrupted by {interruption}; nothing was written", error=True)
        return 128 + interruption.number
    return status


def run(argv, work_space):
    for number in SIGNALS:
        signal.signal(number, workspace.on_signal)
    settle()
    progress.start()
    try:
        arguments = parser_for_tool().parse_args(argv)
        if arguments.command == "make":
            making.make_set(arguments, work_space)
        elif arguments.command == "answers":
            making.write_answers(arguments, work_space)
        elif arguments.command == "handout":
            return handouts.put_into_lms(arguments, say)
        elif arguments.command == "handout-list":
            return handouts.write_handout_list(arguments, say)
        elif arguments.command == "serve":
            return server.serve(arguments, say, Interrupted)
        elif arguments.command == "submissions":
            return server.write_submissions(arguments, say)
        else:
            return grade(arguments)
    except SetError as error:
        say(f"{PROGRAM}: {error}", error=True)
        return 1
    except MemoryError:
        say(f"{PROGRAM}: out of memory; nothing was written", error=True)
        return 1
    except OSError as error:
        where = escaped(error.filename) if error.filename else "a file or folder"
        say(f"{PROGRAM}: {where}: {error.strerror}", error=True)
        return 1
    return 0


def finish(work_space):
    """Ends every child and removes every temporary folder and file, with no
    signal let in halfway; what could not be removed is returned. Doing it
    again finds nothing to do."""
    workspace.blocked()
    progress.clear()
    build.end_children()
    return work_space.remove(packages.STAGED_FILES)
