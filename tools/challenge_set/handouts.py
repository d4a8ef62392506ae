"""Getting each learner their own package with no step per learner: the
set's handout.csv (each learner's code and package names) made again from
answers.csv and the packages, and each learner's code, or links to their
packages, put where the LMS shows it to that learner alone, through the
LMS's own import: a text column of its gradebook export, or Moodle's bulk
feedback zip made from an assignment's grading worksheet."""

import hashlib
import re
from pathlib import Path

from . import archives, gradebook
from .build import PLATFORMS
from .common import MIB, UNSAFE, SetError, escaped, shown, web_address
from .inputs import CODE_PATTERN, WHITE_SPACE, Table, answer_rows, field, folded
from .packages import handout_csv, package_name

MOODLE_FOLDER = "{name}_{number}_assignsubmission_file_"
PARTICIPANT = re.compile(r"Participant ([0-9]{1,18})")
NAME_BYTES = 255  # the longest name of a file or folder most file systems take
DEFAULT_MAX_SIZE = 100  # MB
# A package as handout.csv names it: a file of the packages folder itself.
PLAIN_FILE_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9._+-]*")
# What a name may not hold in a folder of Moodle's zip: '_' ends the name,
# the others are a path's separators, or no character of a file name.
UNSAFE_IN_NAME = re.compile(f"[_/\\\\:*?\"<>|]|{UNSAFE.pattern}")


def add_options(commands):
    listing = commands.add_parser(
        "handout-list", help="make a set's handout.csv again from answers.csv and the packages",
        description="Writes the handout.csv that `make` wrote: each learner's code, and per "
        "platform their package's name and SHA-256. It holds no answer.")
    listing.add_argument("--answers", required=True, metavar="FILE", help="the set's answers.csv")
    listing.add_argument("--packages", required=True, metavar="DIR",
                         help="the set's packages folder")
    listing.add_argument("--out", required=True, metavar="FILE", help="the handout.csv to write")

    handout = commands.add_parser(
        "handout", help="put each learner's code or links into the LMS, through its own import",
        description="With --gradebook: a copy of the LMS's gradebook export with one text "
        "column filled for the set's learners (Moodle feedback, a Brightspace text grade, a "
        "Blackboard text column), every other byte as it was. With --moodle-worksheet: "
        "Moodle's bulk feedback zip, each learner's packages in their own folder.")
    handout.add_argument("--handout", required=True, metavar="FILE",
                         help="the set's handout.csv (or a links.csv: learner,link)")
    handout.add_argument("--gradebook", metavar="EXPORT", help="the LMS's gradebook export")
    handout.add_argument("--gradebook-id-column", metavar="NAME",
                         help="the export's column that holds the set's learner ids")
    handout.add_argument("--gradebook-column", metavar="NAME",
                         help="the export's text column to fill")
    handout.add_argument("--link-base", metavar="URL",
                         help="fill in links instead of codes: URL followed by each package's "
                         "file name (end it with '/')")
    handout.add_argument("--moodle-worksheet", metavar="WORKSHEET",
                         help="the assignment's grading worksheet (CSV)")
    handout.add_argument("--worksheet-id-column", metavar="NAME",
                         help="the worksheet's column that holds the set's learner ids")
    handout.add_argument("--packages", metavar="DIR",
                         help="the set's packages folder (default: packages/ beside --handout)")
    handout.add_argument("--max-size", type=int, metavar="MB",
                         help="the largest zip to write; more go in numbered zips (default: "
                         f"{DEFAULT_MAX_SIZE})")
    handout.add_argument("--out", required=True, metavar="FILE",
                         help="the filled export, or the zip")


def sha256_of(path):
    digest = hashlib.sha256()
    try:
        with open(path, "rb") as package:
            for block in iter(lambda: package.read(MIB), b""):
                digest.update(block)
    except OSError as error:
        raise SetError(f"{escaped(path)}: cannot read the package: {error.strerror}") from error
    return digest.hexdigest()


def write_handout_list(arguments, files, say):
    rows = answer_rows(arguments.answers)
    if any(code is None for *_, code in rows):
        raise SetError(f"{escaped(arguments.answers)}: this answers.csv has no codes (its set "
                       "was made before codes); make the set again to give it codes")
    folder = Path(arguments.packages)
    codes = {learner: code for learner, *_, code in rows}
    platforms = [platform for platform in PLATFORMS
                 if any((folder / package_name(code, platform)).is_file()
                        for code in codes.values())]
    if not platforms:
        raise SetError(f"{escaped(folder)}: holds no package of this set's learners")
    digests = {}
    for learner, code in codes.items():
        for platform in platforms:
            name = package_name(code, platform)
            if not (folder / name).is_file():
                raise SetError(f"{escaped(folder)}: {learner}'s {platform} package, {name}, "
                               "is missing")
            digests[name] = sha256_of(folder / name)
    files.stage("--out", arguments.out, handout_csv(list(codes), codes, platforms, digests),
                0o600)
    files.place()
    say(f"{len(codes)} learner(s), {', '.join(platforms)}: {escaped(arguments.out)}")
    return 0


