#!/usr/bin/env python3
"""Every command of tools/challenge-set against its own files, on a set
written by hand (no build): an output aliased to an input, however it is
named, is refused in one line and no input's bytes change; hand-edited
lists and options that mean nothing are refused naming the line or the
option; a signal at any moment leaves all of a run's outputs or none."""

import argparse
import hashlib
import io
import os
import random
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time
import zipfile
from pathlib import Path

import openpyxl  # python3-openpyxl
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from support import report
# pylint: disable=wrong-import-order
from challenge_set import gradebook, inputs, lms, server  # noqa: E402

LEARNERS = [("ada@example.org", "abc", "de1fg", "QWERTYUPAS"),
            ("bob", "hij", "kl2mn", "ZXCVBNMLKJ"),
            ("cy", "opq", "rs3tu", "HGFDSAPLMN")]
TOOL = None


def package(code):
    return f"login-challenge-{code}-linux.tar.gz"


def write_set(work):
    """A set as `make` leaves it, with a course server's record, and the
    exports a setter hands to the other commands."""
    folder = work / "set"
    (folder / "packages").mkdir(parents=True)
    answers = "learner,user_name,password,code\n" + "".join(
        f"{learner},{user},{password},{code}\n" for learner, user, password, code in LEARNERS)
    handout = "learner,code,linux_package,linux_sha256\n"
    for learner, _, _, code in LEARNERS:
        content = os.urandom(600_000)  # a package: two of them exceed a 1 MB zip
        digest = hashlib.sha256(content).hexdigest()
        (folder / "packages" / package(code)).write_bytes(content)
        (folder / "packages" / f"{package(code)}.sha256").write_text(f"{digest}  {package(code)}\n")
        handout += f"{learner},{code},{package(code)},{digest}\n"
    (folder / "answers.csv").write_text(answers)
    (folder / "handout.csv").write_text(handout)
    (folder / "set.json").write_text('{"set": "files-1"}\n')
    store = server.Store(folder / server.DATABASE)
    store.submit("bob", "hij", "kl2mn", "Correct")
    store.submit("ada@example.org", "x\rcy", "opq rs3tu", "Try Again")  # a row planted?
    store.close()
    (work / "submissions.csv").write_text("learner,user_name,password\nada@example.org,abc,de1fg\n"
                                          "bob,x,y\n")
    (work / "gradebook.csv").write_text("Name,Username,Exercise\nAda,ada@example.org,\nBob,bob,"
                                        "\nCy,cy,\n")
    (work / "ids.csv").write_text("Username,Email\nbob,bob@example.org\n")
    (work / "worksheet.csv").write_text(
        "Identifier,Full name,Email address,Status\nParticipant 11,Ada,ada@example.org,-\n"
        "Participant 12,Bob,bob,-\nParticipant 13,Cy,cy,-\n")
    (work / "secret").write_bytes(os.urandom(32))
    (work / "secret").chmod(0o600)
    (work / "roster").write_text("ada@example.org\nbob\n")
    stand_in = work / "stand-in"
    stand_in.mkdir()
    (stand_in / "cmake").write_text("#!/bin/sh\nexit 1\n")  # nothing is ever built here
    (stand_in / "cmake").chmod(0o755)
    return folder


def run(work, *arguments, environment=None, **options):
    env = {**os.environ, "TMPDIR": str(work / "tmp"), "SOURCE_DATE_EPOCH": "1700000000",
           "PATH": f"{work / 'stand-in'}:{os.environ['PATH']}", **(environment or {})}
    (work / "tmp").mkdir(exist_ok=True)
    return subprocess.run([TOOL, *map(str, arguments)], capture_output=True, text=True,
                          timeout=120, check=False, env=env, stdin=subprocess.DEVNULL, **options)


# Each command with every input it reads: {name: (arguments, {input: option})},
# where OUT stands for the output drawn.
GRADE = ["grade", "--answers", "{set}/answers.csv", "--submissions", "{submissions}"]
GRADEBOOK = ["--gradebook", "{gradebook}", "--gradebook-id-column", "Username",
             "--gradebook-column", "Exercise"]
