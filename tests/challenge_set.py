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
import csv
import hashlib
import io
import itertools
import os
import re
import shutil
import signal
import stat
import subprocess
import sys
import tarfile
import tempfile
import time
from pathlib import Path

from support import report
# pylint: disable=wrong-import-order
from challenge_set import build, extractors, packages, values  # noqa: E402

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

    def run(self, *arguments, environment=None, timeout=900):
        """Runs the tool; what it leaves in its temporary folder is noted."""
        result = subprocess.run([self.path, *map(str, arguments)], capture_output=True,
                                text=True, timeout=timeout, check=False,
                                env=self.environment(environment))
        self.left += [f"{arguments[0]}: {path.name}" for path in self.temporary.iterdir()]
        return result

    def make(self, out, roster, *extra, command="make", secret=None, environment=None):
        return self.run(command, "--set", SET, "--secret-file", secret or self.secret,
                        "--roster", roster, "--out", self.work / out, "--platforms", "linux",
                        "--keep-symbols",
                        *extra, environment=environment)


def rows_of(path):
    with open(path, newline="", encoding="ascii") as rows:
        return list(csv.reader(rows))


def attempt(program, user_name, password):
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
    if rows[0] != ["learner", "user_name", "password"] or [r[0] for r in rows[1:]] != LEARNERS:
        return failures.append(f"answers.csv: {rows}"), {}
    record = (out / "set.json").read_text()
    secret = tool_secret.read_bytes()
    for what, text in [("the secret", secret.hex()), ("its SHA-256", hashlib.sha256(secret)
                       .hexdigest())] + [(f"the value {v}", v) for row in rows[1:] for v in row[1:]]:
        if text in record:
            failures.append(f"set.json holds {what}")
    modes = {name: stat.S_IMODE(os.stat(out / name).st_mode) for name in
             ("answers.csv", "SHA256SUMS", "set.json", ".gitignore", "packages")}
    if modes != {"answers.csv": 0o600, "SHA256SUMS": 0o644, "set.json": 0o644,
                 ".gitignore": 0o644, "packages": 0o755} or \
            (out / ".gitignore").read_text().splitlines()[-1] != "*":
        failures.append(f"the set's files: modes {modes}, .gitignore {(out / '.gitignore').exists()}")
    packages = sorted(path.name for path in (out / "packages").glob("*.tar.gz"))
    programs = {}
    listed = sorted(line.split("  packages/")[1] for line in
                    (out / "SHA256SUMS").read_text().splitlines())
    if listed != packages or len(packages) != len(LEARNERS):
        failures.append(f"SHA256SUMS lists {listed}, the packages are {packages}")
    for index, (learner, user_name, password) in enumerate(rows[1:]):
        name = f"login-challenge-{learner}-linux"
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
        if learner.encode() not in handout or user_name.encode() in handout or \
                b"keeps its symbol table" not in handout:
            failures.append(f"{learner}'s handout lacks its id or its symbols' line, or holds "
                            "a value")
        if b".symtab" not in (alone / name / "login-challenge").read_bytes():
            failures.append(f"{learner}'s program lost its symbols despite --keep-symbols")
        program = alone / name / "login-challenge"
        if not attempt(program, user_name, password).endswith(b"Inside of functionCorrect\n"):
            failures.append(f"{learner}'s program refuses its own answers")
        _, other_user, other_password = rows[1:][(index + 1) % len(LEARNERS)]
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
    for index, (learner, user_name, password) in enumerate(rows):
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
    """Answers hang on the secret, the set and the id alone. A work folder
    that a killed run left is removed by the next run."""
    by_learner = {row[0]: row for row in rows[1:]}
    stale = tool.temporary / "challenge-set-999999-killed"
    (stale / "variants").mkdir(parents=True)
    (stale / ".owner").write_text("999999 0\n")
    reversed_roster = tool.file("reversed", "\n".join(reversed(LEARNERS)) + "\n")
    made = tool.make("reversed.csv", reversed_roster, command="answers",
                     environment={"SOURCE_DATE_EPOCH": "86400"})
    if made.returncode != 0 or rows_of(tool.work / "reversed.csv")[1:] != \
            [by_learner[learner] for learner in reversed(LEARNERS)]:
        failures.append(f"the reversed roster, another time, moved answers: {made.stderr}")
    if stale.exists() or "left by an earlier run" not in made.stdout:
        failures.append(f"a killed run's work folder was not removed: {made.stdout!r}")
    again = tool.make("again.csv", tool.work / "export.csv", "--roster-column", "Email",
                      command="answers")
    if again.returncode != 0 or (tool.work / "again.csv").read_bytes() != \
            (first / "answers.csv").read_bytes():
        failures.append(f"`answers` differs from `make`: {again.stderr}")
    # One learner made alone: a lost package re-issued, with SIGTERM sent as
    # soon as the set appears. Either the tool ends first, or it says the set
    # is complete; never "nothing was written" beside a set.
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
    said = {0: "", 128 + signal.SIGTERM: "interrupted, but the set is complete"}
    if said.get(process.returncode) is None or said[process.returncode] not in errors:
        failures.append(f"SIGTERM as the set appeared: exit {process.returncode}, {errors!r}")
    package = f"login-challenge-{LEARNERS[2]}-linux.tar.gz"
    if not (out / "set.json").exists() or rows_of(out / "answers.csv")[1] != rows[3] or \
            (out / "packages" / package).read_bytes() != \
            (first / "packages" / package).read_bytes():
        failures.append(f"one learner made alone differs from the whole set: {errors}")


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
    (ada, user, password), (bob, _, _), (cy, cy_user, cy_password) = rows[1:]
    kelvin = cy.replace("k", "\u212a")
    cases = [  # name, rows, whose grade, the row that counts, words the detail holds
        ("padding", [[ada, f"  {user} ", f"{password}\t"]], ada, 0, ""),
        ("both words in one field, a vertical tab between", [[ada, f"{user}\v{password}", ""]],
         ada, 0, ""),
        ("a form feed around each word", [[ada, f"\f{user}", f"{password}\f"]], ada, 0, ""),
        ("a no-break space", [[ada, user + "\u00a0", password]], ada, 0, "U+00A0"),
        ("a zero-width space", [[ada, user, "\u200b" + password]], ada, 0, "U+200B"),
        ("letter case", [[ada, user.upper(), password]], ada, 0, "letter case"),
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
    for number, (name, submitted, whose, counts, detail) in enumerate(cases):
        graded, report_rows = grade(tool, first, submissions_file(tool, f"case-{number}", submitted))
        if counts is None:
            expected = "missing"
        else:
            said = attempt(programs[whose], *submitted[counts][1:])
            expected = "solved" if said.endswith(b"Correct\n") else "wrong"
        row = report_rows.get(whose, [])
        if graded.returncode != 0 or row[1:2] != [expected] or detail not in row[-1]:
            failures.append(f"grading {name}: {row} for {whose}, expected {expected} and "
                            f"{detail!r}; {graded.stderr[-200:]!r}")
    # Rows from ids not on the roster, or with none: every one accounted for,
    # no formula left live, in Excel's "Unicode Text" (UTF-16, tabs).
    formula = '=HYPERLINK("http://x","y")'
    submissions = submissions_file(
        tool, "strays.txt", [[ada + "x", user, password], ["", cy_user, cy_password],
                             [formula, "a", "b"], [bob, user, password]], "utf-16", "\t")
    graded, report_rows = grade(tool, first, submissions, "--points", "2", "--out",
                                tool.work / "grades.csv")
    report_rows = list(csv.reader(io.StringIO((tool.work / "grades.csv").read_text())))
    wanted = [["learner", "result", "points", "detail"],
              [ada, "missing", "", ""],
              [bob, "wrong", "0", f"another learner's answer: the right answer of {ada}"],
              [cy, "missing", "", ""],
              [ada + "x", "not on the roster", "", f"holds the right answer of {ada}"],
              ["'" + formula, "not on the roster", "", ""],
              ["", "no learner id", "", f"line 3 has no learner id; holds the right answer of {cy}"]]
    summary = ("3 learners: 0 solved, 1 wrong, 2 missing (1 with another learner's answer); "
               "3 rows from ids not on the roster, 1 of them with no id")
    if report_rows != wanted or graded.stdout.strip() != summary:
        failures.append(f"rows not on the roster: {report_rows}, {graded.stdout!r}")
    check_gradebook(tool, first, rows, failures)


def check_gradebook(tool, first, rows, failures):
    """A Canvas-like export comes back byte for byte, but for the
    exercise's column in the roster learners' rows."""
    (ada, user, password), (bob, _, _), (cy, _, _) = rows[1:]
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
    lines[2], lines[4], lines[5] = lines[2][:-1] + "1", lines[4][:-3] + '"0"', lines[5] + ","
    wanted = codecs.BOM_UTF8 + "\r\n".join(lines + [""]).encode()
    filled = tool.work / "filled.csv"
    if graded.returncode != 0 or not filled.exists() or filled.read_bytes() != wanted:
        failures.append(f"the gradebook round trip: {graded.stderr!r}, "
                        f"{filled.read_bytes() if filled.exists() else None!r}")


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
    handout = packages.handout("windows", SET, "ada", False, "a note\nof two lines")
    if handout.count(b"\n") != handout.count(b"\r\n") or b"a note\r\nof two lines" not in handout:
        failures.append("the Windows handout has bare line feeds")


def check_checks_fire(tool, programs, rows, failures):
    """Each check the tool makes before it packs a program, handed a program
    that must fail it: the values whole, a pool of their characters, a few
    bytes that differ from the default program, deep in the file, on either
    platform; the Windows format; the transcripts."""
    (learner, user_name, password) = rows[1]
    chosen = {"user_name": user_name, "password": password}
    default = programs[learner].read_bytes()
    reference = extractors.Reference(default)
    deep = len(default) // 2
    bad = {
        "stands whole": default[:deep] + password.encode() + default[deep + 5:],
        "hold every character": default[:deep] + b"\x01".join(
            bytes([c]) for c in sorted(set((user_name + password).encode()))) + default[deep + 40:],
        "differ from the default": default[:deep] + (user_name + password).encode()[::-1]
        + default[deep + 8:],
    }
    for platform in ("linux", "windows"):
        for wanted, content in bad.items():
            path = tool.file(f"bad-{platform}", content, 0o755)
            found = "; ".join(build.executable_defects(platform, path, chosen, None, reference))
            if wanted not in found:
                failures.append(f"a {platform} program whose values {wanted} passed: {found!r}")
    if "not a Windows program" not in " ".join(build.windows_defects(programs[learner], 32)):
        failures.append("a Linux program passed as a Windows one")
    script = tool.file("wrong-transcript", "#!/bin/sh\necho Correct\n", 0o755)
    if not build.run_defects("linux", script, chosen, None):
        failures.append("a program with the wrong transcript passed")


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
    """SIGTERM in the middle of a build: every process ends, nothing stays."""
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
    process.send_signal(signal.SIGTERM)
    status = process.wait(timeout=30)
    errors = process.stderr.read().decode()
    process.stderr.close()
    time.sleep(0.5)
    left = [pid for pid in os.listdir("/proc") if pid.isdigit() and
            str(tool.temporary).encode() in read_quietly(f"/proc/{pid}/cmdline")]
    if status != 128 + signal.SIGTERM or "interrupted; nothing was written" not in errors \
            or (tool.work / "interrupted").exists() or left:
        failures.append(f"SIGTERM: exit {status}, {errors!r}, processes {left}")


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
        made = tool.make("first", export, "--roster-column", "Email")
        if made.returncode != 0:
            return report([f"the set was not made: {made.stderr}"])
        for note in ("ada@example.org is listed on lines 3, 5", "no id in column 'Email' on "
                     "line(s) 2; skipped", "read as Windows-1252"):
            if note not in made.stdout:
                failures.append(f"make did not say {note!r}: {made.stdout!r}")
        rows, programs = check_set(tool.work / "first", tool.work, tool.secret, failures)
        if programs:
            check_answers_stay(tool, rows, tool.work / "first", failures)
            check_grading(tool, tool.work / "first", rows, programs, failures)
        # The shortest secret there may be: 16 bytes, and a line end that does not count.
        other = tool.make("other.csv", export, "--roster-column", "Email", command="answers",
                          secret=tool.file("secret2", os.urandom(16).hex()[:16] + "\n"))
        if other.returncode != 0 or any(a[1:] == b[1:] for a, b in
                                        zip(rows_of(tool.work / "other.csv")[1:], rows[1:])):
            failures.append(f"another secret gave a learner the same values: {other.stderr}")
        elif stat.S_IMODE(os.stat(tool.work / "other.csv").st_mode) != 0o600:
            failures.append("`answers` wrote a file others can read")
        check_contract(failures)
        check_checks_fire(tool, programs, rows, failures)
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
