"""Making a set, and making its answers again: the inputs read and checked,
each learner's values drawn, their programs built, checked and packed, and
the set put in place whole."""

import hashlib
import os
import re
import subprocess
import tempfile
from pathlib import Path

from . import archives, build, packages, values, workspace
from .common import PROGRAM, SOURCE, SetError, escaped, shown
from .console import progress, say
from .extractors import DIFF_RUN_DEFECT, Reference, wanted
from .files import write_file
from .inputs import delimiter_of, folded, read_note, read_roster, read_secret


# ---------------------------------------------------------------- input


def check_set_name(name):
    if not re.fullmatch(r"[A-Za-z0-9][A-Za-z0-9._-]{0,63}", name):
        raise SetError(f"--set: {shown(name)} is not a set name: use 1 to 64 ASCII letters, "
                       "digits, '.', '_' and '-', starting with a letter or digit")


def read_inputs(arguments):
    """Everything a set is made from, checked before anything is built."""
    check_set_name(arguments.set)
    platforms = build.parse_platforms(arguments.platforms)
    secret = read_secret(arguments.secret_file)
    learners, notes = read_roster(arguments.roster, arguments.roster_column,
                                  delimiter_of(arguments.delimiter))
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
        # Values come from the id with its letter case folded, so that the
        # same id written otherwise never gets other values; sets made before
        # that keep theirs with --ids-as-written.
        key = learner if arguments.ids_as_written else folded(learner)
        # With the id where the shipped handout has the code (packages.handout).
        handouts = {platform: packages.handout(platform, arguments.set, key,
                                               arguments.keep_symbols, note)
                    for platform in platforms}

        def rejection(candidate, handouts=handouts):
            return refusal(candidate, handouts, defaults)

        chosen[learner], reasons = values.choose(secret, arguments.set, key, rejection)
        chosen[learner]["code"] = values.learner_code(secret, arguments.set, key)
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


def refusal(candidate, handouts, defaults):
    """Why a draw may not be a learner's values, or None: a value stands
    whole in what the learner is handed anyway (their handout, {platform:
    bytes}), or the default program of a platform ({platform:
    extractors.Reference}) holds it whole or gives a pool of its characters."""
    for platform, handout in handouts.items():
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
        "learner_ids": "as written" if arguments.ids_as_written else "letter case folded",
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
    return work_space.folder(tempfile.gettempdir(), workspace.WORK_PREFIX)


# ---------------------------------------------------------------- make


def make_set(arguments, files, work_space):
    """Draws, builds, checks and packs every learner's programs, and puts
    the set in place whole."""
    out = packages.check_output(arguments.out, files)
    platforms, secret, learners, note = read_inputs(arguments)
    wine_wanted = "windows" in platforms and build.wine_problem() is None
    work = prepare(out.absolute().parent, len(learners), platforms, wine_wanted, work_space)
    workspace.check_room(out.absolute().parent, len(learners) * len(platforms) * 3, arguments.out)
    epoch, epoch_problem = archive_time()
    mode = packages.folder_mode(out)
    staging = work_space.folder(out.absolute().parent, workspace.STAGING_PREFIX)
    if "windows" in platforms:
        wine_setup = build.start_wine(work)
    chosen, variants, log, defaults = draw_values(arguments, platforms, secret, learners, note,
                                                  work)
    builds = Builds(arguments, platforms, learners, work, variants, log)
    for learner in learners:
        builds.write_variant(learner, chosen[learner])
    builds.build()

    wine, wine_problem = None, None
    if "windows" in platforms:
        wine, wine_problem = build.wine_ready(*wine_setup)
        if wine_problem:
            say(f"Windows programs are checked by format only: {wine_problem}")
    check_programs(arguments, builds, chosen, wine, defaults)

    try:
        write_set(staging, arguments, learners, platforms, chosen, note, work, epoch,
                  set_record(arguments, platforms, learners, note, epoch, epoch_problem,
                             wine_problem))
    except SetError as error:
        # Named as the user will know it, not by the staging folder's name.
        raise SetError(f"writing the set: "
                       f"{str(error).replace(escaped(staging), escaped(arguments.out))}") from error
    os.chmod(staging, mode)
    (staging / workspace.MARKER).unlink()
    files.stage_folder(staging, out)
    try:
        files.place()
    except SetError as error:
        raise SetError(f"{error} (was it made meanwhile, by another run?)") from error
    done = (f"{len(learners)} learner(s), {', '.join(platforms)}: {escaped(out)}/answers.csv, "
            f"{escaped(out)}/handout.csv, {escaped(out)}/SHA256SUMS, {escaped(out)}/set.json "
            f"and {len(learners) * len(platforms)} package(s) in {escaped(out)}/packages")
    if not say(done):
        say(f"{PROGRAM}: the set is complete in {escaped(out)}, but its summary could not be "
            "written to standard output", error=True)


class Builds:
    """The learners' programs, built together in the work folder."""

    def __init__(self, arguments, platforms, learners, work, variants, log):
        self.arguments, self.platforms, self.learners = arguments, platforms, learners
        self.work, self.variants, self.log = work, variants, log
        self.names = {build.internal_name(learner): learner for learner in learners}
        self.template = (SOURCE / "src" / "credentials.cpp").read_text(encoding="utf-8")

    def write_variant(self, learner, chosen):
        folder = self.variants / build.internal_name(learner)
        folder.mkdir(exist_ok=True)
        (folder / "credentials.cpp").write_text(values.variant_source(self.template, chosen),
                                                encoding="utf-8")
        (folder / "image-base.txt").write_text(f"{chosen['image_base']:#x}\n")

    def build(self):
        for platform in self.platforms:
            def show(done, total, platform=platform):
                progress.show(f"{platform}: building, step {done} of {total}")
            build.configure_and_build(platform, self.work / f"build-{platform}", self.variants,
                                      self.arguments.keep_symbols, self.log, self.names,
                                      show=show)

    def executable(self, platform, learner):
        return build.variant_executable(platform, self.work / f"build-{platform}", learner)


