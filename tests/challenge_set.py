#!/usr/bin/env python3
"""Makes small challenge sets with tools/challenge-set (Linux only, for speed)
and checks them end to end: each learner's program says "Correct" to its own
row of answers.csv and "Try Again" to another's; an answer moves with none of
the roster's order, the other learners or the archive time, and one learner
made alone gets the same package; grading agrees with each learner's own
program; bad input, a hostile note and a signal leave nothing behind."""

import argparse
import csv
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

# A class export: a byte order mark, CRLF, quoted fields, e-mail ids, one
# student listed twice.
EXPORT = ('\ufeff"Student number",Email,"Name"\r\n'
          '1001,ada@example.org,"Lovelace, Ada"\r\n'
          '1002,Bo.b-2,"Bob"\r\n'
          '1001,ada@example.org,"Lovelace, Ada"\r\n'
          '1003,c_3+x@example.org,"Cy"\r\n')
LEARNERS = ["ada@example.org", "Bo.b-2", "c_3+x@example.org"]
SET = "course-1"


class Tool:
    def __init__(self, path, work):
        self.path, self.work = path, Path(work)
        self.secret = self.file("secret", os.urandom(32))

    def file(self, name, content, mode=0o600):
        path = self.work / name
        path.write_bytes(content if isinstance(content, bytes) else content.encode())
        path.chmod(mode)
        return path

    def run(self, *arguments, environment=None, timeout=900):
        return subprocess.run([self.path, *map(str, arguments)], capture_output=True, text=True,
                              timeout=timeout, check=False, env={**os.environ, **(environment or {})})

    def make(self, out, roster, *extra, command="make", secret=None, environment=None):
        return self.run(command, "--set", SET, "--secret-file", secret or self.secret,
                        "--roster", roster, "--out", self.work / out, "--platforms", "linux",
                        *extra, environment=environment)


def rows_of(path):
    with open(path, newline="", encoding="ascii") as rows:
        return list(csv.reader(rows))


def attempt(program, user_name, password):
    return subprocess.run([program], input=f"{user_name}\n{password}\n".encode(),
                          capture_output=True, timeout=30, check=False).stdout


def unpack(package, where):
    with tarfile.open(package) as archive:
        names = sorted(archive.getnames())
        archive.extractall(where)
    return names


def check_set(out, work, failures):
    """Each program against its own answers and another's; the handouts, the
    modes and the checksums a learner and the setter use."""
    rows = rows_of(out / "answers.csv")
    if rows[0] != ["learner", "user_name", "password"] or [r[0] for r in rows[1:]] != LEARNERS:
        return failures.append(f"answers.csv: {rows}")
    if stat.S_IMODE(os.stat(out / "answers.csv").st_mode) != 0o600:
        failures.append("answers.csv is readable by others")
    packages = sorted(path.name for path in (out / "packages").glob("*.tar.gz"))
    programs = []
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
        if members != [f"{name}/README.txt", f"{name}/login-challenge"]:
            failures.append(f"{name}.tar.gz holds {members}")
        handout = (alone / name / "README.txt").read_bytes()
        if learner.encode() not in handout or user_name.encode() in handout:
            failures.append(f"{learner}'s handout lacks its id or holds a value")
        program = alone / name / "login-challenge"
        if not attempt(program, user_name, password).endswith(b"Inside of functionCorrect\n"):
            failures.append(f"{learner}'s program refuses its own answers")
        _, other_user, other_password = rows[1:][(index + 1) % len(LEARNERS)]
        if b"Try Again" not in attempt(program, other_user, other_password):
            failures.append(f"{learner}'s program takes another learner's answers")
        programs.append(program.read_bytes())
    check_no_shortcut(programs, rows[1:], failures)
    return rows


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
    """Answers hang on the secret, the set and the id alone."""
    by_learner = {row[0]: row for row in rows[1:]}
    reversed_roster = tool.file("reversed", "\n".join(reversed(LEARNERS)) + "\n")
    made = tool.make("reversed.csv", reversed_roster, command="answers",
                     environment={"SOURCE_DATE_EPOCH": "86400"})
    if made.returncode != 0 or rows_of(tool.work / "reversed.csv")[1:] != \
            [by_learner[learner] for learner in reversed(LEARNERS)]:
        failures.append(f"the reversed roster, another time, moved answers: {made.stderr}")
    again = tool.make("again.csv", tool.work / "export.csv", "--roster-column", "Email",
                      command="answers")
    if again.returncode != 0 or (tool.work / "again.csv").read_bytes() != \
            (first / "answers.csv").read_bytes():
        failures.append(f"`answers` differs from `make`: {again.stderr}")
    # One learner made alone: a lost package re-issued.
    alone = tool.make("alone", tool.file("one", f"{LEARNERS[2]}\n"))
    package = f"login-challenge-{LEARNERS[2]}-linux.tar.gz"
    if alone.returncode != 0 or rows_of(tool.work / "alone" / "answers.csv")[1] != rows[3] or \
            (tool.work / "alone" / "packages" / package).read_bytes() != \
            (first / "packages" / package).read_bytes():
        failures.append(f"one learner made alone differs from the whole set: {alone.stderr}")


