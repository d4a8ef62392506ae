#!/usr/bin/env python3
"""Makes small challenge sets with tools/challenge-set (Linux only, for speed)
and checks them end to end: each learner's program says "Correct" to its own
row of answers.csv and "Try Again" to another's, and no script that reads no
code lifts an answer; an answer moves with none of the roster's order, the
other learners or the archive time, and one learner made alone gets the same
package; grading agrees with each learner's own program on rows of every
awkward shape, and a gradebook export comes back filled; bad input, a hostile
note and signals leave nothing behind, in a private temporary folder that
must be empty at the end."""

import argparse
import codecs
import datetime
import csv
import hashlib
import io
import itertools
import os
import re
import resource
import shutil
import signal
import stat
import subprocess
import sys
import tarfile
import tempfile
import time
import urllib.parse
import wsgiref.util
import zipfile
from pathlib import Path

import openpyxl  # python3-openpyxl
from support import report
# pylint: disable=wrong-import-order
from challenge_set import (build, executables, extractors, making, packages,  # noqa: E402
                           server, values, workspace)
from challenge_set import common, progress, store  # noqa: E402
from challenge_set.common import SetError  # noqa: E402

# A class export as Excel writes it in many locales: semicolons, Windows-1252,
# CRLF, a "Points Possible" row with no id, a vertical tab (a manual line
# break) in a quoted name, one student listed twice.
EXPORT = ('"Student number";Email;Name\r\n'
          ';;Points Possible\r\n'
          '1001;ada@example.org;"Lovelace,\vAda"\r\n'
          '1002;Bo.b-2;Bob M\u00fcller\r\n'
          '1001;ada@example.org;"Lovelace,\vAda"\r\n'
          '1003;c_3+k@example.org;Cy\r\n').encode("cp1252")
LEARNERS = ["ada@example.org", "Bo.b-2", "c_3+k@example.org"]
SET = "course-1"
ARCHIVE_TIME = 1700000000  # SOURCE_DATE_EPOCH for every set made here


class Tool:
    def __init__(self, path, work):
        self.path, self.work = path, Path(work)
        self.temporary = self.work / "tmp"
        self.temporary.mkdir()
        self.left = []
        self.secret = self.file("secret", os.urandom(32))

    def file(self, name, content, mode=0o600):
        path = self.work / name
        path.write_bytes(content if isinstance(content, bytes) else content.encode())
        path.chmod(mode)
        return path

    def environment(self, extra=None):
        """Every run gets a private temporary folder, checked empty at the end."""
        return {**os.environ, "TMPDIR": str(self.temporary),
                "SOURCE_DATE_EPOCH": str(ARCHIVE_TIME), **(extra or {})}

    def run(self, *arguments, environment=None, timeout=900, umask=0o022):
        """Runs the tool; what it leaves in its temporary folder is noted."""
        result = subprocess.run([self.path, *map(str, arguments)], capture_output=True,
                                text=True, timeout=timeout, check=False,
                                env=self.environment(environment), umask=umask)
        self.left += [f"{arguments[0]}: {path.name}" for path in self.temporary.iterdir()]
        return result

    def make(self, out, roster, *extra, command="make", secret=None, environment=None,
             umask=0o022):
        return self.run(command, "--set", SET, "--secret-file", secret or self.secret,
                        "--roster", roster, "--out", self.work / out, "--platforms", "linux",
                        "--keep-symbols",
                        *extra, environment=environment, umask=umask)


def rows_of(path):
    with open(path, newline="", encoding="ascii") as rows:
        return list(csv.reader(rows))


def attempt(program, user_name, password=""):
    return subprocess.run([program], input=f"{user_name}\n{password}\n".encode(),
                          capture_output=True, timeout=30, check=False).stdout


def unpack(package, where):
    """Unpacks a package; its members' names and modes, checked for the
    owner and time every archive of a set must have."""
    with tarfile.open(package) as archive:
        members = archive.getmembers()
        archive.extractall(where)
    if any((m.uid, m.gid, m.uname, m.mtime) != (0, 0, "root", ARCHIVE_TIME) for m in members):
        return [(m.name, m.uid, m.uname, m.mtime) for m in members]
    return sorted((m.name, m.mode) for m in members)


def check_set(out, work, tool_secret, failures):
    """Each program against its own answers and another's; the handouts, the
    modes and the checksums a learner and the setter use."""
    rows = rows_of(out / "answers.csv")
    if rows[0] != ["learner", "user_name", "password", "code"] or \
            [r[0] for r in rows[1:]] != LEARNERS:
        return failures.append(f"answers.csv: {rows}"), {}
    record = (out / "set.json").read_text()
    secret = tool_secret.read_bytes()
    for what, text in [("the secret", secret.hex()), ("its SHA-256", hashlib.sha256(secret)
                       .hexdigest())] + [(f"the value {v}", v) for row in rows[1:] for v in row[1:3]]:
        if text in record:
            failures.append(f"set.json holds {what}")
    modes = {name: stat.S_IMODE(os.stat(out / name).st_mode) for name in
             ("answers.csv", "SHA256SUMS", "set.json", ".gitignore", "packages", ".")}
    if modes != {"answers.csv": 0o600, "SHA256SUMS": 0o640, "set.json": 0o640,  # umask 027
                 ".gitignore": 0o640, "packages": 0o750, ".": 0o750} or \
            (out / ".gitignore").read_text().splitlines()[-1] != "*":
        failures.append(f"the set's files: modes {modes}, .gitignore {(out / '.gitignore').exists()}")
    packages = sorted(path.name for path in (out / "packages").glob("*.tar.gz"))
    programs = {}
    listed = sorted(line.split("  packages/")[1] for line in
                    (out / "SHA256SUMS").read_text().splitlines())
    if listed != packages or len(packages) != len(LEARNERS):
        failures.append(f"SHA256SUMS lists {listed}, the packages are {packages}")
    for index, (learner, user_name, password, code) in enumerate(rows[1:]):
        name = f"login-challenge-{code}-linux"
        alone = work / f"alone-{index}"
        alone.mkdir()
        for suffix in (".tar.gz", ".tar.gz.sha256"):
            shutil.copy(out / "packages" / (name + suffix), alone)
        check = subprocess.run(["sha256sum", "-c", f"{name}.tar.gz.sha256"], cwd=alone,
                               capture_output=True, check=False)
        if check.returncode != 0:
            failures.append(f"{name}.tar.gz.sha256 does not check alone: {check.stdout!r}")
        members = unpack(alone / f"{name}.tar.gz", alone)
        if members != [(f"{name}/README.txt", 0o644), (f"{name}/login-challenge", 0o755)]:
            failures.append(f"{name}.tar.gz holds {members}")
        handout = (alone / name / "README.txt").read_bytes()
        if f"Learner: {code}\n".encode() not in handout or user_name.encode() in handout or \
                b"keeps its symbol table" not in handout:
            failures.append(f"{learner}'s handout lacks its code or its symbols' line, or holds "
                            "a value")
        if b".symtab" not in (alone / name / "login-challenge").read_bytes():
            failures.append(f"{learner}'s program lost its symbols despite --keep-symbols")
        program = alone / name / "login-challenge"
        if not attempt(program, user_name, password).endswith(b"Inside of functionCorrect\n"):
            failures.append(f"{learner}'s program refuses its own answers")
        _, other_user, other_password, _ = rows[1:][(index + 1) % len(LEARNERS)]
        if b"Try Again" not in attempt(program, other_user, other_password):
            failures.append(f"{learner}'s program takes another learner's answers")
        programs[learner] = program
    check_no_shortcut([path.read_bytes() for path in programs.values()], rows[1:], failures)
    return rows, programs


