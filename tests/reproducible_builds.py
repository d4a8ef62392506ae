#!/usr/bin/env python3
"""Copies this source into two folders at different paths, builds the same
things in each, one after the other, and compares the bytes: the release
executable, the 32-bit and 64-bit .exe files and their ZIPs from cpack, and a
challenge set made from each copy (packages, answers.csv, SHA256SUMS). Each
copy is a one-commit repository with the source's last commit time, so times
come from the last commit, as in a clone."""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from support import report

BUILDS = {  # preset: what it makes that is compared
    "release": ["login-challenge"],
    "windows": ["login-challenge.exe", "login-challenge-1.0.0-Windows.zip"],
    "windows64": ["login-challenge.exe", "login-challenge-1.0.0-Windows.zip"],
}


def run(command, **options):
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, **options)


def copy_source(source, copy):
    files = subprocess.run(["git", "-C", source, "ls-files", "-z", "--cached", "--others",
                            "--exclude-standard"], capture_output=True, check=True).stdout
    for name in filter(None, files.decode().split("\0")):
        if (Path(source) / name).is_file():
            (copy / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(Path(source) / name, copy / name)
    date = subprocess.run(["git", "-C", source, "log", "-1", "--format=%cI"], capture_output=True,
                          text=True, check=True).stdout.strip()
    environment = dict(os.environ, GIT_AUTHOR_DATE=date, GIT_COMMITTER_DATE=date)
    git = ["git", "-C", str(copy), "-c", "user.name=test", "-c", "user.email=test@localhost"]
    run(git + ["init", "-q"])
    run(git + ["add", "-A"])
    run(git + ["commit", "-q", "-m", "copy"], env=environment)


def build(copy):
    """The compared files of one copy, by a name that is the same for both."""
    made = {}
    for preset, outputs in BUILDS.items():
        folder = copy / "build" / preset
        run(["cmake", "-S", copy, "--preset", preset, "-DBUILD_TESTING=OFF"])
        run(["cmake", "--build", folder])
        if preset != "release":
            run(["cpack"], cwd=folder)
        made.update({f"{preset}/{output}": (folder / output).read_bytes() for output in outputs})
    return made


def make_set(copy, inputs, out, temporary):
    run([copy / "tools" / "challenge-set", "make", "--set", "twice", "--secret-file",
         inputs / "secret", "--roster", inputs / "roster", "--out", out],
        env=dict(os.environ, TMPDIR=str(temporary)))
    return {f"set/{path.relative_to(out)}": path.read_bytes()
            for path in sorted(out.rglob("*")) if path.is_file()}


NEEDS = {"git": "git", "i686-w64-mingw32-g++": "g++-mingw-w64-i686",
         "x86_64-w64-mingw32-g++": "g++-mingw-w64-x86-64"}


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--source", required=True)
    source = parser.parse_args().source
    missing = [package for command, package in NEEDS.items() if shutil.which(command) is None]
    if missing:
        return report([f"not installed: {', '.join(missing)}; install with "
                       f"`apt-get install -y {' '.join(missing)}`"])
    with tempfile.TemporaryDirectory() as work:
        work = Path(work)
        inputs = work / "inputs"
        inputs.mkdir()
        (inputs / "secret").write_bytes(os.urandom(32))
        (inputs / "secret").chmod(0o600)
        (inputs / "roster").write_text("ada\nbob\n")
        results = []
        for copy, out in ((work / "one", work / "set-one"),
                          (work / "a" / "longer" / "path" / "two", work / "elsewhere" / "set-two")):
            copy.mkdir(parents=True)
            out.parent.mkdir(parents=True, exist_ok=True)
            copy_source(source, copy)
            temporary = work / "tmp"
            temporary.mkdir(exist_ok=True)
            results.append({**build(copy), **make_set(copy, inputs, out, temporary)})
            if list(temporary.iterdir()):
                return report([f"the set tool left {list(temporary.iterdir())} behind"])
    first, second = results
    failures = [f"{name} differs between the two copies" for name in sorted(first)
                if first[name] != second.get(name)]
    if set(first) != set(second):
        failures.append(f"the copies made other files: {sorted(set(first) ^ set(second))}")
    if not failures:
        print(f"{len(first)} files identical: {', '.join(sorted(first))}")
    return report(failures)


if __name__ == "__main__":
    sys.exit(main())