def check_grading(tool, first, rows, failures):
    """Each report row agrees with that learner's own program; a copied
    answer is named, padding is ignored, a missing learner is missing."""
    (ada, ada_user, ada_password), (bob, _, _), _ = rows[1:]
    submissions = tool.file("submissions.csv",
                            "\ufeffStudent,Name,Password\r\n"
                            f'{ada},"  {ada_user} ",{ada_password}\t\r\n'
                            f"{bob},{ada_user},{ada_password}\r\n"
                            f"stranger,{ada_user},{ada_password}\r\n")
    graded = tool.run("grade", "--answers", first / "answers.csv", "--submissions", submissions,
                      "--learner-column", "Student", "--user-name-column", "Name",
                      "--password-column", "Password")
    report_rows = list(csv.reader(graded.stdout.splitlines()))
    expected = [["learner", "result", "detail"],
                [ada, "solved", ""],
                [bob, "wrong", f"another learner's answer: the right answer of {ada}"],
                [LEARNERS[2], "missing", ""],
                ["stranger", "wrong", "not on the roster"]]
    if graded.returncode != 0 or report_rows != expected or \
            graded.stderr.strip() != "1 solved, 2 wrong, 1 missing, 1 another learner's answer":
        failures.append(f"grading: {report_rows}, {graded.stderr!r}")
    with tempfile.TemporaryDirectory() as unpacked:
        for learner, name, password, verdict in ((ada, f"  {ada_user} ", f"{ada_password}\t", True),
                                                 (bob, ada_user, ada_password, False)):
            package = first / "packages" / f"login-challenge-{learner}-linux.tar.gz"
            unpack(package, unpacked)
            program = Path(unpacked) / f"login-challenge-{learner}-linux" / "login-challenge"
            said = attempt(program, name, password).endswith(b"Correct\n")
            if said != verdict:
                failures.append(f"{learner}'s own program says {said}, the grade {verdict}")
    missing = tool.run("grade", "--answers", first / "answers.csv", "--submissions", submissions)
    if missing.returncode == 0 or "Student, Name, Password" not in missing.stderr.replace("'", ""):
        failures.append(f"a missing column was not named with the columns there are: {missing.stderr!r}")


def check_refusals(tool, failures):
    """Bad input is refused before anything is built, and all of it at once."""
    roster = tool.file("bad-roster", "ada\n-bob\n" + "x" * 100000 + "\nADA\n")
    cases = {
        "three bad lines": (roster, tool.secret, ["bad-roster:2:", "bad-roster:3:", "bad-roster:4:"]),
        "short secret": (tool.file("ok", "ada\n"), tool.file("short", "0123456789abcde\n"),
                         ["short:1:", "not counting a final line end"]),
        "/dev/urandom": (tool.work / "ok", Path("/dev/urandom"), ["chmod 600 /dev/urandom"]),
    }
    for name, (roster_file, secret, wanted) in cases.items():
        result = tool.make(name.replace("/", "-"), roster_file, secret=secret)
        if result.returncode != 1 or not all(w in result.stderr for w in wanted) or \
                len(result.stderr) > 2000 or (tool.work / name.replace("/", "-")).exists():
            failures.append(f"{name}: exit {result.returncode}, {result.stderr[:300]!r}")
    # A note that holds every possible user name: the draws must end.
    note = tool.file("note", de_bruijn("abcdefghijklmnopqrstuvwxyz0123456789"))
    result = tool.make("full-note", tool.work / "ok", "--note", note)
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
    private = tool.work / "private-tmp"
    private.mkdir()
    roster = tool.file("many", "".join(f"learner-{n:02}\n" for n in range(12)))
    process = subprocess.Popen(  # pylint: disable=consider-using-with
        [tool.path, "make", "--set", SET, "--secret-file", tool.secret, "--roster", roster,
         "--out", private / "set", "--platforms", "linux"], stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE, env={**os.environ, "TMPDIR": str(private)})
    deadline = time.monotonic() + 60
    while not list(private.glob("challenge-set-*/build-linux/build.ninja")):
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
            str(private).encode() in read_quietly(f"/proc/{pid}/cmdline")]
    if status != 128 + signal.SIGTERM or "interrupted; nothing was written" not in errors \
            or list(private.iterdir()) or left:
        failures.append(f"SIGTERM: exit {status}, {errors!r}, left {list(private.iterdir())}, "
                        f"processes {left}")


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
        if "ada@example.org is listed on lines 2, 4" not in made.stdout:
            failures.append(f"the learner listed twice was not named: {made.stdout!r}")
        rows = check_set(tool.work / "first", tool.work, failures)
        if rows:
            check_answers_stay(tool, rows, tool.work / "first", failures)
            check_grading(tool, tool.work / "first", rows, failures)
        other = tool.make("other.csv", export, "--roster-column", "Email", command="answers",
                          secret=tool.file("secret2", os.urandom(32)))
        if other.returncode != 0 or any(a[1:] == b[1:] for a, b in
                                        zip(rows_of(tool.work / "other.csv")[1:], rows[1:])):
            failures.append(f"another secret gave a learner the same values: {other.stderr}")
        check_refusals(tool, failures)
        check_signal(tool, failures)
    if not failures:
        print("sets made, re-made, graded and checked; bad input and a signal left nothing")
    return report(failures)


if __name__ == "__main__":
    sys.exit(main())