COMMANDS = {
    "grade": (GRADE + ["--out", "OUT"], ["{set}/answers.csv", "{submissions}"]),
    "grade --gradebook": (GRADE + GRADEBOOK + ["--points", "2", "--out", "OUT"],
                          ["{set}/answers.csv", "{submissions}", "{gradebook}"]),
    "grade --report": (GRADE + GRADEBOOK + ["--points", "2", "--out", "{work}/filled.csv",
                                            "--report", "OUT"],
                       ["{set}/answers.csv", "{submissions}", "{gradebook}"]),
    "grade --ids": (GRADE + ["--ids", "{ids}", "--ids-column", "Username", "--out", "OUT"],
                    ["{set}/answers.csv", "{submissions}", "{ids}"]),
    "handout-list": (["handout-list", "--answers", "{set}/answers.csv", "--packages",
                      "{set}/packages", "--out", "OUT"], ["{set}/answers.csv", "{set}/packages"]),
    "handout --gradebook": (["handout", "--handout", "{set}/handout.csv"] + GRADEBOOK +
                            ["--out", "OUT"], ["{set}/handout.csv", "{gradebook}"]),
    "handout --moodle-worksheet": (["handout", "--handout", "{set}/handout.csv",
                                    "--moodle-worksheet", "{worksheet}", "--worksheet-id-column",
                                    "Email address", "--out", "OUT"],
                                   ["{set}/handout.csv", "{worksheet}", "{set}/packages"]),
    "submissions": (["submissions", "--set-dir", "{set}", "--out", "OUT"],
                    ["{set}/submissions.sqlite", "{set}/answers.csv", "{set}/handout.csv",
                     "{set}/packages"]),
    "submissions --db": (["submissions", "--set-dir", "{set}", "--db",
                          "{set}/submissions.sqlite", "--out", "OUT"],
                         ["{set}/submissions.sqlite", "{set}/set.json"]),
    "nginx-site": (["nginx-site", "--set-dir", "{set}", "--server-name", "a.org", "--certificate",
                    "{secret}", "--certificate-key", "{roster}", "--out", "OUT"],
                   ["{secret}", "{roster}", "{set}/submissions.sqlite", "{set}/answers.csv"]),
    "answers": (["answers", "--set", "files-1", "--secret-file", "{secret}", "--roster",
                 "{roster}", "--platforms", "linux", "--out", "OUT"], ["{secret}", "{roster}"]),
}
FILES = {"submissions": "submissions.csv", "gradebook": "gradebook.csv", "ids": "ids.csv",
         "worksheet": "worksheet.csv", "secret": "secret", "roster": "roster"}
ALIASES = ["the same path", "the path through ./ and ../", "a hard link", "a symbolic link",
           "a file inside it", "the report's name beside --out"]


def snapshot(work):
    return {path: path.read_bytes() for path in work.rglob("*")
            if path.is_file() and not path.is_symlink() and "tmp" not in path.parts}


def aliased(work, target, alias):
    """An output path that names `target` (an input) the way `alias` says,
    and the --out to give instead when the alias is a derived name."""
    if target.is_dir() or alias == "a file inside it":
        folder = target if target.is_dir() else target.parent
        return folder / ("x.csv" if target.is_dir() else target.name), None
    if alias == "the path through ./ and ../":
        return target.parent / "." / ".." / target.parent.name / target.name, None
    if alias == "a hard link":
        os.link(target, work / "linked.csv")
        return work / "linked.csv", None
    if alias == "a symbolic link":
        os.symlink(target, work / "linked.csv")
        return work / "linked.csv", None
    if alias == "the report's name beside --out":
        report = target.with_name(f"{target.stem}-report.csv")
        target.rename(report)
        return target, (target, report)
    return target, None


@settings(max_examples=60, deadline=None, derandomize=True, database=None,
          suppress_health_check=list(HealthCheck))
@given(command=st.sampled_from(sorted(COMMANDS)), alias=st.sampled_from(ALIASES),
       which=st.integers(0, 3))