def check_no_shortcut(programs, rows, failures):
    """Scripts that read no code, each written against one learner's program
    and run on the next one's: a table of 12 distinct letters and digits at
    any stride, the letters and digits where the two programs differ, and the
    bytes at the offsets where the first holds its values. None may lift the
    second learner's answer (put it among 2,000 candidates, or in a pool of
    16 characters or fewer)."""
    for index, (learner, user_name, password, _) in enumerate(rows):
        mine, theirs = programs[index], programs[index - 1]
        answer, known = (user_name + password).encode(), (rows[index - 1][1] + rows[index - 1][2])
        pools = {frozenset(run[i:i + 12]) for stride in range(1, 9) for start in range(stride)
                 for run in re.findall(rb"[a-z0-9]{12,}", mine[start::stride])
                 for i in range(len(run) - 11) if len(set(run[i:i + 12])) == 12}
        differ = {a for a, b in zip(mine, theirs) if a != b and chr(a).isalnum()}
        if len(differ) <= 16:
            pools.add(frozenset(differ))
        offsets = [[match.start() for match in re.finditer(
            rb"(?<![0-9A-Za-z])" + c.encode() + rb"(?![0-9A-Za-z])", theirs)][:6] for c in known]
        read_there = {bytes(mine[o] for o in combination)
                      for combination in itertools.islice(itertools.product(*offsets), 2000)}
        if any(set(answer) <= pool for pool in pools) or answer in read_there:
            failures.append(f"{learner}'s answer is lifted without reading its code")


def check_answers_stay(tool, rows, first, failures):
    """Answers hang on the secret, the set and the id alone, whatever its
    letter case. The work and
    staging folders a killed run left are removed by the next run, and
    nothing else: not a live run's, even one it cannot see, nor a folder
    of the user's beside --out, nor a process that names it."""
    by_learner = {row[0]: row for row in rows[1:]}
    killed = [run_folder(tool.temporary / f"{workspace.WORK_PREFIX}0123456789abcdef"),
              run_folder(tool.work / f"{workspace.STAGING_PREFIX}0123456789abcdef")]
    live = run_folder(tool.temporary / f"{workspace.WORK_PREFIX}fedcba9876543210")
    users = tool.work / ".proj"
    users.mkdir()
    (users / ".owner").write_text("4242 None\n")
    (users / workspace.MARKER).write_text("notes\n")
    holders = [subprocess.Popen(  # pylint: disable=consider-using-with
        [sys.executable, "-c", "import fcntl, sys, time\nwith open(sys.argv[1]) as f:\n"
         "    fcntl.flock(f, fcntl.LOCK_EX); print(flush=True); time.sleep(600)",
         live / workspace.MARKER], stdout=subprocess.PIPE),
        subprocess.Popen([sys.executable, "-c", "import time; time.sleep(600)",
                          users / workspace.MARKER])]
    holders[0].stdout.readline()  # locked
    # Reversed, and with each id's letter case changed (an LMS that exports
    # e-mails as typed): the same learners, the same values.
    reversed_roster = tool.file("reversed", "\n".join(learner.swapcase()
                                                      for learner in reversed(LEARNERS)) + "\n")
    made = tool.make("reversed.csv", reversed_roster, command="answers",
                     environment={"SOURCE_DATE_EPOCH": "86400"})
    if made.returncode != 0 or [row[1:] for row in rows_of(tool.work / "reversed.csv")[1:]] != \
            [by_learner[learner][1:] for learner in reversed(LEARNERS)]:
        failures.append(f"the reversed roster, in other letter case, at another time, moved "
                        f"answers: {made.stderr}")
    if any(folder.exists() for folder in killed) or made.stdout.count("left by an earlier") != 2:
        failures.append(f"a killed run's folders were not removed: {made.stdout!r}")
    if not live.exists() or not (users / ".owner").exists() or \
            any(holder.poll() is not None for holder in holders):
        failures.append(f"a live run's folder, a user's folder or a process was taken: "
                        f"{made.stdout!r}")
    for holder in holders:
        holder.kill()
        holder.wait()
        if holder.stdout:
            holder.stdout.close()
    shutil.rmtree(live, ignore_errors=True)
    tool.left = [left for left in tool.left if live.name not in left]
    again = tool.make("again.csv", tool.work / "export.csv", "--roster-column", "Email",
                      command="answers")
    if again.returncode != 0 or (tool.work / "again.csv").read_bytes() != \
            (first / "answers.csv").read_bytes():
        failures.append(f"`answers` differs from `make`: {again.stderr}")
    # One learner made alone: a lost package re-issued, with SIGTERM sent as
    # soon as the set appears. Either the tool ends first, or it names the
    # set as written whole; never "nothing was written" beside a set.
    out = tool.work / "alone"
    process = subprocess.Popen(  # pylint: disable=consider-using-with
        [tool.path, "make", "--set", SET, "--secret-file", tool.secret, "--roster",
         tool.file("one", f"{LEARNERS[2]}\n"), "--out", out, "--platforms", "linux",
         "--keep-symbols"],
        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=tool.environment())
    while process.poll() is None and not (out / "set.json").exists():
        time.sleep(0.001)
    process.send_signal(signal.SIGTERM)
    errors = process.communicate(timeout=60)[1].decode()
    if errors if process.returncode == 0 else (process.returncode != 128 + signal.SIGTERM or
                                               f"interrupted by SIGTERM; already written whole: {out}"
                                               not in errors):
        failures.append(f"SIGTERM as the set appeared: exit {process.returncode}, {errors!r}")
    package = f"login-challenge-{rows[3][3]}-linux.tar.gz"
    if not (out / "set.json").exists() or rows_of(out / "answers.csv")[1] != rows[3] or \
            (out / "packages" / package).read_bytes() != \
            (first / "packages" / package).read_bytes():
        failures.append(f"one learner made alone differs from the whole set: {errors}")


def run_folder(folder):
    """A folder as a run of the tool makes it, with its marker."""
    folder.mkdir(mode=0o700)
    (folder / workspace.MARKER).write_text(workspace.MARKER_TEXT.format(folder.name[-16:]))
    return folder


def submissions_file(tool, name, rows, encoding="utf-8-sig", delimiter=","):
    text = io.StringIO()
    csv.writer(text, delimiter=delimiter, lineterminator="\r\n").writerows(
        [["Student", "Name", "Password"], *rows])
    return tool.file(name, text.getvalue().encode(encoding))


def grade(tool, first, submissions, *extra):
    graded = tool.run("grade", "--answers", first / "answers.csv", "--submissions", submissions,
                      "--learner-column", "Student", "--user-name-column", "Name",
                      "--password-column", "Password", *extra)
    return graded, {row[0]: row for row in csv.reader(graded.stdout.splitlines())}


