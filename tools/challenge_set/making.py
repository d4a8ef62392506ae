"""The tool's subcommands, like git's: make a set, make its answers again,
grade what the learners handed in. Interrupted by a signal at any moment, it
ends what it started and leaves nothing behind."""

import argparse
import hashlib
import os
import re
import signal
import subprocess
import sys
import time

from . import archives, build, grading, packages, values, workspace
from .common import PROGRAM, SOURCE, SetError, escaped, shown
from .extractors import Reference, wanted
from .inputs import read_note, read_roster, read_secret
from .workspace import SIGNALS, WORK_PREFIX, Interrupted, Workspace


def say(text, error=False):
    """Writes one line for the user. Output that cannot be written (a full
    disk, a closed terminal) must not stop a run that can still finish: it
    is given up, and the result says so."""
    progress.clear()
    try:
        stream = sys.stderr if error else sys.stdout
        stream.write(text + "\n")
        stream.flush()
        return True
    except OSError:
        return False


class Progress:
    """One line on a terminal that says how far a long run is, updated in
    place; nothing when standard output is not a terminal."""

    def __init__(self):
        self.on, self.shown, self.last = False, False, 0.0

    def start(self):
        try:
            self.on = sys.stdout.isatty()
        except (OSError, ValueError):
            self.on = False

    def show(self, text, now=False):
        if not self.on or (not now and time.monotonic() - self.last < 0.2):
            return
        self.last = time.monotonic()
        try:
            sys.stdout.write("\r\x1b[K" + text)
            sys.stdout.flush()
            self.shown = True
        except OSError:
            self.on = False

    def clear(self):
        if self.shown:
            self.shown = False
            try:
                sys.stdout.write("\r\x1b[K")
                sys.stdout.flush()
            except OSError:
                self.on = False


progress = Progress()


# ---------------------------------------------------------------- input


def check_set_name(name):
    if not re.fullmatch(r"[A-Za-z0-9][A-Za-z0-9._-]{0,63}", name):
        raise SetError(f"--set: {shown(name)} is not a set name: use 1 to 64 ASCII letters, "
                       "digits, '.', '_' and '-', starting with a letter or digit")


def set_inputs(arguments):
    return [("--secret-file", arguments.secret_file), ("--roster", arguments.roster),
            ("--note", arguments.note)]


def read_inputs(arguments):
    """Everything a set is made from, checked before anything is built."""
    check_set_name(arguments.set)
    platforms = build.parse_platforms(arguments.platforms)
    secret = read_secret(arguments.secret_file)
    learners, notes = read_roster(arguments.roster, arguments.roster_column,
                                  grading.delimiter_of(arguments.delimiter))
    for note in notes:
        say(note)
    note = read_note(arguments.note)
    build.check_tools(platforms)
    return platforms, secret, learners, note


# ---------------------------------------------------------------- values


def draw_values(arguments, platforms, secret, learners, note, work):
    """Each learner's values. A draw is refused only for what that learner's
    own inputs hold: their handout, or the default program of a platform."""
    variants = work / "variants"
    variants.mkdir()
    log = work / "build.log"
    defaults = {}
    for platform in platforms:
        progress.show(f"{platform}: building the default program", now=True)
        program = build.default_program(platform, work / f"build-{platform}", variants,
                                        arguments.keep_symbols, log)
        defaults[platform] = Reference(program)
    chosen, redrawn = {}, []
    for number, learner in enumerate(learners, start=1):
        progress.show(f"drawing values: {number} of {len(learners)}")

        def rejection(candidate, learner=learner):
            for platform in platforms:
                handout = packages.handout(platform, arguments.set, learner,
                                           arguments.keep_symbols, note)
                default = defaults[platform]
                for kind in ("user_name", "password"):
                    if candidate[kind].encode() in handout:
                        return f"its {kind} stands whole in its {platform} handout"
                    if default.holds(candidate[kind]):
                        return f"its {kind} stands whole in the default {platform} program"
                if default.opens(wanted(candidate["user_name"], candidate["password"])):
                    return (f"letters and digits that a script reads off the default {platform} "
                            "program give a pool of all its characters")
            return None

        chosen[learner], reasons = values.choose(secret, arguments.set, learner, rejection)
        redrawn += [f"{learner}: drawn again (draw {attempt + 1}): {reason}"
                    for attempt, reason in enumerate(reasons, start=1)]
    values.check_distinct(chosen)
    if arguments.verbose:
        for line in redrawn:
            say(line)
    elif redrawn:
        learners_redrawn = len({line.split(": drawn again")[0] for line in redrawn})
        say(f"values drawn again for {learners_redrawn} learner(s), {len(redrawn)} draw(s) in "
            "all, for what their handout or a default program holds (--verbose says which)")
    return chosen, variants, log, defaults