def outputs_never_touch_inputs(command, alias, which):
    with tempfile.TemporaryDirectory() as name:
        work = Path(name)
        folder = write_set(work)
        template, inputs = COMMANDS[command]
        fill = {"{set}": str(folder), "{work}": str(work)}
        fill.update({f"{{{key}}}": str(work / name) for key, name in FILES.items()})

        def filled(text):
            for key, value in fill.items():
                text = text.replace(key, value)
            return text
        target = Path(filled(inputs[which % len(inputs)]))
        if alias == "the report's name beside --out":
            if command != "grade --gradebook":
                return
            target = work / "submissions.csv"
        out, renamed = aliased(work, target, alias)
        arguments = [filled(word) for word in template]
        if renamed:  # the input now stands under the report's name
            arguments = [str(renamed[1]) if word == str(renamed[0]) else word
                         for word in arguments]
        arguments[arguments.index("OUT")] = str(out)
        before = snapshot(work)
        result = run(work, *arguments)
        after = snapshot(work)
        changed = [str(path) for path in before if after.get(path) != before[path]]
        lines = result.stderr.strip().splitlines()
        assert not changed and result.returncode == 1 and len(lines) == 1 and \
            "Traceback" not in result.stderr, \
            f"{command}, --out {alias} of {target.name}: exit {result.returncode}, " \
            f"changed {changed}, {result.stderr[-400:]!r}"


def workbook(rows, padding=0):
    """An .xlsx whose first sheet has `rows` empty rows, and `padding`
    blanks in its sheet: a small file that unzips to a great deal."""
    sheet = ('<?xml version="1.0" encoding="UTF-8"?><worksheet xmlns="http://schemas.'
             'openxmlformats.org/spreadsheetml/2006/main"><dimension ref="A1"/><sheetData>'
             '<row r="1"><c r="A1" t="inlineStr"><is><t>learner</t></is></c></row>' +
             "".join(f'<row r="{n}"><c r="A{n}"><v>{n}</v></c></row>' for n in range(2, rows + 2))
             + " " * padding + "</sheetData></worksheet>")
    parts = {
        "[Content_Types].xml": '<?xml version="1.0"?><Types xmlns="http://schemas.openxmlformats.'
        'org/package/2006/content-types"><Default Extension="rels" ContentType="application/'
        'vnd.openxmlformats-package.relationships+xml"/><Override PartName="/xl/workbook.xml" '
        'ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+'
        'xml"/><Override PartName="/xl/worksheets/sheet1.xml" ContentType="application/vnd.'
        'openxmlformats-officedocument.spreadsheetml.worksheet+xml"/></Types>',
        "_rels/.rels": '<?xml version="1.0"?><Relationships xmlns="http://schemas.openxmlformats.'
        'org/package/2006/relationships"><Relationship Id="r1" Type="http://schemas.openxml'
        'formats.org/officeDocument/2006/relationships/officeDocument" Target="xl/workbook.xml"'
        '/></Relationships>',
        "xl/workbook.xml": '<?xml version="1.0"?><workbook xmlns="http://schemas.openxmlformats.'
        'org/spreadsheetml/2006/main" xmlns:r="http://schemas.openxmlformats.org/officeDocument/'
        '2006/relationships"><sheets><sheet name="S" sheetId="1" r:id="r1"/></sheets></workbook>',
        "xl/_rels/workbook.xml.rels": '<?xml version="1.0"?><Relationships xmlns="http://schemas.'
        'openxmlformats.org/package/2006/relationships"><Relationship Id="r1" Type="http://'
        'schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet" Target="'
        'worksheets/sheet1.xml"/></Relationships>',
        "xl/worksheets/sheet1.xml": sheet,
    }
    content = io.BytesIO()
    with zipfile.ZipFile(content, "w", zipfile.ZIP_DEFLATED) as archive:
        for part, text in parts.items():
            archive.writestr(part, text)
    return content.getvalue()