def read_handout(path):
    """{learner: {column: cell}} of a handout.csv or links.csv, in order,
    each row checked as a hand-edited list must be: one row a learner, a
    code or link in each, no code or package shared, and each package a
    plain file name."""
    table = Table(path, "handout", delimiter=",")
    table.column("learner", "--handout")
    kind = "code" if "code" in table.header else "link" if "link" in table.header else None
    if kind is None:
        raise SetError(f"{table.path}:1: neither a handout.csv (learner,code,...) nor a "
                       "links.csv (learner,link)")
    for name in table.header:
        if name.endswith("_package") and name.replace("_package", "_sha256") not in table.header:
            raise SetError(f"{table.path}:1: a column {shown(name)} but no "
                           f"{shown(name.replace('_package', '_sha256'))}; make it again with "
                           "`handout-list`")
    learners, lines, owners = {}, {}, {}  # owners: a code or package: its first line
    for line, fields, _ in table.rows():
        row = {name: field(fields, index).strip(WHITE_SPACE)
               for index, name in enumerate(table.header)}
        learner = row["learner"]
        if not learner:
            raise SetError(f"{table.path}:{line}: no learner id")
        if folded(learner) in lines:
            raise SetError(f"{table.path}:{line}: {shown(learner)} has a row already, on line "
                           f"{lines[folded(learner)]}")
        if not row[kind]:
            raise SetError(f"{table.path}:{line}: {shown(learner)} has no {kind}")
        if kind == "code" and not CODE_PATTERN.fullmatch(row[kind]):
            raise SetError(f"{table.path}:{line}: {shown(row[kind])} is not a code this tool "
                           "gives (capital letters)")
        if kind == "link":
            try:
                web_address(row[kind], f"{table.path}:{line}")
            except SetError as error:
                raise SetError(f"{error} (a link to the course server)") from error
        for column, name in package_columns(row):
            if not PLAIN_FILE_NAME.fullmatch(name) or len(name.encode()) > 200:
                raise SetError(f"{table.path}:{line}: {column} {shown(name)} is not the plain "
                               "file name of a package in the set's packages folder")
        for owned in ([row[kind]] if kind == "code" else []) + package_names(row):
            if owned in owners:
                raise SetError(f"{table.path}:{line}: {shown(owned)} is {shown(learner)}'s and "
                               f"also on line {owners[owned]}: each learner has their own")
            owners[owned] = line
        lines[folded(learner)] = line
        learners[learner] = row
    if not learners:
        raise SetError(f"{table.path}: names no learner")
    return learners


def package_columns(row):
    """(column, file name) of each platform's package in a handout.csv row."""
    return [(name, cell) for name, cell in row.items() if name.endswith("_package") and cell]


def package_names(row):
    return [cell for _, cell in package_columns(row)]


def cell_for(row, link_base):
    """What a learner's cell shows: their code, the links to their
    packages, or their link to the course server."""
    if link_base is not None:
        return " ".join(link_base + name for name in package_names(row))
    return row.get("link") or row["code"]


def packages_folder(arguments):
    """The packages a hand-out reads: --packages, else packages/ beside --handout."""
    if arguments.packages:
        return arguments.packages
    return str(Path(arguments.handout).absolute().parent / "packages")


def link_base_of(text):
    """--link-base as links are made from it, ending in '/'."""
    web_address(text, "--link-base")
    return text if text.endswith("/") else text + "/"


def check_packages(learners, folder):
    """Every package a learner is handed stands in the packages folder."""
    for learner, row in learners.items():
        names = package_names(row)
        if not names:
            raise SetError(f"{learner} has no package in the hand-out list (a links.csv has "
                           "none: give handout.csv)")
        for name in names:
            if not (folder / name).is_file():
                raise SetError(f"{escaped(folder / name)}: {learner}'s package is missing; name "
                               "the set's packages folder with --packages")


def put_into_lms(arguments, files, say):
    if bool(arguments.gradebook) == bool(arguments.moodle_worksheet):
        raise SetError("handout needs one of --gradebook (with --gradebook-id-column and "
                       "--gradebook-column) and --moodle-worksheet (with --worksheet-id-column)")
    if arguments.max_size is not None and arguments.max_size <= 0:
        raise SetError(f"--max-size: {arguments.max_size} is no size; give the largest zip "
                       "in MB, above 0")
    link_base = None if arguments.link_base is None else link_base_of(arguments.link_base)
    learners = read_handout(arguments.handout)
    folder = Path(packages_folder(arguments))
    if link_base is not None or arguments.moodle_worksheet:
        check_packages(learners, folder)
    if arguments.gradebook:
        if not (arguments.gradebook_id_column and arguments.gradebook_column):
            raise SetError("--gradebook needs --gradebook-id-column and --gradebook-column")
        cells = {learner: cell_for(row, link_base) for learner, row in learners.items()}
        content, notes, absent = gradebook.filled_copy(
            arguments.gradebook, arguments.gradebook_id_column, arguments.gradebook_column, cells)
        for note in notes:
            say(note, error=True)
        found = report_absent(absent, learners, "the gradebook", say)
        files.stage("--out", arguments.out, content, 0o600)
        files.place()
        say(f"{found} learner(s) filled in: {escaped(arguments.out)}")
    else:
        if not arguments.worksheet_id_column:
            raise SetError("--moodle-worksheet needs --worksheet-id-column")
        write_moodle_zips(arguments, files, learners, folder, say)
    return 0