def check_grading(tool, first, rows, programs, failures):
    """Rows of every awkward shape: the learner's grade must be what their
    own program says to the row that counts (the last with an answer), typed
    at its prompts; the detail must say what is odd about it."""
    (ada, user, password, _), (bob, *_), (cy, cy_user, cy_password, _) = rows[1:]
    kelvin = cy.replace("k", "\u212a")
    cases = [  # name, rows, whose grade, the row that counts, words the detail holds
        ("padding", [[ada, f"  {user} ", f"{password}\t"]], ada, 0, ""),
        ("both words in one field, a vertical tab between", [[ada, f"{user}\v{password}", ""]],
         ada, 0, ""),
        ("a form feed around each word", [[ada, f"\f{user}", f"{password}\f"]], ada, 0, ""),
        ("a no-break space", [[ada, user + "\u00a0", password]], ada, 0, "U+00A0"),
        ("a zero-width space", [[ada, user, "\u200b" + password]], ada, 0, "U+200B"),
        ("letter case", [[ada, user.upper(), password.upper()]], ada, 0,
         "letter case" if (user + password).upper() != user + password else ""),
        ("a wholly wrong password", [[ada, user, password[::-1] + "x"]], ada, 0,
         "user name right, password wrong"),
        ("a row lacking its last field", [[ada, user]], ada, 0, ""),
        ("an id ending in a zero-width space", [[ada + "\u200b", user, password]], ada, 0, ""),
        ("swapped", [[ada, password, user]], ada, 0, "swapped"),
        ("the id in capitals, then an empty row", [[ada.upper(), user, password], [ada, "", ""]],
         ada, 0, "2 rows sent, 1 of them empty"),
        ("a right row, then a wrong one", [[ada, user, password], [ada, user, password + "x"]],
         ada, 1, "2 rows"),
        ("a U+2028 after the id", [[ada + "\u2028", user, password]], ada, 0, ""),
        ("a 70,000-character word", [[ada, user * 23334, password]], ada, 0, ""),
        ("another learner's answer", [[bob, user, password]], bob, 0, f"right answer of {ada}"),
        ("a Kelvin sign is no k", [[kelvin, cy_user, cy_password]], cy, None, ""),
        ("only empty rows", [[cy, " ", ""]], cy, None, "1 empty row"),
    ]
    warned = {}
    for number, (name, submitted, whose, counts, detail) in enumerate(cases):
        graded, report_rows = grade(tool, first, submissions_file(tool, f"case-{number}", submitted))
        warned[name] = "warning: no id in the column" in graded.stderr
        if counts is None:
            expected = "missing"
        else:
            said = attempt(programs[whose], *submitted[counts][1:])
            expected = "solved" if said.endswith(b"Correct\n") else "wrong"
        row = report_rows.get(whose, [])
        if graded.returncode != warned[name] or row[1:2] != [expected] or detail not in row[-1]:
            failures.append(f"grading {name}: {row} for {whose}, expected {expected} and "
                            f"{detail!r}; {graded.stderr[-200:]!r}")
    if [name for name, said in warned.items() if said] != ["a Kelvin sign is no k"]:
        failures.append(f"the warning that no id matched, given for: {warned}")
    # Rows from ids not on the roster, or with none: every one accounted for,
    # no formula left live, in Excel's "Unicode Text" (UTF-16, tabs).
    formula = '=HYPERLINK("http://x","y")'
    submissions = submissions_file(
        tool, "strays.txt", [[ada + "x", user, password], ["", cy_user, cy_password],
                             [formula, "a", "b"], ["@SUM(1+1)", "c", "d"],
                             ["-2+3", "e", "f"], ["X_PREVIEWUSER", user, password],
                             [bob, user, password]], "utf-16", "\t")
    graded, report_rows = grade(tool, first, submissions, "--points", "2", "--out",
                                tool.work / "grades.csv")
    report_rows = list(csv.reader(io.StringIO((tool.work / "grades.csv").read_text())))
    wanted = [["learner", "result", "points", "detail"],
              [ada, "missing", "", ""],
              [bob, "wrong", "0", f"another learner's answer: the right answer of {ada}"],
              [cy, "missing", "", ""],
              [ada + "x", "not on the roster", "", f"holds the right answer of {ada}"],
              ["'" + formula, "not on the roster", "", ""],
              ["'@SUM(1+1)", "not on the roster", "", ""],
              ["'-2+3", "not on the roster", "", ""],
              ["", "no learner id", "", f"line 3 has no learner id; holds the right answer of {cy}"]]
    summary = ("3 learners: 0 solved, 1 wrong, 2 missing (1 with another learner's answer); "
               "5 rows from ids not on the roster, 1 of them with no id; 2 point(s) for solved "
               "(--points)")
    if report_rows != wanted or graded.stdout.strip() != summary:
        failures.append(f"rows not on the roster: {report_rows}, {graded.stdout!r}")
    check_gradebook(tool, first, rows, failures)


def check_gradebook(tool, first, rows, failures):
    """A Canvas-like export comes back byte for byte, but for the
    exercise's column in the roster learners' rows."""
    (ada, user, password, _), (bob, *_), (cy, *_) = rows[1:]
    lines = ['Student,ID,SIS Login ID,Section,"Exercise, week 3 (123)"',
             '"    Points Possible",,,,1',
             f'"Lovelace, Ada",11,{ada.upper()},A,@',
             '"Student, Test",12,,A,',
             f'Bob,13,{bob},A,"5"',
             f'Cy,14,{cy},A']
    export = tool.file("gradebook.csv", codecs.BOM_UTF8 + "\r\n".join(lines + [""]).encode())
    submissions = submissions_file(tool, "for-gradebook.csv", [[ada, user, password],
                                                               [bob, "no", "thing"]])
    graded, _ = grade(tool, first, submissions, "--gradebook", export, "--gradebook-id-column",
                      "SIS Login ID", "--gradebook-column", "Exercise, week 3 (123)",
                      "--out", tool.work / "filled.csv")
    lines[2], lines[4] = lines[2][:-1] + "1", lines[4][:-3] + '"0"'  # Cy sent nothing: kept
    wanted = codecs.BOM_UTF8 + "\r\n".join(lines + [""]).encode()
    filled = tool.work / "filled.csv"
    if graded.returncode != 0 or not filled.exists() or filled.read_bytes() != wanted:
        failures.append(f"the gradebook round trip: {graded.stderr!r}, "
                        f"{filled.read_bytes() if filled.exists() else None!r}")
    for name, text in [("ids differing in case", f"learner,user_name,password\n{ada},a,b\n"
                                                   f"{ada.upper()},c,d\n"),
                       ("two files joined", f"learner,user_name,password\n{ada},a,b\n"
                                            f"learner,user_name,password\n{bob},c,d\n")]:
        answers = tool.file("bad-answers.csv", text)
        refused = tool.run("grade", "--answers", answers, "--submissions", submissions,
                           "--learner-column", "Student", "--user-name-column", "Name",
                           "--password-column", "Password")
        if refused.returncode != 1 or "bad-answers.csv:3:" not in refused.stderr:
            failures.append(f"answers.csv with {name}: {refused.stderr!r}")
    ids_over = grade(tool, first, submissions, "--gradebook", export, "--gradebook-id-column",
                     "SIS Login ID", "--gradebook-column", "SIS Login ID", "--out",
                     tool.work / "ids-over.csv")[0]
    if ids_over.returncode != 1 or (tool.work / "ids-over.csv").exists():
        failures.append(f"the gradebook's id column was filled: {ids_over.stderr!r}")
    strangers = submissions_file(tool, "strangers.csv", [["nobody", user, password]])
    empty_import = grade(tool, first, strangers, "--gradebook", export, "--gradebook-id-column",
                         "SIS Login ID", "--gradebook-column", "Exercise, week 3 (123)",
                         "--out", tool.work / "empty-import.csv")[0]
    if empty_import.returncode != 1 or (tool.work / "empty-import.csv").exists():
        failures.append(f"an import with no learner's grade was written: {empty_import.stderr!r}")
    # A report that cannot be written whole: its reader gone, a file-size limit.
    reader, writer = os.pipe()
    os.close(reader)
    command = [tool.path, "grade", "--answers", first / "answers.csv", "--submissions",
               submissions, "--learner-column", "Student", "--user-name-column", "Name",
               "--password-column", "Password"]
    gone = subprocess.run(command, stdout=writer, stderr=subprocess.PIPE, text=True, check=False,
                          env=tool.environment(), timeout=60)
    os.close(writer)
    limited = tool.work / "limited"
    limited.mkdir()
    cut = subprocess.run(command + ["--out", limited / "grades.csv"], capture_output=True,
                         text=True, check=False, env=tool.environment(), timeout=60,
                         preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (16, 16)))
    if gone.returncode != 1 or "could not be written whole" not in gone.stderr or \
            cut.returncode == 0 or "SIGXFSZ" not in cut.stderr or any(limited.iterdir()):
        failures.append(f"a report cut off: {gone.returncode} {gone.stderr!r}, "
                        f"{cut.returncode} {cut.stderr!r}, left {list(limited.iterdir())}")