def check_refusals(work, folder, failures):
    """Hand-edited lists, damaged files and options that mean nothing: each
    refused in one line naming the line or the option, nothing written."""
    handout = (folder / "handout.csv").read_text().splitlines()
    first_row = handout[1]
    ada_package = package(LEARNERS[0][3])
    lacking = work / "lacking"
    shutil.copytree(folder, lacking)
    (lacking / "packages" / ada_package).unlink()

    def edited(name, lines):
        (work / name).write_text("\n".join(lines) + "\n")
        return work / name
    worksheet = (work / "worksheet.csv").read_text().splitlines()
    sqlite3.connect(work / "foreign.sqlite").execute("CREATE TABLE notes (text)").connection \
        .close()
    (work / "empty.sqlite").write_bytes(b"")
    (work / "damaged.sqlite").write_bytes((folder / server.DATABASE).read_bytes()[:100] +
                                          os.urandom(4000))
    (work / "rows.xlsx").write_bytes(workbook(200_001))
    (work / "unzips.xlsx").write_bytes(workbook(1, padding=65 * 1024 * 1024))
    formula = openpyxl.Workbook()
    for row in [["learner", "user_name", "password"], ["bob", "=LOWER(\"HIJ\")", "kl2mn"]]:
        formula.active.append(row)
    formula.save(work / "formula.xlsx")
    moodle = ["--moodle-worksheet", work / "worksheet.csv", "--worksheet-id-column",
              "Email address"]
    gradebook = ["--gradebook", work / "gradebook.csv", "--gradebook-id-column", "Username",
                 "--gradebook-column", "Exercise"]
    grade = ["grade", "--answers", folder / "answers.csv", "--submissions",
             work / "submissions.csv"]
    serve = ["serve", "--set-dir", folder, "--listen", "127.0.0.1:18631", "--stop-after", "3"]
    cases = [  # name, arguments (OUT: the output), what the one line holds
        ("a learner listed twice", ["handout", "--handout", edited("twice.csv", handout + [
            first_row.replace(LEARNERS[0][3], "AAAAAAAAAA")])] + moodle, "twice.csv:5:"),
        ("an empty code", ["handout", "--handout", edited("empty-code.csv", [
            handout[0], first_row.replace(LEARNERS[0][3] + ",", ",", 1)])] + gradebook,
         "empty-code.csv:2:"),
        ("two learners sharing a code", ["handout", "--handout", edited("shared.csv", [
            handout[0], first_row, handout[2].replace(LEARNERS[1][3], LEARNERS[0][3])])]
         + gradebook, "shared.csv:3:"),
        ("a package out of its folder", ["handout", "--handout", edited("climbs.csv", [
            handout[0], first_row.replace(ada_package, "../../../etc/passwd")])] + moodle,
         "climbs.csv:2:"),
        ("an absolute package path", ["handout", "--handout", edited("absolute.csv", [
            handout[0], first_row.replace(ada_package, "/etc/passwd")])] + moodle,
         "absolute.csv:2:"),
        ("two learners sharing a code in answers.csv", [
            "handout-list", "--answers", edited("answers.csv", [
                "learner,user_name,password,code", "ada,abc,de1fg,QWERTYUPAS",
                "bob,hij,kl2mn,QWERTYUPAS"]), "--packages", folder / "packages"],
         "answers.csv:3:"),
        ("one participant number twice", ["handout", "--handout", folder / "handout.csv",
                                          "--moodle-worksheet", edited("numbers.csv", worksheet[:3]
                                          + [worksheet[3].replace("13", "12")]),
                                          "--worksheet-id-column", "Email address"],
         "numbers.csv:4:"),
        ("one learner on two rows", ["handout", "--handout", folder / "handout.csv",
                                     "--moodle-worksheet", edited("rows.csv", worksheet + [
                                         "Participant 14,Ada again,ada@example.org,-"]),
                                     "--worksheet-id-column", "Email address"], "rows.csv:5:"),
        ("an Identifier that is no participant", [
            "handout", "--handout", folder / "handout.csv", "--moodle-worksheet",
            edited("user.csv", worksheet[:2] + [worksheet[2].replace("Participant", "User")]),
            "--worksheet-id-column", "Email address"], "user.csv:3:"),
        ("--report without --gradebook", grade + ["--report", work / "r.csv"], "--report"),
        ("--missing-as-zero without --gradebook", grade + ["--missing-as-zero"],
         "--missing-as-zero"),
        ("--ids without --ids-column", grade + ["--ids", work / "ids.csv"], "--ids-column"),
        ("--max-size below 1", ["handout", "--handout", folder / "handout.csv", "--max-size",
                                "-1"] + moodle, "--max-size"),
        ("--link-base with no host", ["handout", "--handout", folder / "handout.csv",
                                      "--link-base", "https://"] + gradebook, "--link-base"),
        ("--link-base with a blank", ["handout", "--handout", folder / "handout.csv",
                                      "--link-base", "https://a.org/x y/"] + gradebook,
         "--link-base"),
        ("--link-base with a links.csv", ["handout", "--handout", edited("links.csv", [
            "learner,link", "ada@example.org,https://a.org/l/1"]), "--link-base",
            "https://a.org/"] + gradebook, "no package"),
        ("--link-base with a Moodle worksheet", ["handout", "--handout", folder / "handout.csv",
                                                 "--link-base", "https://a.org/"] + moodle,
         "--link-base"),
        ("a gradebook with none of the set's learners", ["handout", "--handout",
                                                          folder / "handout.csv", "--gradebook",
                                                          work / "ids.csv",
                                                          "--gradebook-id-column", "Email",
                                                          "--gradebook-column", "Username"],
         "no learner of the set"),
        ("a gradebook that states no maximum", grade + gradebook, "--points"),
        ("a stated maximum of 0", grade + ["--gradebook", edited("zero.csv", [
            "Username,Exercise [Total Pts: 0 Score]", "bob,"]), "--gradebook-id-column",
            "Username", "--gradebook-column", "Exercise [Total Pts: 0 Score]"], "give --points"),
        ("dates whose order decides", grade[:-1] + [edited("dates.csv", [
            "learner,user_name,password,Timestamp", "ada@example.org,abc,de1fg,04/03/2027 10:00",
            "ada@example.org,abc,x,03/04/2027 09:00"])], "--date-order"),
        ("times with and without a zone", grade[:-1] + [edited("mixed.csv", [
            "learner,user_name,password,Timestamp", "bob,a,b,2027-03-01 10:00+01:00",
            "bob,c,d,2027-03-01 11:00"])], "line 2"),
        ("a zone that names several", grade[:-1] + [edited("ist.csv", [
            "learner,user_name,password,Timestamp", "bob,a,b,2027-03-01 10:00 IST"])],
         "ist.csv:2:"),
        ("a formula whose value was never saved", ["grade", "--answers", folder / "answers.csv",
                                                   "--submissions", work / "formula.xlsx"], "B2"),
        ("a join that two columns make equally", grade[:-1] + [edited("by-number.csv", [
            "learner,user_name,password", "7,hij,kl2mn"]), "--ids", edited("two-ids.csv", [
                "Username,Canvas ID,SIS User ID", "bob,7,9", "cy,9,7"]), "--ids-column",
            "Username"], "--join-column"),
        ("a code that is a formula", ["handout", "--handout", edited("formula-code.csv", [
            handout[0], first_row.replace(LEARNERS[0][3], '=HYPERLINK("http://x")')])] +
         gradebook, "formula-code.csv:2:"),
        ("a link that runs script", ["handout", "--handout", edited("script.csv", [
            "learner,link", "ada@example.org,javascript:alert(1)"])] + gradebook,
         "script.csv:2:"),
        ("a learner on two gradebook rows", ["handout", "--handout", folder / "handout.csv",
                                             "--gradebook", edited("twice-gb.csv", [
                                                 "Username,Exercise", "ada@example.org,",
                                                 "ADA@example.org,"]),
                                             "--gradebook-id-column", "Username",
                                             "--gradebook-column", "Exercise"], "twice-gb.csv:3:"),
        ("--link-base with no port there can be", ["handout", "--handout", folder / "handout.csv",
                                                   "--link-base", "https://a.org:99999/"]
         + gradebook, "--link-base"),
        ("--base-url with a blank", serve + ["--base-url", "http://a.org/ x"], "--base-url"),
        ("--threads 0", serve + ["--threads", "0"], "--threads"),
        ("an empty file as the server's database", serve + ["--db", work / "empty.sqlite"],
         "empty file"),
        ("a package gone from the set", ["serve", "--set-dir", lacking, "--listen",
                                         "127.0.0.1:18632", "--stop-after", "3"], "lacks 1"),
        ("nginx syntax in --upstream", ["nginx-site", "--set-dir", folder, "--server-name", "a.org",
                                        "--certificate", work / "secret", "--certificate-key",
                                        work / "secret", "--upstream", "a;}server{x:80"],
         "--upstream"),
        ("a damaged database", ["submissions", "--set-dir", folder, "--db",
                                work / "damaged.sqlite"], "damaged.sqlite"),
        ("another program's database", ["submissions", "--set-dir", folder, "--db",
                                        work / "foreign.sqlite"], "foreign.sqlite"),
        ("an empty file as the database", ["submissions", "--set-dir", folder, "--db",
                                           work / "empty.sqlite"], "empty.sqlite"),
        ("a workbook of too many rows", ["grade", "--answers", folder / "answers.csv",
                                         "--submissions", work / "rows.xlsx"], "200000 rows"),
        ("a workbook that unzips to too much", ["grade", "--answers", folder / "answers.csv",
                                                "--submissions", work / "unzips.xlsx"], "MiB"),
    ]
    for name, arguments, wanted in cases:
        before = snapshot(work)
        out = work / "refused-out"
        result = run(work, *arguments, *([] if arguments[0] == "serve" else ["--out", out]))
        lines = result.stderr.strip().splitlines()
        if result.returncode != 1 or len(lines) != 1 or wanted not in result.stderr or \
                out.exists() or snapshot(work) != before:
            failures.append(f"{name}: exit {result.returncode}, {result.stderr[-300:]!r}, "
                            f"written: {out.exists()}")
    # An input named through a symbolic link and '..' is still that input.
    os.symlink(folder / "packages", work / "link")
    before = (folder / "answers.csv").read_bytes()
    result = run(work, "grade", "--answers", work / "link" / ".." / "answers.csv",
                 "--submissions", work / "submissions.csv", "--out", folder / "answers.csv")
    if result.returncode != 1 or (folder / "answers.csv").read_bytes() != before:
        failures.append(f"an output over an input named through a link: {result.stderr!r}")
    # A --link-base without its final '/' gets one.
    result = run(work, "handout", "--handout", folder / "handout.csv", "--link-base",
                 "https://a.org/set", *gradebook, "--out", work / "links-filled.csv")
    if result.returncode != 0 or f"https://a.org/set/{ada_package}" not in \
            (work / "links-filled.csv").read_text():
        failures.append(f"--link-base without '/': {result.stderr!r}")


