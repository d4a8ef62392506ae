#!/usr/bin/env python3
"""Makes small challenge sets with tools/make-challenge-set (Linux only, for
speed) and checks them end to end: each learner's program says "Correct" to
its own row of answers.csv and "Try Again" to another's; values differ between
learners and between secrets and repeat for the same inputs; a value that
would stand in a handout is derived again; bad input is refused, naming the
file and line, and leaves the output folder as it was."""

import argparse
import csv
import hashlib
import importlib.machinery
import importlib.util
import os
import stat
import subprocess
import sys
import tarfile
import tempfile
from pathlib import Path

from support import report

ROSTER = "\ufeff# a comment, then a blank line\r\n\r\nada\r\nBo.b-2\r\nc_3\r\n"


def load_tool(path):
    """The tool as a module, for its derivation."""
    loader = importlib.machinery.SourceFileLoader("make_challenge_set", path)
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
    loader.exec_module(module)
    return module


def make_set(tool, work, name, secret, roster=ROSTER, extra=()):
    files = Path(work) / f"{name}-inputs"
    files.mkdir(exist_ok=True)
    (files / "secret").write_bytes(secret)
    (files / "roster").write_text(roster, encoding="utf-8", newline="")
    out = Path(work) / name
    result = subprocess.run([tool, "--set", "course-1", "--secret-file", files / "secret",
                             "--roster", files / "roster", "--out", out, "--platforms", "linux",
                             *extra], capture_output=True, text=True, timeout=900, check=False)
    return result, out


def answers(out):
    with open(out / "answers.csv", newline="", encoding="ascii") as rows:
        return list(csv.reader(rows))


def attempt(program, user_name, password):
    return subprocess.run([program], input=f"{user_name}\n{password}\n".encode(),
                          capture_output=True, timeout=30, check=False).stdout


def check_set(out, failures):
    rows = answers(out)
    if rows[0] != ["learner", "user_name", "password"] or [r[0] for r in rows[1:]] != ["ada", "Bo.b-2", "c_3"]:
        failures.append(f"answers.csv: {rows}")
        return
    if stat.S_IMODE(os.stat(out / "answers.csv").st_mode) != 0o600:
        failures.append("answers.csv is readable by others")
    with tempfile.TemporaryDirectory() as unpacked:
        for index, (learner, user_name, password) in enumerate(rows[1:]):
            package = out / "packages" / f"login-challenge-{learner}-linux.tar.gz"
            with tarfile.open(package) as archive:
                if sorted(archive.getnames()) != ["README.txt", "login-challenge"]:
                    failures.append(f"{package.name} holds {archive.getnames()}")
                archive.extractall(Path(unpacked) / learner)
            program = Path(unpacked) / learner / "login-challenge"
            handout = (Path(unpacked) / learner / "README.txt").read_bytes()
            if learner.encode() not in handout or user_name.encode() in handout or password.encode() in handout:
                failures.append(f"{learner}'s handout lacks its id or holds a value")
            if not attempt(program, user_name, password).endswith(b"Inside of functionCorrect\n"):
                failures.append(f"{learner}'s program refuses its own answers")
            _, other_user, other_password = rows[1:][(index + 1) % 3]
            if b"Try Again" not in attempt(program, other_user, other_password):
                failures.append(f"{learner}'s program takes another learner's answers")
    sums = dict(line.split("  ")[::-1] for line in (out / "SHA256SUMS").read_text().splitlines())
    for path, digest in sums.items():
        if hashlib.sha256((out / path).read_bytes()).hexdigest() != digest:
            failures.append(f"SHA256SUMS is wrong for {path}")


def check_bad_inputs(tool, work, failures):
    secret = os.urandom(32)
    cases = {
        "duplicate": ("ada\nbob\nADA\n", secret, "roster:3"),
        "bad id": ("ada\n-bob\n", secret, "roster:2"),
        "too long": ("a" * 65 + "\n", secret, "roster:1"),
        "empty": ("# nobody\n\n", secret, "roster"),
        "short secret": ("ada\n", b"0123456789abcde\n", "secret:1"),
    }
    for name, (roster, case_secret, where) in cases.items():
        result, out = make_set(tool, work, name.replace(" ", "-"), case_secret, roster)
        if result.returncode == 0 or f"{where}:" not in result.stderr or out.exists():
            failures.append(f"{name}: exit {result.returncode}, {result.stderr.strip()!r}, "
                            f"output folder {'made' if out.exists() else 'not made'}")
    taken = Path(work) / "taken"
    taken.mkdir()
    (taken / "keep").write_text("mine")
    result, _ = make_set(tool, work, "taken", secret)
    if result.returncode == 0 or sorted(os.listdir(taken)) != ["keep"]:
        failures.append(f"an existing non-empty folder was not refused or was changed: {result.stderr!r}")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--tool", required=True)
    tool = parser.parse_args().tool
    failures = []
    secret = os.urandom(32)
    with tempfile.TemporaryDirectory() as work:
        # A note that holds what Bo.b-2 would get first: the tool must derive again.
        first = load_tool(tool).derive(secret, "course-1", "Bo.b-2", 0)
        note = Path(work) / "note.txt"
        note.write_text(f"Look for {first['user_name']} in your notes.\n")
        made, out = make_set(tool, work, "first", secret, extra=["--note", note])
        if made.returncode != 0:
            return report([f"the set was not made: {made.stderr}"])
        check_set(out, failures)
        rows = answers(out)
        if "Bo.b-2: derived again" not in made.stdout or rows[2][1] == first["user_name"]:
            failures.append(f"a value in the handout was not derived again: {made.stdout!r}")
        if len({(row[1], row[2]) for row in rows[1:]}) != 3:
            failures.append(f"learners share values: {rows}")

        again, out_again = make_set(tool, work, "again", secret, extra=["--note", note])
        if again.returncode != 0 or answers(out_again) != rows:
            failures.append("the same inputs gave other answers")
        other, out_other = make_set(tool, work, "other", os.urandom(32))
        if other.returncode != 0 or any(a[1:] == b[1:] for a, b in zip(answers(out_other)[1:], rows[1:])):
            failures.append("another secret gave a learner the same values")
        check_bad_inputs(tool, work, failures)
    if not failures:
        print("three sets made and checked; bad inputs refused")
    return report(failures)


if __name__ == "__main__":
    sys.exit(main())