def check_handout(tool, out, rows, failures):
    """What may be shared names no learner: no id or its local part in a
    package's name, its members, its handout or any text beside it.
    handout.csv agrees with the packages, and comes back whole from
    answers.csv and them; a gradebook gets each learner's code and Moodle's
    zip their packages, each in their own participant's folder."""
    learners = [row[0] for row in rows[1:]]
    codes = {row[0]: row[3] for row in rows[1:]}
    names = {word.lower() for learner in learners for word in (learner, learner.split("@")[0])}
    folder = out / "packages"
    shared = [(path.name, path.read_bytes()) for path in sorted(folder.iterdir())]
    shared += [("SHA256SUMS", (out / "SHA256SUMS").read_bytes())]
    for name, content in list(shared):
        if name.endswith(".tar.gz"):
            with tarfile.open(folder / name) as archive:
                shared += [(member.name, archive.extractfile(member).read()
                            if member.name.endswith(".txt") else b"")
                           for member in archive.getmembers()]
    # Digests are hex and codes are letters, where "ada" may stand by chance.
    random_parts = rb"\b[0-9a-f]{64}\b|" + b"|".join(code.encode() for code in codes.values())
    shared = [(re.sub("|".join(codes.values()), "", name),
               re.sub(random_parts, b"", content)) for name, content in shared]
    named = [name for name, content in shared for word in names if word in name.lower() or (
        word.encode() in content.lower() and not name.endswith(".tar.gz"))]
    if named or len(set(codes.values())) != len(learners) or \
            not all(re.fullmatch("[A-HJKMNP-Z]{10}", code) for code in codes.values()):
        failures.append(f"shared files name a learner, or codes are not opaque: {named}, {codes}")
    handout_rows = rows_of(out / "handout.csv")
    expected = [["learner", "code", "linux_package", "linux_sha256"]] + [
        [learner, code, f"login-challenge-{code}-linux.tar.gz",
         hashlib.sha256((folder / f"login-challenge-{code}-linux.tar.gz").read_bytes()).hexdigest()]
        for learner, code in codes.items()]
    again = tool.run("handout-list", "--answers", out / "answers.csv", "--packages", folder,
                     "--out", tool.work / "handout-again.csv")
    if handout_rows != expected or again.returncode != 0 or \
            (tool.work / "handout-again.csv").read_bytes() != (out / "handout.csv").read_bytes():
        failures.append(f"handout.csv: {handout_rows}, again: {again.stderr!r}")
    (ada, bob, cy) = learners
    lines = ["OrgDefinedId;Username;Code Text Grade <Text>;End-of-Line Indicator",
             f"#1;#{bob};;#", f"#2;#{ada.upper()};old;#", "#9;#someone;;#"]
    export = tool.file("d2l.csv", "\r\n".join(lines) + "\r\n")
    filled = tool.run("handout", "--handout", out / "handout.csv", "--gradebook", export,
                      "--gradebook-id-column", "Username", "--gradebook-column",
                      "Code Text Grade", "--out", tool.work / "d2l-import.csv")
    lines[1:3] = [f"#1;#{bob};{codes[bob]};#", f"#2;#{ada.upper()};{codes[ada]};#"]
    if filled.returncode != 0 or (tool.work / "d2l-import.csv").read_bytes() != \
            ("\r\n".join(lines) + "\r\n").encode() or cy not in filled.stderr:
        failures.append(f"the handout's gradebook fill: {filled.stderr!r}")
    worksheet = tool.file("worksheet.csv", "Identifier,Full name,Email address,Status\n"
                          f"Participant 731200,Ada_Lovelace,{ada},-\n"
                          f"Participant 731201,Cy,{cy},-\n")
    zipped = tool.run("handout", "--handout", out / "handout.csv", "--moodle-worksheet",
                      worksheet, "--worksheet-id-column", "Email address", "--out",
                      tool.work / "feedback.zip")
    wanted = {f"{folder}_{name}": (folder_path / name).read_bytes() for folder, learner in
              [("Ada Lovelace_731200_assignsubmission_file_", ada),
               ("Cy_731201_assignsubmission_file_", cy)]
              for folder_path in [out / "packages"]
              for name in (f"login-challenge-{codes[learner]}-linux.tar.gz",
                           f"login-challenge-{codes[learner]}-linux.tar.gz.sha256")}
    with zipfile.ZipFile(tool.work / "feedback.zip") as archive:
        got = {info.filename.replace("/", "_", 1): archive.read(info) for info in archive.infolist()}
    if zipped.returncode != 0 or got != wanted:
        failures.append(f"Moodle's feedback zip: {zipped.stderr!r}, {sorted(got)}")