def check_written(work, folder, failures):
    """What runs write: an 8-bit gradebook with '€' and '’' back byte for byte
    but for the filled cells, a short row's included, a preview account in
    capitals no learner; outputs the setter's alone whatever the umask;
    zips split at --max-size, each learner's files together, and a folder's
    name within 255 bytes however long the learner's name."""
    column = "Exercise <Numeric MaxPoints:1,000>"
    lines = [f"Name;Username;{column}", "Zoë €;ada@example.org;", "O’Brien;bob;7", "Cy;cy"]
    gradebook = work / "8bit.csv"
    gradebook.write_bytes(("\r\n".join(lines) + "\r\n").encode("cp1252"))
    (work / "sent.csv").write_text("learner,user_name,password\nada@example.org,abc,de1fg\n"
                                   "cy,x,y\nX_PREVIEWUSER,abc,de1fg\n")
    out = work / "8bit-filled.csv"
    result = run(work, "grade", "--answers", folder / "answers.csv", "--submissions",
                 work / "sent.csv", "--gradebook", gradebook, "--gradebook-id-column", "Username",
                 "--gradebook-column", column, "--out", out, umask=0)
    lines[1:] = ["Zoë €;ada@example.org;1000", "O’Brien;bob;7", "Cy;cy;0"]
    report_path = work / "8bit-filled-report.csv"
    modes = {path.name: oct(path.stat().st_mode & 0o777) for path in (out, report_path)
             if path.exists()}
    if result.returncode != 0 or out.read_bytes() != ("\r\n".join(lines) + "\r\n").encode(
            "cp1252") or "PREVIEWUSER" in report_path.read_text() or \
            set(modes.values()) != {"0o600"}:
        failures.append(f"an 8-bit gradebook: {result.stderr!r}, modes {modes}")
    exported = work / "exported.csv"
    result = run(work, "submissions", "--set-dir", folder, "--out", exported)
    if list(folder.glob("submissions.sqlite-*")):
        failures.append(f"`submissions` wrote beside the database: {list(folder.glob('*-*'))}")
    graded = run(work, "grade", "--answers", folder / "answers.csv", "--submissions", exported)
    if result.returncode != 0 or "cy,missing" not in graded.stdout or \
            "bob,solved" not in graded.stdout:
        failures.append(f"the server's record through `submissions`: {graded.stdout!r}")
    worksheet = work / "long-names.csv"
    worksheet.write_text("Identifier,Full name,Email address\n" + "".join(
        f"Participant {number},{'é' * 300},{learner}\n"
        for number, (learner, *_) in enumerate(LEARNERS, start=1)))
    result = run(work, "handout", "--handout", folder / "handout.csv", "--moodle-worksheet",
                 worksheet, "--worksheet-id-column", "Email address", "--max-size", "1",
                 "--out", work / "split.zip")
    zips = sorted(work.glob("split-*.zip"))
    folders = []
    for path in zips:
        with zipfile.ZipFile(path) as archive:
            names = archive.namelist()
        folders.append({name.split("/")[0] for name in names})
        if len(names) != 2 or path.stat().st_size > 1024 * 1024 or \
                max(len(part.encode()) for name in names for part in name.split("/")) > 255:
            failures.append(f"{path.name} holds {names}")
    if result.returncode != 0 or len(zips) != 3 or any(len(names) != 1 for names in folders):
        failures.append(f"zips split at --max-size: {result.stderr!r}, {folders}")


