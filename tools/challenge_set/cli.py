"""The tool's subcommands, like git's: make a set, make its answers again,
grade what the learners handed in. Interrupted by a signal at any moment, it
ends what it started and leaves nothing behind."""

import argparse
import hashlib
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import unicodedata
from pathlib import Path

from . import archives, build, grading, packages, values
from .common import KIB, PROGRAM, SOURCE, SetError, read_capped, shown
from .extractors import Reference, wanted
from .roster import decode_text, internal_name, read_roster

SECRET_LIMIT = 4 * KIB
MIN_SECRET_BYTES = 16
NOTE_LIMIT = 64 * KIB
SIGNALS = build.SIGNALS


class Interrupted(Exception):
    def __init__(self, number):
        super().__init__(number)
        self.number = number


stopping = []  # the first signal taken; any after it is ignored


def on_signal(number, _frame):
    """The first of SIGINT, SIGTERM and SIGHUP stops the run where it is; a
    second one (a double Ctrl+C) must not cut short the clean-up of the first."""
    if stopping:
        return
    stopping.append(number)
    raise Interrupted(number)


# ---------------------------------------------------------------- input


def read_secret(path):
    try:
        mode = os.stat(path).st_mode
    except OSError as error:
        raise SetError(f"{path}: cannot read the secret: {error.strerror}") from error
    if mode & 0o044:
        raise SetError(f"{path}: the secret can be read by others; make it yours alone "
                       f"with `chmod 600 {path}`")
    # A final line end is not part of the secret, so editors cannot change it.
    secret = read_capped(path, "secret", SECRET_LIMIT).rstrip(b"\r\n")
    if len(secret) < MIN_SECRET_BYTES:
        raise SetError(f"{path}:1: the secret is {len(secret)} bytes long, not counting a final "
                       f"line end; it must be at least {MIN_SECRET_BYTES}")
    return secret


def read_note(path):
    """UTF-8 text for every handout: nothing that a terminal would act on."""
    if path is None:
        return ""
    text = decode_text(path, "note", read_capped(path, "note", NOTE_LIMIT))
    for number, line in enumerate(text.split("\n"), start=1):
        bad = [c for c in line if c not in "\t\r" and unicodedata.category(c) in ("Cc", "Cs")]
        if bad:
            raise SetError(f"{path}:{number}: the note holds the control character "
                           f"U+{ord(bad[0]):04X}; only tab and line ends may stand in it")
    return text.replace("\r\n", "\n").strip()


def check_set_name(name):
    if not re.fullmatch(r"[A-Za-z0-9][A-Za-z0-9._-]{0,63}", name):
        raise SetError(f"--set: {shown(name)} is not a set name: use 1 to 64 ASCII letters, "
                       "digits, '.', '_' and '-', starting with a letter or digit")


def read_inputs(arguments):
    """Everything a set is made from, checked before anything is built."""
    check_set_name(arguments.set)
    platforms = build.parse_platforms(arguments.platforms)
    secret = read_secret(arguments.secret_file)
    learners, notes = read_roster(arguments.roster, arguments.roster_column)
    for note in notes:
        print(note)
    note = read_note(arguments.note)
    build.check_tools(platforms)
    return platforms, secret, learners, note


# ---------------------------------------------------------------- work folders


class Workspace:
    """The temporary folders of one run, removed whatever happens."""

    def __init__(self):
        self.folders = []

    def folder(self, **options):
        # Signals wait while a folder is made and recorded, so none is missed.
        previous = signal.pthread_sigmask(signal.SIG_BLOCK, SIGNALS)
        try:
            path = Path(tempfile.mkdtemp(**options))  # owner-only
            self.folders.append(path)
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, previous)
        return path

    def remove(self):
        for folder in self.folders:
            shutil.rmtree(folder, ignore_errors=True)
        return [folder for folder in self.folders if os.path.lexists(folder)]


# ---------------------------------------------------------------- values