def check_lms_exports(tool, first, rows, programs, failures):
    """Submissions as each system exports them, graded as each learner's own
    program answers the row that counts: a Canvas quiz report, whose ids
    (Excel dropped their leading zeros) join through the gradebook; a
    Brightspace export with its '#' markers; a Microsoft Forms workbook
    with a preview account; a Google Form sorted newest first; times with
    their zones (across a clock change, Z beside +05:00, EST), a form's
    dates day first, Moodle's own dates; Moodle's, Brightspace's and
    Blackboard's own quiz reports with no column named; and workbooks whose
    stated dimension understates their rows or whose first sheet is empty."""
    (ada, user, password, _), (bob, bob_user, bob_password, _), (cy, cy_user, cy_password, _) = \
        rows[1:]
    canvas = tool.file("canvas.csv", "Student,ID,SIS User ID,SIS Login ID,Challenge (4711)\r\n"
                       "    Points Possible,,,,10\r\n"
                       f'"Lee, Ada",1,00412001,{ada},\r\n"Ray, Bo",2,00412002,{bob},\r\n'
                       f'"Cy",3,00412003,{cy},7.00\r\n"Student, Test",4,,,\r\n')
    d2l = tool.file("d2l.csv", "OrgDefinedId,Username,Challenge Points Grade <Numeric MaxPoints:5>,"
                    f"End-of-Line Indicator\n#01,#{ada},,#\n#02,#{bob},,#\n#03,#{cy},-,#\n")
    xlsx = tool.work / "forms.xlsx"
    workbook = openpyxl.Workbook()
    for row in [["ID", "Completion time", "Email", "user_name", "password"],
                [1, datetime.datetime(2026, 12, 1, 10), bob, bob_user, bob_password],
                [2, datetime.datetime(2026, 12, 1, 9), bob, bob_user, "wrong"],
                [3, datetime.datetime(2026, 12, 1, 11), "tester_previewuser", user, password]]:
        workbook.active.append(row)
    workbook.save(xlsx)
    form = tool.file("form.csv", "Timestamp,Email Address,user_name,password\n"
                     f"12/02/2026 10:00:00,{ada},{user},{password}\n"
                     f"12/01/2026 09:00:00,{ada},{user},nope\n")
    quiz = tool.file("quiz.csv", "name,id,sis_id,submitted,user_name,password\n"
                     f"Lee,1,412001,2026-12-01 10:00:00 UTC,{user},{password}\n"
                     f"Ray,2,412002,2026-12-01 10:00:00 UTC,{bob_user},{password}\n")
    brightspace = tool.file("d2l-quiz.csv", f"Username,user_name,password\n#{bob},{bob_user},"
                            f"{bob_password}\n")
    zones = tool.file("zones.csv", "Timestamp,Email,user_name,password\n"  # instants
                      f"2027-10-31T02:30:00+02:00,{ada},{user},{password}\n"
                      f"2027-10-31T02:10:00.5+01:00,{ada},{user},nope\n"
                      f"2027-03-01 10:00:00Z,{bob},{bob_user},{bob_password}\n"
                      f"2027-03-01 14:00:00+05:00,{bob},{bob_user},nope\n"
                      f"2027-03-01 09:00 EST,{cy},{cy_user},{cy_password}\n"
                      f"2027-03-01 14:30 UTC,{cy},{cy_user},nope\n")
    uk_form = tool.file("uk.csv", "Timestamp,Email,user_name,password\n"
                        f"04/03/2027 10:00:00,{ada},{user},{password}\n"
                        f"03/04/2027 09:00:00,{ada},{user},nope\n")
    moodle_dates = tool.file("moodle-dates.csv", "Email address,Date,user_name,password\n"
                             f"{bob},14 March 2027  9:00 AM,{bob_user},{bob_password}\n"
                             f"{bob},2 March 2027  11:00 AM,{bob_user},nope\n")
    short = tool.work / "short-dimension.xlsx"
    sheet = openpyxl.Workbook()
    for row in [["Email", "user_name", "password"], [bob, "x", "y"], [cy, cy_user, cy_password],
                [ada, user, password]]:
        sheet.active.append(row)
    sheet.save(short)
    with zipfile.ZipFile(short) as archive:
        parts = {name: archive.read(name) for name in archive.namelist()}
    parts["xl/worksheets/sheet1.xml"] = re.sub(rb'<dimension ref="[^"]*"/>',
                                               b'<dimension ref="A1:C2"/>',
                                               parts["xl/worksheets/sheet1.xml"])
    with zipfile.ZipFile(short, "w") as archive:
        for name, content in parts.items():
            archive.writestr(name, content)
    moodle_quiz = tool.file("moodle-quiz.csv", "Surname,First name,Email address,State,Started on,"
                            "Completed,Time taken,Grade/10.00,Response 1,Response 2\n"
                            f"L,A,{ada},Finished,-,14 March 2027  9:00 AM,5 mins,10.00,{user},"
                            f"{password}\nL,A,{ada},In progress,15 March 2027  9:00 AM,-,-,-,-,-\n")
    d2l_quiz = tool.file("d2l-questions.csv", "Org Defined ID,Username,Attempt #,Q #,Q Type,"
                         "Q Title,Answer,Score,Out Of\n"
                         f"2,{bob},2,1,SA,User name,{bob_user},0,1\n"
                         f"2,{bob},2,2,SA,Password,{bob_password},0,1\n"
                         f"2,{bob},1,1,SA,User name,{bob_user},0,1\n"
                         f"2,{bob},1,2,SA,Password,nope,0,1\n")
    blackboard = tool.file("bb-test.csv", "Last Name,First Name,Username,Attempt,Answer 1,Answer 2\n"
                           f"C,Cy,{cy},2027-03-14 10:00:00,{cy_user},nope\n"
                           f"C,Cy,{cy},2027-03-14 09:00:00,{cy_user},{cy_password}\n")
    second = tool.work / "second-sheet.xlsx"
    sheets = openpyxl.Workbook()
    sheets.active.title = "Notes"  # empty: the answers are on the next sheet
    responses = sheets.create_sheet("Responses")
    for row in [["Email", "user_name", "password"], [cy, cy_user, cy_password]]:
        responses.append(row)
    sheets.save(second)
    gradebook_options = ["--gradebook-column", "Challenge (4711)"]  # its ids found by itself
    cases = [  # name, submissions, options, the row of each learner that counts, cells
        ("a Canvas quiz report", quiz, ["--learner-column", "sis_id", "--gradebook", canvas,
                                        *gradebook_options],
         {ada: (user, password), bob: (bob_user, password), cy: None}, "10", "7.00"),
        ("a Brightspace export", brightspace, ["--learner-column", "Username", "--gradebook", d2l,
                                               "--gradebook-id-column", "Username",
                                               "--gradebook-column", d2l.read_text().split(",")[2]],
         {ada: None, bob: (bob_user, bob_password), cy: None}, "5", "-"),
        ("a Microsoft Forms workbook", xlsx, ["--learner-column", "Email"],
         {ada: None, bob: (bob_user, bob_password), cy: None}, "1", None),
        ("a Google Form newest first", form, ["--learner-column", "Email Address"],
         {ada: (user, password), bob: None, cy: None}, "1", None),
        ("times with their zones", zones, ["--learner-column", "Email"],
         {ada: (user, "nope"), bob: (bob_user, bob_password), cy: (cy_user, "nope")}, "1", None),
        ("a form's dates day first", uk_form, ["--learner-column", "Email", "--date-order",
                                               "day-first"],
         {ada: (user, "nope"), bob: None, cy: None}, "1", None),
        ("Moodle's dates", moodle_dates, ["--learner-column", "Email address", "--time-column",
                                          "Date"],
         {ada: None, bob: (bob_user, bob_password), cy: None}, "1", None),
        ("Moodle's quiz responses, a later attempt unfinished", moodle_quiz, [],
         {ada: (user, password), bob: None, cy: None}, "1", None),
        ("Brightspace's quiz export, a row per question", d2l_quiz, [],
         {ada: None, bob: (bob_user, bob_password), cy: None}, "1", None),
        ("Blackboard's test results", blackboard, [],
         {ada: None, bob: None, cy: (cy_user, "nope")}, "1", None),
        ("a workbook whose first sheet is empty", second, ["--learner-column", "Email"],
         {ada: None, bob: None, cy: (cy_user, cy_password)}, "1", None),
        ("a workbook whose dimension says 2 rows", short, ["--learner-column", "Email"],
         {ada: (user, password), bob: ("x", "y"), cy: (cy_user, cy_password)}, "1", None),
    ]
    for name, submissions, options, counting, points, kept in cases:
        out = tool.work / f"lms-{len(name)}.csv"
        graded = tool.run("grade", "--answers", first / "answers.csv", "--submissions",
                          submissions, *options, "--out", out)
        report_path = out.with_name(f"{out.stem}-report.csv") if kept else out
        got = {row[0]: row for row in rows_of(report_path)} if report_path.exists() else {}
        for learner, pair in counting.items():
            expected = ("missing", "") if pair is None else \
                ("solved", points) if attempt(programs[learner], *pair).endswith(b"Correct\n") \
                else ("wrong", "0")
            if graded.returncode != 0 or tuple(got.get(learner, [""] * 3)[1:3]) != expected:
                failures.append(f"{name}: {learner} got {got.get(learner)}, not {expected}; "
                                f"{graded.stderr[-300:]!r}")
        if kept and kept not in (out.read_text() if out.exists() else ""):
            failures.append(f"{name}: a learner with no submission lost their cell {kept!r}")
        if any("previewuser" in key for key in got):
            failures.append(f"{name}: a preview account was graded as a learner")


def wsgi(app, method, path, body=b""):
    """One request to a WSGI application: (status, headers, body)."""
    environ = {"REQUEST_METHOD": method, "PATH_INFO": path, "CONTENT_LENGTH": str(len(body)),
               "wsgi.input": io.BytesIO(body)}
    wsgiref.util.setup_testing_defaults(environ)
    started = []
    content = b"".join(app(environ, lambda status, headers: started.append((status, headers))))
    return int(started[0][0][:3]), dict(started[0][1]), content