def set_record(arguments, platforms, learners, note, epoch, epoch_problem, wine_problem):
    def first_line(command):
        try:
            result = subprocess.run(command, capture_output=True, text=True, check=False,
                                    stdin=subprocess.DEVNULL)
        except OSError:
            return None
        return (result.stdout.strip().splitlines() or [None])[0]

    commit, commit_problem = archives.git("rev-parse", "HEAD")
    changed = None
    if commit is not None:
        changed = bool(archives.git("status", "--porcelain", "--", "src", "cmake",
                                    "CMakeLists.txt", "CMakePresets.json", "tools")[0])
    version = re.search(r"project\([^)]*\bVERSION ([0-9.]+)",
                        (SOURCE / "CMakeLists.txt").read_text()).group(1)
    compilers = {"linux": ["g++", "--version"], "windows": ["i686-w64-mingw32-g++", "--version"]}
    record = {
        "made_by": "tools/challenge-set make",
        "commit": commit.strip() if commit else None,
        "uncommitted_changes": changed,
    }
    if commit is None:
        record["commit_unknown_because"] = commit_problem
    record.update({
        "program_version": version,
        "set": arguments.set,
        "platforms": platforms,
        "keep_symbols": arguments.keep_symbols,
        "note_sha256": hashlib.sha256(note.encode()).hexdigest() if note else None,
        "learners": len(learners),
        "compilers": {platform: first_line(compilers[platform]) for platform in platforms},
        "archive_time": epoch,
        "archive_time_from": ("none: 0 was used" if epoch_problem is not None else
                              "SOURCE_DATE_EPOCH" if os.environ.get("SOURCE_DATE_EPOCH",
                                                                    "").isdigit()
                              else "the last commit"),
        "windows_programs_run": None if "windows" not in platforms else (
            "each learner's .exe ran a right and a wrong attempt under 32-bit Wine"
            if wine_problem is None else f"not run: {wine_problem}"),
    })
    return record


def archive_time():
    epoch, problem = archives.source_date_epoch()
    if problem is not None:
        say(f"{PROGRAM}: warning: {problem}; archives carry the time {epoch} (1970-01-01)",
            error=True)
    return epoch, problem


def prepare(place, learners, platforms, wine, work_space):
    """What every building run does first: clean up after a killed run,
    check the temporary folder, make the work folder."""
    workspace.remove_stale(place, say)
    workspace.check_temporary_folder(platforms, learners, wine)
    return work_space.folder(prefix=f"{WORK_PREFIX}{os.getpid()}-")


# ---------------------------------------------------------------- make


def make_set(arguments, work_space):
    out = packages.check_output(arguments.out, set_inputs(arguments))
    platforms, secret, learners, note = read_inputs(arguments)
    wine_wanted = "windows" in platforms and build.wine_problem() is None
    work = prepare(out.absolute().parent, len(learners), platforms, wine_wanted, work_space)
    workspace.check_room(out.absolute().parent, len(learners) * len(platforms) * 3, arguments.out)
    epoch, epoch_problem = archive_time()
    mode = packages.folder_mode(out)
    staging = work_space.folder(prefix=f".{out.name}.staging-", dir=out.absolute().parent)
    if "windows" in platforms:
        wine_setup = build.start_wine(work)
    chosen, variants, log, defaults = draw_values(arguments, platforms, secret, learners, note,
                                                  work)
    names = {build.internal_name(learner): learner for learner in learners}
    template = (SOURCE / "src" / "credentials.cpp").read_text(encoding="utf-8")
    for learner in learners:
        folder = variants / build.internal_name(learner)
        folder.mkdir()
        (folder / "credentials.cpp").write_text(values.variant_source(template, chosen[learner]),
                                                encoding="utf-8")
        (folder / "image-base.txt").write_text(f"{chosen[learner]['image_base']:#x}\n")
    for platform in platforms:
        def show(done, total, platform=platform):
            progress.show(f"{platform}: building, step {done} of {total}")
        build.configure_and_build(platform, work / f"build-{platform}", variants,
                                  arguments.keep_symbols, log, names, show=show)

    wine, wine_problem = None, None
    if "windows" in platforms:
        wine, wine_problem = build.wine_ready(*wine_setup)
        if wine_problem:
            say(f"Windows programs are checked by format only: {wine_problem}")

    try:
        write_set(staging, arguments, learners, platforms, chosen, note, work, wine, defaults,
                  epoch, set_record(arguments, platforms, learners, note, epoch, epoch_problem,
                                    wine_problem))
    except SetError as error:
        # Named as the user will know it, not by the staging folder's name.
        raise SetError(f"writing the set: "
                       f"{str(error).replace(escaped(staging), escaped(arguments.out))}") from error
    os.chmod(staging, mode)
    put_in_place(staging, out, arguments.out, work_space)
    done = (f"{len(learners)} learner(s), {', '.join(platforms)}: {escaped(out)}/answers.csv, "
            f"{escaped(out)}/SHA256SUMS, {escaped(out)}/set.json and "
            f"{len(learners) * len(platforms)} package(s) in {escaped(out)}/packages")
    if not say(done):
        say(f"{PROGRAM}: the set is complete in {escaped(out)}, but its summary could not be "
            "written to standard output", error=True)