def draw_values(arguments, platforms, secret, learners, note, work):
    """Each learner's values. A draw is refused only for what that learner's
    own inputs hold: their handout, or the default program of a platform."""
    variants = work / "variants"
    variants.mkdir()
    log = work / "build.log"
    defaults = {}
    for platform in platforms:
        program = build.default_program(platform, work / f"build-{platform}", variants,
                                        arguments.keep_symbols, log)
        defaults[platform] = Reference(program)
    chosen, handouts = {}, {}
    for learner in learners:
        for platform in platforms:
            handouts[learner, platform] = packages.handout(
                platform, arguments.set, learner, arguments.keep_symbols, note)

        def rejection(candidate, learner=learner):
            for platform in platforms:
                default = defaults[platform]
                for kind in ("user_name", "password"):
                    value = candidate[kind].encode()
                    if value in handouts[learner, platform]:
                        return f"its {kind} stands whole in its {platform} handout"
                    if value in default.content:
                        return f"its {kind} stands whole in the default {platform} program"
                if default.opens(wanted(candidate["user_name"], candidate["password"])):
                    return (f"letters and digits that a script reads off the default {platform} "
                            "program give a pool of all its characters")
            return None

        chosen[learner], reasons = values.choose(secret, arguments.set, learner, rejection)
        for attempt, reason in enumerate(reasons, start=1):
            print(f"{learner}: drawn again (draw {attempt + 1}): {reason}")
    values.check_distinct(chosen)
    return chosen, handouts, variants, log, defaults


def set_record(arguments, platforms, learners, note, epoch, epoch_problem, wine_problem):
    def first_line(command):
        try:
            result = subprocess.run(command, capture_output=True, text=True, check=False,
                                    stdin=subprocess.DEVNULL)
        except OSError:
            return None
        return (result.stdout.strip().splitlines() or [None])[0]

    commit = first_line(["git", "-C", str(SOURCE), "rev-parse", "HEAD"])
    changed = first_line(["git", "-C", str(SOURCE), "status", "--porcelain", "--", "src",
                          "cmake", "CMakeLists.txt", "CMakePresets.json", "tools"])
    version = re.search(r"project\([^)]*\bVERSION ([0-9.]+)",
                        (SOURCE / "CMakeLists.txt").read_text()).group(1)
    compilers = {"linux": ["g++", "--version"], "windows": ["i686-w64-mingw32-g++", "--version"]}
    return {
        "made_by": "tools/challenge-set make",
        "commit": commit,
        "uncommitted_changes": changed is not None,
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
    }


def archive_time():
    epoch, problem = archives.source_date_epoch()
    if problem is not None:
        print(f"{PROGRAM}: warning: {problem}; archives carry the time {epoch} (1970-01-01)",
              file=sys.stderr)
    return epoch, problem


# ---------------------------------------------------------------- make


def make_set(arguments, workspace):
    out = packages.check_output(arguments.out)
    platforms, secret, learners, note = read_inputs(arguments)
    epoch, epoch_problem = archive_time()
    mode = packages.folder_mode(out)

    work = workspace.folder(prefix="challenge-set-")
    staging = workspace.folder(prefix=f".{out.name}.staging-", dir=out.absolute().parent)
    if "windows" in platforms:
        wine_setup = build.start_wine(work)
    chosen, handouts, variants, log, defaults = draw_values(arguments, platforms, secret,
                                                            learners, note, work)
    names = {internal_name(learner): learner for learner in learners}
    template = (SOURCE / "src" / "credentials.cpp").read_text(encoding="utf-8")
    for learner in learners:
        folder = variants / internal_name(learner)
        folder.mkdir()
        (folder / "credentials.cpp").write_text(values.variant_source(template, chosen[learner]),
                                                encoding="utf-8")
        (folder / "image-base.txt").write_text(f"{chosen[learner]['image_base']:#x}\n")
    for platform in platforms:
        build.configure_and_build(platform, work / f"build-{platform}", variants,
                                  arguments.keep_symbols, log, names)

    wine, wine_problem = None, None
    if "windows" in platforms:
        wine, wine_problem = build.wine_ready(*wine_setup)
        if wine_problem:
            print(f"Windows programs are checked by format only: {wine_problem}")

    try:
        write_set(staging, learners, platforms, chosen, handouts, work, wine, defaults, epoch,
                  set_record(arguments, platforms, learners, note, epoch, epoch_problem,
                             wine_problem))
    except SetError as error:
        # Named as the user will know it, not by the staging folder's name.
        raise SetError(f"writing the set: {str(error).replace(str(staging), arguments.out)}") \
            from error
    os.chmod(staging, mode)

    previous = signal.pthread_sigmask(signal.SIG_BLOCK, SIGNALS)
    try:
        try:
            if out.is_dir():
                out.rmdir()
            staging.rename(out)
        except OSError as error:
            raise SetError(f"{arguments.out}: cannot put the set there ({error.strerror}): "
                           "was it made meanwhile, by another run?") from error
        workspace.folders.remove(staging)
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)
    print(f"{len(learners)} learner(s), {', '.join(platforms)}: {out}/answers.csv, "
          f"{out}/SHA256SUMS, {out}/set.json and {len(learners) * len(platforms)} package(s) "
          f"in {out}/packages")