def check_ids(work, folder, failures):
    """Ids as LMSs write them: Brightspace's '#' in a plain roster, a role
    column that lists teachers, an apostrophe; a gradebook id that lost its
    leading zeros; a learner named "Test Student"; a join by a named column."""
    def read(name, text, column=None):
        (work / name).write_text(text)
        return inputs.read_roster(work / name, column)[0]
    table = [
        (read("marked", "#ada\n# week 1\nbob\n"), ["ada", "bob"]),
        (read("roles.csv", "Email address,Roles\nada@x.org,Student\nt@x.org,Teacher\n"
              "bob@x.org,\"Student, Tutor\"\n", "Email address"), ["ada@x.org", "bob@x.org"]),
        (read("apostrophe", "conor.o'neill@x.org\n"), ["conor.o'neill@x.org"]),
    ]
    for name, text, system, expected in [
            ("participants.csv", "First name,Last name,Email address,Roles\nA,L,a@x.org,Student\n",
             None, "Email address"),
            ("plain", "a@x.org\nb@x.org\n", None, None),
            ("canvas.csv", "Student,ID,SIS User ID,SIS Login ID\nA,1,2,a\n", None, "SIS Login ID"),
            ("brightspace.csv", "Username,Name\nada,A\n", "brightspace", "Username")]:
        (work / name).write_text(text)
        found = argparse.Namespace(roster=work / name, roster_column=None, lms=system)
        lms.fill_id_columns(found, lambda *_, **__: None)
        table.append((found.roster_column, expected))
    (work / "zeros.csv").write_text("SIS User ID,Exercise\n412001,\n412002,5\n")
    filled = gradebook.filled_copy(work / "zeros.csv", "SIS User ID", "Exercise",
                                   {"00412001": "1", "00412002": None})[0]
    table.append((filled, b"SIS User ID,Exercise\n412001,1\n412002,5\n"))
    for got, expected in table:
        if got != expected:
            failures.append(f"ids: {got!r}, not {expected!r}")
    named = work / "named.csv"
    named.write_text("learner,Name,user_name,password\nbob,Test Student,hij,kl2mn\n"
                     "7,Cy,opq,rs3tu\n")
    (work / "two-ids.csv").write_text("Username,Canvas ID,SIS User ID\nbob,7,9\ncy,9,7\n")
    result = run(work, "grade", "--answers", folder / "answers.csv", "--submissions", named,
                 "--ids", work / "two-ids.csv", "--ids-column", "Username", "--join-column",
                 "SIS User ID")
    if result.returncode != 0 or "bob,solved" not in result.stdout or \
            "cy,solved" not in result.stdout:
        failures.append(f"a learner named Test Student, a named join: {result.stdout!r} "
                        f"{result.stderr!r}")