def put_in_place(staging, out, out_text, work_space):
    """Moves the finished set to --out whole, with no signal let in halfway:
    after this, a signal finds the set complete."""
    previous = workspace.blocked()
    try:
        (staging / workspace.OWNER).unlink()
        try:
            if out.is_dir():
                out.rmdir()
            staging.rename(out)
        except OSError as error:
            raise SetError(f"{escaped(out_text)}: cannot put the set there ({error.strerror}): "
                           "was it made meanwhile, by another run?") from error
        work_space.folders.remove(staging)
        work_space.complete = out
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


def write_set(staging, arguments, learners, platforms, chosen, note, work, wine, defaults, epoch,
              record):
    """Checks every learner's executables and writes the set into staging."""
    folder = staging / "packages"
    folder.mkdir()
    digests = {}
    for number, learner in enumerate(learners, start=1):
        progress.show(f"checking and packing: {number} of {len(learners)}")
        for platform in platforms:
            executable = build.variant_executable(platform, work / f"build-{platform}", learner)
            defects = build.executable_defects(platform, executable, chosen[learner], wine,
                                               defaults[platform])
            if defects:
                raise SetError(f"{learner}: its {platform} program may not be handed out, so "
                               f"nothing was written: {'; '.join(defects)} (a fault of the "
                               "program's build, not of the inputs)")
            handout = packages.handout(platform, arguments.set, learner, arguments.keep_symbols,
                                       note)
            digests[packages.package_name(learner, platform)] = packages.write_package(
                folder, learner, platform, executable.read_bytes(), handout, epoch)
    published = packages.published_mode()
    packages.write_file(staging / "answers.csv", packages.answers_csv(learners, chosen), 0o600)
    packages.write_file(staging / "SHA256SUMS", packages.checksums(digests), published)
    packages.write_file(staging / "set.json", packages.set_record(record), published)
    packages.write_file(staging / ".gitignore", packages.ignore_file(), published)
    os.chmod(folder, 0o755 & ~packages.current_umask())


def write_answers(arguments, work_space):
    out = packages.check_output_file(arguments.out, set_inputs(arguments))
    platforms, secret, learners, note = read_inputs(arguments)
    work = prepare(out.absolute().parent, 0, platforms, False, work_space)
    chosen = draw_values(arguments, platforms, secret, learners, note, work)[0]
    packages.replace_file(arguments.out, packages.answers_csv(learners, chosen), 0o600)
    say(f"{len(learners)} learner(s): {escaped(out)}")


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
        "make", help="make a set: packages, answers, checksums",
        description="Builds one variant of the program per learner, with values drawn from the "
        "secret, the set name and the learner id alone, and writes their packages, "
        "answers.csv, SHA256SUMS and set.json to a new folder.")
    add_set_options(make, "a new or empty folder for the set")
    answers = commands.add_parser(
        "answers", help="make a set's answers.csv again, without building the set",
        description="Writes the answers that `make` wrote for the same options, "
        "building only the default program.")
    add_set_options(answers, "the answers file to write (readable by you only)")
    grade_parser = commands.add_parser("grade", help="grade what the learners handed in",
                                       description=grading.__doc__)
    grading.add_options(grade_parser)
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
            say(f"{PROGRAM}: interrupted, but the set is complete in "
                f"{escaped(work_space.complete)}", error=True)
        elif left:
            say(f"{PROGRAM}: interrupted; could not remove {', '.join(map(escaped, left))}",
                error=True)
        else:
            say(f"{PROGRAM}: interrupted; nothing was written", error=True)
        return 128 + interruption.number
    return status


def run(argv, work_space):
    for number in SIGNALS:
        signal.signal(number, workspace.on_signal)
    progress.start()
    try:
        arguments = parser_for_tool().parse_args(argv)
        if arguments.command == "make":
            make_set(arguments, work_space)
        elif arguments.command == "answers":
            write_answers(arguments, work_space)
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
    """Ends every child and removes every temporary folder, with no signal
    let in halfway; what could not be removed is returned. Doing it again
    finds nothing to do."""
    workspace.blocked()
    progress.clear()
    build.end_children()
    return work_space.remove()