def write_set(staging, learners, platforms, chosen, handouts, work, wine, defaults, epoch,
              record):
    """Checks every learner's executables and writes the set into staging."""
    folder = staging / "packages"
    folder.mkdir()
    digests = {}
    for learner in learners:
        for platform in platforms:
            executable = build.variant_executable(platform, work / f"build-{platform}", learner)
            defects = build.executable_defects(platform, executable, chosen[learner], wine,
                                               defaults[platform])
            if defects:
                raise SetError(f"{learner}: its {platform} program may not be handed out, so "
                               f"nothing was written: {'; '.join(defects)} (a fault of the "
                               "program's build, not of the inputs)")
            digests[packages.package_name(learner, platform)] = packages.write_package(
                folder, learner, platform, executable.read_bytes(), handouts[learner, platform],
                epoch)
    published = packages.published_mode()
    packages.write_file(staging / "answers.csv", packages.answers_csv(learners, chosen), 0o600)
    packages.write_file(staging / "SHA256SUMS", packages.checksums(digests), published)
    packages.write_file(staging / "set.json", packages.set_record(record), published)
    packages.write_file(staging / ".gitignore", packages.ignore_file(), published)
    os.chmod(folder, 0o755 & ~packages.current_umask())


def write_answers(arguments, workspace):
    out = packages.check_output_file(arguments.out)  # before anything is built
    platforms, secret, learners, note = read_inputs(arguments)
    work = workspace.folder(prefix="challenge-set-")
    chosen = draw_values(arguments, platforms, secret, learners, note, work)[0]
    packages.replace_file(arguments.out, packages.answers_csv(learners, chosen), 0o600)
    print(f"{len(learners)} learner(s): {out}")


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
    parser.add_argument("--out", required=True, help=out_help)
    parser.add_argument("--platforms", default="linux,windows",
                        help="comma-separated: linux, windows (default: both)")
    parser.add_argument("--keep-symbols", action="store_true",
                        help="leave the symbol table in the programs, for an easier exercise")
    parser.add_argument("--note", help="UTF-8 text for every handout, at most 64 KiB")


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
    grade = commands.add_parser("grade", help="grade what the learners handed in",
                                description=grading.__doc__)
    grading.add_options(grade)
    return parser


def main(argv=None):
    workspace = Workspace()
    try:
        for number in SIGNALS:
            signal.signal(number, on_signal)
        arguments = parser_for_tool().parse_args(argv)
        if arguments.command == "make":
            make_set(arguments, workspace)
        elif arguments.command == "answers":
            write_answers(arguments, workspace)
        else:
            return grading.grade(arguments)
    except SetError as error:
        print(f"{PROGRAM}: {error}", file=sys.stderr)
        return 1
    except Interrupted as interruption:
        left = finish(workspace)
        if left:
            print(f"{PROGRAM}: interrupted; could not remove {', '.join(map(str, left))}",
                  file=sys.stderr)
        else:
            print(f"{PROGRAM}: interrupted; nothing was written", file=sys.stderr)
        return 128 + interruption.number
    except OSError as error:
        print(f"{PROGRAM}: {error.filename or 'writing the set'}: {error.strerror}",
              file=sys.stderr)
        return 1
    finally:
        finish(workspace)
    return 0


def finish(workspace):
    """Ends every child and removes every temporary folder, with no signal
    let in halfway; what could not be removed is returned. Doing it again
    finds nothing to do."""
    signal.pthread_sigmask(signal.SIG_BLOCK, SIGNALS)
    build.end_children()
    return workspace.remove()