def report_absent(absent, learners, where, say):
    """Says who is missing; with none found, stops before anything is written."""
    if len(absent) == len(learners):
        raise SetError(f"no learner of the set has a row in {where}: is the id column the "
                       "one that holds the ids of the set's roster? Nothing was written")
    if absent:
        say(gradebook.absent_warning(absent, where), error=True)
    return len(learners) - len(absent)


def moodle_folder(full_name, number):
    """Moodle reads a folder's participant number between its first two
    underscores, so the name may hold none, nor a path's separators; and a
    name is at most 255 bytes on every file system the zip is unpacked on."""
    suffix = MOODLE_FOLDER.format(name="", number=number)
    name = " ".join(UNSAFE_IN_NAME.sub(" ", full_name).split())
    room = NAME_BYTES - len(suffix.encode())
    name = name.encode()[:room].decode(errors="ignore").strip() or "Participant"
    return MOODLE_FOLDER.format(name=name, number=number)


def worksheet_rows(arguments, learners):
    """(learner, line, participant number, full name) of each of the set's
    learners in Moodle's grading worksheet, each checked: one row a learner,
    and each participant number on one row only."""
    table = Table(arguments.moodle_worksheet, "worksheet")
    id_index = table.column(arguments.worksheet_id_column, "--worksheet-id-column")
    identifier_index = table.column("Identifier", "the worksheet's participant column")
    name_index = table.column("Full name", "the worksheet's name column")
    wanted = {folded(learner): learner for learner in learners}
    found, numbers, rows = {}, {}, []
    for line, fields, _ in table.rows():
        identifier = field(fields, identifier_index).strip(WHITE_SPACE)
        number = PARTICIPANT.fullmatch(identifier)
        if number is not None:
            if number.group(1) in numbers:
                raise SetError(f"{table.path}:{line}: participant {number.group(1)} is on line "
                               f"{numbers[number.group(1)]} too: one participant number, one row")
            numbers[number.group(1)] = line
        learner = wanted.get(folded(field(fields, id_index).strip(WHITE_SPACE)))
        if learner is None:
            continue
        if number is None:
            raise SetError(f"{table.path}:{line}: {shown(identifier)} is not Moodle's "
                           "\"Participant N\"; export the worksheet again")
        if learner in found:
            raise SetError(f"{table.path}:{line}: {learner} has a row already, on line "
                           f"{found[learner]}")
        found[learner] = line
        rows.append((learner, number.group(1), field(fields, name_index)))
    return rows


def write_moodle_zips(arguments, files, learners, folder, say):
    members = {}  # learner: [(name in the zip, path)]
    for learner, number, full_name in worksheet_rows(arguments, learners):
        inside = moodle_folder(full_name, number)
        members[learner] = [(f"{inside}/{name}", folder / name)
                            for package in package_names(learners[learner])
                            for name in (package, package + ".sha256")]
    absent = [learner for learner in learners if learner not in members]
    count = report_absent(absent, learners, "the worksheet", say)
    for learner, entries in members.items():
        for _, path in entries:
            if not path.is_file():
                raise SetError(f"{escaped(path)}: {learner}'s file is missing; name the set's "
                               "packages folder with --packages")
    limit_mb = arguments.max_size or DEFAULT_MAX_SIZE
    zips = split_by_size(list(members.values()), limit_mb * MIB, limit_mb)
    out = Path(arguments.out)
    names = [out] if len(zips) == 1 else \
        [out.with_name(f"{out.stem}-{number}{out.suffix}") for number in range(1, len(zips) + 1)]
    epoch = archives.source_date_epoch()[0]
    for name, group in zip(names, zips):
        content = archives.zip_bytes([(inside, path.read_bytes()) for inside, path in group], epoch)
        files.stage("--out", name, content, 0o600)
    files.place()
    say(f"{count} learner(s) in {len(names)} zip(s): {', '.join(map(escaped, names))}")


def split_by_size(groups, limit, limit_mb):
    """Each learner's files kept together, in zips of at most `limit` bytes."""
    zips, size = [[]], 0
    for group in groups:
        needed = sum(path.stat().st_size + 200 for _, path in group)
        if needed > limit:
            raise SetError(f"one learner's packages alone are larger than --max-size "
                           f"{limit_mb} MB")
        if size + needed > limit and zips[-1]:
            zips.append([])
            size = 0
        zips[-1] += group
        size += needed
    return zips