def check_server(tool, first, rows, programs, failures):
    """The course server through a WSGI client: a learner's page and
    packages only at their token, the same 404 for every other path, a
    verdict as their own program gives it, the form's CSRF field, the limit
    of attempts, and every submission found again after a restart."""
    served = tool.work / "served"
    shutil.copytree(first, served)
    app = server.App(served, log=lambda line: None)
    (ada, user, password, code), (bob, *_, bob_code) = rows[1], rows[2]
    mine, theirs = app.learner_tokens[ada], app.learner_tokens[bob]
    package = f"login-challenge-{code}-linux.tar.gz"
    status, headers, page_body = wsgi(app, "GET", f"/l/{mine}")
    csrf = re.search(rb'name="csrf" value="([^"]+)"', page_body).group(1).decode()
    expected_404 = wsgi(app, "GET", "/l/nothing")[2]
    refused = {f"/l/{mine[:-1]}{'A' if mine[-1] != 'A' else 'B'}": 404, f"/packages/{package}": 404,
               f"/l/{mine}/p/login-challenge-{bob_code}-linux.tar.gz": 404,
               f"/s/{theirs}": 404, f"/l/{mine}/p/{package}": 200, f"/l/{theirs}": 200}
    got = {path: wsgi(app, "GET", path) for path in refused}
    if status != 200 or bob.encode() in page_body or code.encode() not in page_body or \
            "default-src 'none'" not in headers.get("Content-Security-Policy", "") or \
            {path: result[0] for path, result in got.items()} != refused or \
            any(result[2] != expected_404 for result in got.values() if result[0] == 404) or \
            got[f"/l/{mine}/p/{package}"][2] != (first / "packages" / package).read_bytes():
        failures.append(f"the server's pages: {status}, { {p: r[0] for p, r in got.items()} }")

    def submit(user_name, typed_password, form=csrf):
        body = urllib.parse.urlencode({"csrf": form, "user_name": user_name,
                                       "password": typed_password}).encode()
        return wsgi(app, "POST", f"/l/{mine}/answer", body)
    answers = [(user, password + "x"), (f" {user}", f"{password}\t")] + [("a", "b")] * 8
    verdicts = [submit(*pair) for pair in answers]
    for pair, (status, _, body) in zip(answers, verdicts):
        said = b"Correct" if attempt(programs[ada], *pair).endswith(b"Correct\n") else b"Try Again"
        if status != 200 or b'id="verdict">' + said not in body:
            failures.append(f"the server's verdict on {pair}: {status}, not {said}")
    limited, forged = submit(user, password), submit(user, password, form="forged")
    empty_form = submit(user, password, form="")
    big = wsgi(app, "POST", f"/l/{mine}/answer", b"x" * 5000)
    modes = [stat.S_IMODE(os.stat(served / name).st_mode) for name in
             ("server.key", "submissions.sqlite")]
    if (limited[0], forged[0], empty_form[0], big[0], modes) != (429, 403, 403, 413,
                                                                 [0o600, 0o600]):
        failures.append(f"the 11th attempt, a forged form, an empty one, a huge body, the "
                        f"key's and record's modes: {limited[0]}, {forged[0]}, {empty_form[0]}, "
                        f"{big[0]}, {list(map(oct, modes))}")
    app.close()
    again = server.App(served, log=lambda line: None)
    recorded = rows_of_text(store.submissions_csv(again.store).decode())
    if again.learner_tokens != app.learner_tokens or len(recorded) != 11 or \
            recorded[0] != ["learner", "user_name", "password", "submitted_at"] or \
            [row[1:3] for row in recorded[1:]] != [list(pair) for pair in answers]:
        failures.append(f"after a restart: {recorded[:3]}")
    try:
        check_served_record(tool, served, again, rows, programs, failures)
    finally:
        again.close()


def check_served_record(tool, served, app, rows, programs, failures):
    """What a learner cannot bend: a second server on the set is refused;
    odd bytes get a 4xx; a clock stepped back neither reorders the record
    nor locks a learner out past the window; and whatever bytes a learner
    typed, `grade` reads back from `submissions` exactly the rows recorded,
    grading every learner as the server's own report does."""
    (ada, user, password, _), (bob, *_), (cy, *_) = rows[1], rows[2], rows[3]
    try:
        server.App(served, log=lambda line: None).close()
        failures.append("a second server on the same set was not refused")
    except SetError as error:
        if "serves this set already (pid " not in str(error):
            failures.append(f"a second server: {error}")
    mine, csrf = app.learner_tokens[ada], app.csrf(ada)
    odd = [wsgi(app, "GET", "/s/\u00e9\u00e9"), wsgi(app, "GET", "/l/\udcff"),
           wsgi(app, "POST", f"/l/{mine}/answer", "csrf=\u00e9&user_name=a".encode()),
           wsgi(app, "POST", f"/l/{mine}/answer", "&".join(["a=b"] * 9).encode()),
           wsgi(app, "POST", f"/l/{mine}/answer", b"csrf=%ff%fe&user_name=\xff")]
    if [status for status, *_ in odd] != [404, 404, 403, 400, 403]:
        failures.append(f"odd bytes: {[status for status, *_ in odd]}")
    stepped = datetime.timedelta(hours=1)
    real_now, real_clock = store.now, progress.clock
    try:
        store.now = lambda: real_now() - stepped
        progress.clock = lambda: real_clock() + 601  # past ada's window
        body = urllib.parse.urlencode({"csrf": csrf, "user_name": user, "password": password})
        status, _, page_body = wsgi(app, "POST", f"/l/{mine}/answer", body.encode())
        planted = urllib.parse.urlencode({"csrf": app.csrf(bob), "user_name": f"x\r{cy}\n",
                                          "password": '\0"q\r\n'})
        wsgi(app, "POST", f"/l/{app.learner_tokens[bob]}/answer", planted.encode())
    finally:
        store.now, progress.clock = real_now, real_clock
    if status != 200 or b'id="verdict">Correct' not in page_body:
        failures.append(f"after the clock stepped back an hour, ada's right answer: {status}")
    exported = tool.file("served.csv", store.submissions_csv(app.store))
    out = tool.work / "served-graded.csv"
    graded = tool.run("grade", "--answers", served / "answers.csv", "--submissions", exported,
                      "--out", out)
    by_grade = {row[0]: row[1] for row in rows_of(out)[1:]} if out.exists() else {}
    by_server = {learner: result for learner, (result, _) in app.progress.results().items()}
    if graded.returncode != 0 or by_grade != by_server or by_server.get(ada) != "solved" or \
            by_server.get(cy) != "missing" or \
            len(rows_of_text(exported.read_bytes().decode())) != 13:
        failures.append(f"the export and the server disagree: {by_grade} != {by_server}; "
                        f"{graded.stderr[-300:]!r}")


def rows_of_text(text):
    return list(csv.reader(io.StringIO(text)))


def check_contract(failures):
    """The derivation is the tool's contract with every set already made:
    pinned for a fixed secret, set and id, and a refused draw moves on to
    the next draw number."""
    secret, where = b"0123456789abcdef", ("pinned", "ada@example.org")
    first, _ = values.choose(secret, *where, lambda candidate: None)
    second, reasons = values.choose(secret, *where, lambda candidate: "refused" if candidate[
        "user_name"] == first["user_name"] else None)
    shape = (first["user_name"], first["password"], hex(first["image_base"]), first["slots"][:3],
             hashlib.sha256(first["literals"]).hexdigest()[:16])
    if shape != ("azw", "czx2d", "0x179a0000", [46, 54, 69], "d77aa9f3f5a3ffb4") or \
            (second["user_name"], second["password"], reasons) != ("y7i", "m5l6i", ["refused"]):
        failures.append(f"the derivation moved: {shape}, then {second['user_name']}, {reasons}")
    values.next_shape(first)
    if (first["user_name"], first["shape"], hex(first["image_base"])) != ("azw", 2, "0x19df0000"):
        failures.append(f"the second shape moved: {first['shape']}, {hex(first['image_base'])}")
    handout = packages.handout("windows", SET, "ada", False, "a note\nof two lines")
    if handout.count(b"\n") != handout.count(b"\r\n") or b"a note\r\nof two lines" not in handout:
        failures.append("the Windows handout has bare line feeds")


class StandInBuilds:
    """The learners' builds as making.check_programs sees them, for one
    learner whose programs hold the password whole until the shape they
    are built with is `clean_from`."""

    def __init__(self, tool, learner, chosen, default, clean_from, planted=None):
        self.platforms, self.learners, self.shapes = ["linux"], [learner], []
        self.tool, self.chosen, self.default, self.clean_from = tool, chosen, default, clean_from
        self.planted = planted

    def write_variant(self, _learner, chosen):
        self.shapes.append(chosen["shape"])

    def build(self):
        pass

    def executable(self, _platform, _learner):
        content = self.default
        if self.chosen["shape"] < self.clean_from and self.planted:
            return self.tool.file("stand-in-program", self.planted(content), 0o755)
        if self.chosen["shape"] < self.clean_from:
            middle = len(content) // 2
            content = content[:middle] + self.chosen["password"].encode() + content[middle + 5:]
        return self.tool.file("stand-in-program", content, 0o755)