def check_signals(work, folder, failures):
    """A signal at a random moment of a run that writes several zips leaves
    all of them, named, or none, and says which; SIGINT while an .xlsx is
    read is a signal, not a damaged file."""
    out = work / "feedback.zip"
    arguments = ["handout", "--handout", folder / "handout.csv", "--moodle-worksheet",
                 work / "worksheet.csv", "--worksheet-id-column", "Email address", "--max-size",
                 "1", "--out", out]
    draw = random.Random(35)
    for attempt in range(12):
        for old in work.glob("feedback*.zip"):
            old.unlink()
        process = subprocess.Popen(  # pylint: disable=consider-using-with
            [TOOL, *map(str, arguments)], stderr=subprocess.PIPE, stdout=subprocess.DEVNULL,
            text=True, env={**os.environ, "TMPDIR": str(work / "tmp")})
        time.sleep(draw.uniform(0.05, 0.6))
        process.send_signal(signal.SIGTERM)
        errors = process.communicate(timeout=60)[1]
        zips = sorted(path.name for path in work.glob("feedback*.zip"))
        whole = ["feedback-1.zip", "feedback-2.zip", "feedback-3.zip"]
        fine = (process.returncode == 0 and zips == whole) or (
            process.returncode == 128 + signal.SIGTERM and (
                (not zips and "nothing was written" in errors) or
                (zips == whole and "already written whole" in errors)))
        if not fine or work.glob("tmp/*") and any((work / "tmp").iterdir()) or \
                list(work.glob(".feedback*")):
            failures.append(f"SIGTERM {attempt}: exit {process.returncode}, {zips}, {errors!r}")
    (work / "slow.xlsx").write_bytes(workbook(199_000))  # about 2 s to read
    process = subprocess.Popen(  # pylint: disable=consider-using-with
        [TOOL, "grade", "--answers", str(folder / "answers.csv"), "--submissions",
         str(work / "slow.xlsx"), "--out", str(work / "slow.csv")], stderr=subprocess.PIPE,
        stdout=subprocess.DEVNULL, text=True)
    time.sleep(0.9)
    process.send_signal(signal.SIGINT)
    errors = process.communicate(timeout=60)[1]
    if process.returncode != 128 + signal.SIGINT or \
            "interrupted by SIGINT; nothing was written" not in errors:
        failures.append(f"SIGINT while an .xlsx is read: exit {process.returncode}, {errors!r}")


def main():
    global TOOL  # pylint: disable=global-statement
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--tool", required=True)
    TOOL = parser.parse_args().tool
    failures = []
    try:
        outputs_never_touch_inputs()  # pylint: disable=no-value-for-parameter
    except AssertionError as error:
        failures.append(f"an output touched an input: {error}")
    with tempfile.TemporaryDirectory() as name:
        work = Path(name)
        folder = write_set(work)
        check_refusals(work, folder, failures)
        check_written(work, folder, failures)
        check_ids(work, folder, failures)
        check_signals(work, folder, failures)
    if not failures:
        print("no output touched an input; edited lists, options and signals were refused "
              "or ended cleanly")
    return report(failures)


if __name__ == "__main__":
    sys.exit(main())