def check_programs(arguments, builds, chosen, wine, defaults):
    """Checks every learner's programs before any is packed. One that a
    script reading no code would open gets its learner a new shape (the
    layout of the same values), drawn further along the same stream, so it
    never moves; any other defect is a fault of the build and stops the set,
    as does a learner still refused after every shape it may have. Only a
    pool in a run of changed bytes, which lies in the code that builds the
    values and which no shape may move, is shipped after the last shape,
    with a warning that names the learner: it stops no set."""
    pending, redrawn, settled = list(builds.learners), {}, {}
    for shape in range(1, values.MAX_SHAPES + values.EXTRA_SHAPES + 1):
        # each round checks the shape it built
        refused = {}  # learner: [(platform, defects)]
        for number, learner in enumerate(pending, start=1):
            progress.show(f"checking: {number} of {len(pending)}")
            for platform in builds.platforms:
                executable = builds.executable(platform, learner)
                defects = build.run_and_format_defects(platform, executable, chosen[learner],
                                                       wine)
                if defects:
                    raise SetError(f"{learner}: its {platform} program may not be handed out, "
                                   f"so nothing was written: {'; '.join(defects)} (a fault of "
                                   "the program's build, not of the inputs)")
                defects = build.shape_defects(executable, chosen[learner], defaults[platform])
                if defects:
                    refused.setdefault(learner, []).append((platform, defects))
        if shape >= values.MAX_SHAPES:
            # Past the last shape of before, only a learner a value stands
            # whole for goes on: one with an unmendable diff run keeps it.
            for learner in [learner for learner, found in refused.items()
                            if all(defects == [DIFF_RUN_DEFECT] for _, defects in found)]:
                settled[learner] = refused.pop(learner)
        pending = list(refused)
        if not refused or shape == values.MAX_SHAPES + values.EXTRA_SHAPES:
            break
        for learner, found in refused.items():
            values.next_shape(chosen[learner])
            redrawn.setdefault(learner, []).append(refusal_text(found))
            builds.write_variant(learner, chosen[learner])
        builds.build()
    refused.update(settled)
    unmendable = list(settled)
    blocked = [learner for learner in pending if learner not in unmendable]
    if blocked:
        raise SetError(f"{', '.join(blocked)}: every one of "
                       f"{values.MAX_SHAPES + values.EXTRA_SHAPES} shapes was "
                       f"refused, the last because {refusal_text(refused[blocked[0]])}; nothing "
                       "was written (use another set name or secret for this learner)")
    for learner in unmendable:
        say(f"warning: {learner}: in every one of {values.MAX_SHAPES} shapes, "
            f"{refusal_text(refused[learner])}: a script that reads a diff against the default "
            "program may lift their values; the set is made all the same", error=True)
    for learner, reasons in redrawn.items():
        if arguments.verbose:
            for shape, reason in enumerate(reasons, start=2):
                say(f"{learner}: shape {shape} drawn, as {reason}")
    if redrawn and not arguments.verbose:
        say(f"a new shape drawn for {len(redrawn)} learner(s), whose program a script could "
            "read the values off; their answers stay (--verbose says which)")


def refusal_text(found):
    """Why a learner's programs were refused: [(platform, defects)]."""
    return "; ".join(f"its {platform} program: {'; '.join(defects)}" for platform, defects in found)


def write_set(staging, arguments, learners, platforms, chosen, note, work, epoch, record):
    """Writes the set, whose programs are checked, into staging."""
    folder = staging / "packages"
    folder.mkdir()
    digests = {}
    for number, learner in enumerate(learners, start=1):
        progress.show(f"packing: {number} of {len(learners)}")
        code = chosen[learner]["code"]
        for platform in platforms:
            executable = build.variant_executable(platform, work / f"build-{platform}", learner)
            handout = packages.handout(platform, arguments.set, code, arguments.keep_symbols,
                                       note)
            if any(chosen[learner][kind].encode() in handout for kind in ("user_name", "password")):
                raise SetError(f"{learner}: a value stands whole in its {platform} handout, "
                               "which tools/handout must not allow; nothing was written")
            digests[packages.package_name(code, platform)] = packages.write_package(
                folder, code, platform, executable.read_bytes(), handout, epoch)
    published = packages.published_mode()
    codes = {learner: chosen[learner]["code"] for learner in learners}
    write_file(staging / "answers.csv", packages.answers_csv(learners, chosen), 0o600)
    write_file(staging / "handout.csv",
               packages.handout_csv(learners, codes, platforms, digests), 0o600)
    write_file(folder / "README.txt", packages.folder_readme(arguments.set, platforms), published)
    write_file(staging / "SHA256SUMS", packages.checksums(digests), published)
    write_file(staging / "set.json", packages.set_record(record), published)
    write_file(staging / ".gitignore", packages.ignore_file(), published)
    os.chmod(folder, 0o755 & ~packages.current_umask())


def write_answers(arguments, files, work_space):
    out = Path(arguments.out)
    platforms, secret, learners, note = read_inputs(arguments)
    work = prepare(out.absolute().parent, 0, platforms, False, work_space)
    chosen = draw_values(arguments, platforms, secret, learners, note, work)[0]
    files.stage("--out", out, packages.answers_csv(learners, chosen), 0o600)
    files.place()
    say(f"{len(learners)} learner(s): {escaped(out)}")