def check_redraw(tool, programs, failures):
    """A learner whose program a code-blind script would read gets a new
    shape from their own stream and keeps their values; one refused in
    every shape stops the set, named. The programs are stand-ins that trip
    the check: a real draw does rarely (a Windows program's relocations
    held a learner's user name in every shape once in about 420 learners)."""
    default = next(iter(programs.values())).read_bytes()
    reference = {"linux": extractors.Reference(default)}
    arguments = argparse.Namespace(verbose=True)
    secret, where = b"0123456789abcdef", ("pinned", "ada@example.org")
    run_and_format = build.run_and_format_defects
    build.run_and_format_defects = lambda *_: []  # the stand-ins are no real variants
    try:
        chosen = values.choose(secret, *where, lambda candidate: None)[0]
        expected = values.choose(secret, *where, lambda candidate: None)[0]
        values.next_shape(expected)
        builds = StandInBuilds(tool, where[1], chosen, default, clean_from=2)
        making.check_programs(arguments, builds, {where[1]: chosen}, None, reference)
        if builds.shapes != [2] or chosen["literals"] != expected["literals"] or \
                (chosen["user_name"], chosen["password"]) != ("azw", "czx2d"):
            failures.append(f"a refused program's learner: shapes {builds.shapes}, "
                            f"{chosen['user_name']} {chosen['password']}")
        # A pool in a run of changed bytes in every shape stops no set.
        chosen = values.choose(secret, *where, lambda candidate: None)[0]
        characters = sorted(set((chosen["user_name"] + chosen["password"]).encode()))
        builds = StandInBuilds(tool, where[1], chosen, default, values.MAX_SHAPES + 1,
                               planted=lambda content: planted_apart(content, characters))
        making.check_programs(arguments, builds, {where[1]: chosen}, None, reference)
        if len(builds.shapes) != values.MAX_SHAPES - 1:
            failures.append(f"a pool in changed bytes: shapes {builds.shapes}")
        # A value that stands whole where no table moves it (an .exe's
        # relocations): the shapes past the first MAX_SHAPES move the code.
        chosen = values.choose(secret, *where, lambda candidate: None)[0]
        builds = StandInBuilds(tool, where[1], chosen, default, clean_from=values.MAX_SHAPES + 1)
        making.check_programs(arguments, builds, {where[1]: chosen}, None, reference)
        if builds.shapes[-1] != values.MAX_SHAPES + 1 or chosen["code_shift"] != 16 or \
                ".skip 16, 0xcc" not in values.variant_source(
                    (common.SOURCE / "src" / "credentials.cpp").read_text(), chosen):
            failures.append(f"a value whole in every shape of before: shapes {builds.shapes}")
        last = values.MAX_SHAPES + values.EXTRA_SHAPES
        chosen = values.choose(secret, *where, lambda candidate: None)[0]
        builds = StandInBuilds(tool, where[1], chosen, default, clean_from=last + 1)
        making.check_programs(arguments, builds, {where[1]: chosen}, None, reference)
        failures.append("a learner refused in every shape did not stop the set")
    except SetError as error:
        if f"{where[1]}: every one of {values.MAX_SHAPES + values.EXTRA_SHAPES} shapes" not in \
                str(error):
            failures.append(f"a learner refused in every shape: {error}")
    finally:
        build.run_and_format_defects = run_and_format


def planted_apart(default, characters):
    """The characters planted in one run of changes at uneven gaps, which no
    stride reads, with 20 other letters changed far off, so that all that
    differs from `default` is no small pool."""
    deep = default.index(bytes(128), len(default) // 4)
    uneven = b"".join(bytes([c]) + b"\x01" * (6 + index % 5) for index, c in enumerate(characters))
    others = b"\x02".join(bytes([c]) for c in b"abcdefghijklmnopqrstuvwxyz0123456789"
                          if c not in characters)[:40] + b"\x02" * 8
    far = default.index(bytes(len(others)), deep + 4096)
    return default[:deep] + uneven + default[deep + len(uneven):far] + others + \
        default[far + len(others):]


def check_checks_fire(tool, programs, rows, failures):
    """Each check the tool makes before it packs a program, handed a program
    that must fail it: the values whole, a pool of their characters next to
    each other or at the widest stride, a few bytes that differ from the
    default program, deep in the file, on either platform; the Windows
    format; the transcripts, and their comparison on its own. Then the checks
    of a draw, and what a failed build may show."""
    (learner, user_name, password, _) = rows[1]
    chosen = {"user_name": user_name, "password": password}
    default = programs[learner].read_bytes()
    reference = extractors.Reference(default)
    # Where no planted byte can equal the one it replaces, which would hide it
    # from a diff: a stretch of zeros well inside the file.
    deep = default.index(bytes(128), len(default) // 4)
    characters = sorted(set((user_name + password).encode()))
    strided = b"".join(bytes([c]) + b"\x01" * 15 for c in characters)
    bad = [
        ("run of bytes that differ", planted_apart(default, characters)),
        ("stands whole", default[:deep] + password.encode() + default[deep + 5:]),
        ("hold every character", default[:deep] + b"\x01".join(map(bytes, [[c] for c in characters]))
         + default[deep + 2 * len(characters) - 1:]),
        ("hold every character", default[:deep] + strided + default[deep + len(strided):]),
        ("differ from the default", default[:deep] + (user_name + password).encode()[::-1]
         + default[deep + 8:]),
    ]
    for platform in ("linux", "windows"):
        for wanted, content in bad:
            path = tool.file(f"bad-{platform}", content, 0o755)
            found = "; ".join(build.executable_defects(platform, path, chosen, None, reference))
            if wanted not in found:
                failures.append(f"a {platform} program whose values {wanted} passed: {found!r}")
    if "not a Windows program" not in " ".join(build.windows_defects(programs[learner], 32)):
        failures.append("a Linux program passed as a Windows one")
    script = tool.file("wrong-transcript", "#!/bin/sh\necho Correct\n", 0o755)
    if not build.run_defects("linux", script, chosen, None):
        failures.append("a program with the wrong transcript passed")
    failed = (build.EXPECTED / "rejected-password.txt").read_bytes()
    on_windows = failed.replace(executables.NATIVE_PAUSE, b"").replace(b"\n", b"\r\n")
    for actual, windows, matches in [
            (failed, False, True), (failed + b"x", False, False),
            (on_windows + b"Press any key to continue... ", True, True),
            (on_windows + b"Press any key to continue . . . \r\n", True, True),
            (on_windows + b"Press any key to continue... \r\nCorrect\r\n", True, False)]:
        if executables.transcript_matches(actual, failed, windows) != matches:
            failures.append(f"the transcript comparison says {not matches} for {actual[-40:]!r}")

    plain = extractors.Reference(b"\xff" * 4096)
    pooled = extractors.Reference(b"\xff" * 64 + b"\x01".join(map(bytes, [[c] for c in characters])))
    for handout, default_program, refused in [
            (b"a handout", plain, None), (b"yours: " + password.encode(), plain, "handout"),
            (b"a handout", pooled, "pool")]:
        said = making.refusal(chosen, {"linux": handout}, {"linux": default_program})
        if (said is None) != (refused is None) or refused and refused not in said:
            failures.append(f"a draw whose {refused} should refuse it: {said!r}")
    ann = {**chosen, "code": "AAAAAAAAAA"}
    for what, bob in [("values", {**ann, "code": "BBBBBBBBBB"}), ("code", {**ann, "password": "x"})]:
        try:
            values.check_distinct({"ann": ann, "bob": bob})
            failures.append(f"two learners with the same {what} passed")
        except SetError:
            pass
    said = "no error"
    log = (f"FAILED: variants/ann/credentials.cpp.o\nsrc/credentials.cpp:9:5: error: '{password}' "
           f"undeclared\n    9 |     join_entries({user_name})\nninja: build stopped: "
           "subcommand failed.\n")
    limited = tool.work / "limited-build"
    limited.mkdir()
    try:
        build.run_logged(["sh", "-c", f"echo 'cc1plus: fatal error: {password}.s: Too many open "
                          "files'; exit 1"], limited / "build.log", "linux: building", {})
    except SetError as error:
        said = str(error)
    if "Too many open files, a limit of this machine" not in said or password in said:
        failures.append(f"a build that ran out of descriptors says {said!r}")
    shown_log = build.shown_log(log, {})
    if user_name in shown_log or password in shown_log or "ninja: build stopped" not in shown_log:
        failures.append(f"a failed build's message shows {shown_log!r}")


def check_refusals(tool, failures):
    """Bad input is refused before anything is built (a stand-in `cmake`,
    first on PATH, records any build), and all of it at once; no input is
    ever lost to an output, and a pipe where a file belongs is refused
    without waiting on it."""
    roster = tool.file("bad-roster", "ada\n-bob\n" + "x" * 100000 + "\nADA\nbob.\n")
    ok = tool.file("ok", "ada\n")
    fifo = tool.work / "fifo"
    os.mkfifo(fifo)
    (tool.work / "full").mkdir()
    (tool.work / "full" / "something").write_text("kept")
    stand_in = tool.work / "stand-in"
    stand_in.mkdir()
    tool.file("stand-in/cmake", f"#!/bin/sh\ntouch {tool.work}/built\nexit 1\n", 0o755)
    secret_before = tool.secret.read_bytes()
    cases = {  # name: (command, roster, secret, --out, more options, what stderr holds)
        "four bad lines": ("make", roster, tool.secret, "out", [], [
            "bad-roster:2:", "bad-roster:3:", "bad-roster:4:", "bad-roster:5:"]),
        "short secret": ("make", ok, tool.file("short", "0123456789abcde\n"), "out", [],
                         ["short:1:", "not counting a final line end"]),
        "a secret others can read": ("make", ok, tool.file("shared", "s" * 32, 0o640), "out", [],
                                     ["chmod 600"]),
        "a device as the secret": ("make", ok, "/dev/urandom", "out", [], ["not a regular file"]),
        "a pipe as the roster": ("make", fifo, tool.secret, "out", [], ["not a regular file"]),
        "a DEL in the note": ("make", ok, tool.secret, "out",
                              ["--note", tool.file("del", "a\x7fb")], ["U+007F"]),
        "a CSI in the note": ("make", ok, tool.secret, "out",
                              ["--note", tool.file("csi", "a\u009bb")], ["U+009B"]),
        "a folder that is not empty": ("make", ok, tool.secret, "full", [], ["not empty"]),
        "answers over the secret": ("answers", ok, tool.secret, tool.secret, [],
                                    ["is --secret-file as well"]),
    }
    path = {"PATH": f"{stand_in}:{os.environ['PATH']}"}
    for name, (command, roster_file, secret, out, more, wanted) in cases.items():
        result = tool.make(out, roster_file, *more, command=command, secret=secret,
                           environment=path)
        if result.returncode != 1 or not all(w in result.stderr for w in wanted) or \
                len(result.stderr) > 2000 or (tool.work / "out").exists() or \
                (tool.work / "built").exists():
            failures.append(f"{name}: exit {result.returncode}, {result.stderr[:300]!r}, "
                            f"built first: {(tool.work / 'built').exists()}")
            (tool.work / "built").unlink(missing_ok=True)
    if tool.secret.read_bytes() != secret_before or \
            (tool.work / "full" / "something").read_text() != "kept":
        failures.append("an input or a folder's content was overwritten")
    # A note that holds every possible user name: the draws must end.
    note = tool.file("note", de_bruijn("abcdefghijklmnopqrstuvwxyz0123456789"))
    result = tool.make("full-note", ok, "--note", note)
    if result.returncode != 1 or "ada: no values after" not in result.stderr:
        failures.append(f"a note holding every user name: exit {result.returncode}, {result.stderr[-300:]!r}")


def de_bruijn(alphabet, order=3):
    """A text holding every `order`-character string once."""
    sequence, word = [], [0] * (order + 1)

    def extend(t, p):
        if t > order:
            if order % p == 0:
                sequence.extend(word[1:p + 1])
            return
        word[t] = word[t - p]
        extend(t + 1, p)
        for j in range(word[t - p] + 1, len(alphabet)):
            word[t] = j
            extend(t + 1, t)

    extend(1, 1)
    return "".join(alphabet[i] for i in sequence + sequence[:order - 1])


def check_signal(tool, failures):
    """SIGQUIT (Ctrl+\\) in the middle of a build: every process ends,
    nothing stays, as for any ending signal."""
    roster = tool.file("many", "".join(f"learner-{n:02}\n" for n in range(12)))
    process = subprocess.Popen(  # pylint: disable=consider-using-with
        [tool.path, "make", "--set", SET, "--secret-file", tool.secret, "--roster", roster,
         "--out", tool.work / "interrupted", "--platforms", "linux"], stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE, env=tool.environment())
    deadline = time.monotonic() + 60
    while not list(tool.temporary.glob("challenge-set-*/build-linux/build.ninja")):
        if time.monotonic() > deadline or process.poll() is not None:
            return failures.append("the set build never started")
        time.sleep(0.05)
    time.sleep(1)
    process.send_signal(signal.SIGQUIT)
    status = process.wait(timeout=30)
    errors = process.stderr.read().decode()
    process.stderr.close()
    time.sleep(0.5)
    left = [pid for pid in os.listdir("/proc") if pid.isdigit() and
            str(tool.temporary).encode() in read_quietly(f"/proc/{pid}/cmdline")]
    if status != 128 + signal.SIGQUIT or "interrupted by SIGQUIT; nothing was written" not in \
            errors or (tool.work / "interrupted").exists() or left:
        failures.append(f"SIGQUIT: exit {status}, {errors!r}, processes {left}")


def read_quietly(path):
    try:
        return Path(path).read_bytes()
    except OSError:
        return b""


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--tool", required=True)
    failures = []
    with tempfile.TemporaryDirectory() as work:
        tool = Tool(parser.parse_args().tool, work)
        export = tool.file("export.csv", EXPORT)
        made = tool.make("first", export, "--roster-column", "Email", umask=0o027)
        if made.returncode != 0:
            return report([f"the set was not made: {made.stderr}"])
        for note in ("ada@example.org is listed on lines 3, 5", "no id in column 'Email' on "
                     "line(s) 2; skipped", "read as Windows-1252"):
            if note not in made.stdout:
                failures.append(f"make did not say {note!r}: {made.stdout!r}")
        rows, programs = check_set(tool.work / "first", tool.work, tool.secret, failures)
        if programs:
            check_handout(tool, tool.work / "first", rows, failures)
            check_answers_stay(tool, rows, tool.work / "first", failures)
            check_grading(tool, tool.work / "first", rows, programs, failures)
            check_lms_exports(tool, tool.work / "first", rows, programs, failures)
            check_server(tool, tool.work / "first", rows, programs, failures)
        # The shortest secret there may be: 16 bytes, and a line end that does not count.
        other = tool.make("other.csv", export, "--roster-column", "Email", command="answers",
                          secret=tool.file("secret2", os.urandom(16).hex()[:16] + "\n"))
        if other.returncode != 0 or any(a[1:3] == b[1:3] for a, b in
                                        zip(rows_of(tool.work / "other.csv")[1:], rows[1:])):
            failures.append(f"another secret gave a learner the same values: {other.stderr}")
        elif stat.S_IMODE(os.stat(tool.work / "other.csv").st_mode) != 0o600:
            failures.append("`answers` wrote a file others can read")
        check_contract(failures)
        check_checks_fire(tool, programs, rows, failures)
        check_redraw(tool, programs, failures)
        check_refusals(tool, failures)
        check_signal(tool, failures)
        left = tool.left + [path.name for path in tool.temporary.iterdir()]
        if left:
            failures.append(f"runs left {left} in their temporary folder")
    if not failures:
        print("sets made, re-made, graded and checked; bad input and signals left nothing")
    return report(failures)


if __name__ == "__main__":
    sys.exit(main())
