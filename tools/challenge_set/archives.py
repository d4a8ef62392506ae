#!/usr/bin/env python3
"""Archives that hold the same bytes whenever they hold the same files: fixed
entry order, times, owners and modes, and no compression, so nothing depends
on the machine, the clock, the user or the zlib version.

As a command, rewrites a ZIP archive in place that way (CPack's ZIP carries
the times and owners of the files it was made from):

    archives.py rezip ARCHIVE
"""

import contextlib
import gzip
import io
import os
import subprocess
import sys
import tarfile
import time
import zipfile

ZIP_EPOCH_MIN = 315532800  # 1980-01-01, the earliest time a ZIP entry can hold
SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def git(*arguments):
    """(output, None) of a git command in the source tree, or (None, why
    not). Only a repository whose top is this source tree counts: a source
    export unpacked inside another repository must not take its commit."""
    def run(*words):
        return subprocess.run(["git", "-C", SOURCE, *words], capture_output=True, text=True,
                              check=False, stdin=subprocess.DEVNULL)
    try:
        top = run("rev-parse", "--show-toplevel")
    except FileNotFoundError:
        return None, "git is not installed (apt-get install -y git)"
    if top.returncode != 0:
        lines = top.stderr.strip().splitlines()
        return None, f"git cannot read it: {lines[0] if lines else 'no repository'}"
    if os.path.realpath(top.stdout.strip()) != os.path.realpath(SOURCE):
        return None, "the source is not a git repository of its own (an export)"
    result = run(*arguments)
    if result.returncode != 0:
        lines = result.stderr.strip().splitlines()
        return None, f"git cannot read it: {lines[0] if lines else 'no commit'}"
    return result.stdout, None


def source_date_epoch():
    """The time archive entries carry, and why it is not the intended one:
    (SOURCE_DATE_EPOCH when it is set, else the time of the source's last
    commit, None), or (0, the reason) when neither can be had."""
    if os.environ.get("SOURCE_DATE_EPOCH", "").isdigit():
        return int(os.environ["SOURCE_DATE_EPOCH"]), None
    output, reason = git("log", "-1", "--format=%ct")
    if output is not None and output.strip().isdigit():
        return int(output.strip()), None
    return 0, (f"the last commit's time cannot be read ({reason or 'no commit'}); set "
               "SOURCE_DATE_EPOCH to the time archives should carry (the same as where the set "
               "or build is made again)")


def mode_of(content, name):
    """Executables get 755, everything else 644."""
    executable = content[:4] == b"\x7fELF" or name.endswith(".exe")
    return 0o755 if executable else 0o644


def zip_bytes(members, epoch):
    """members: (name, bytes) in the order they are to be stored."""
    date_time = time.gmtime(max(epoch, ZIP_EPOCH_MIN))[:6]
    content = io.BytesIO()
    with zipfile.ZipFile(content, "w", zipfile.ZIP_STORED) as archive:
        for name, data in members:
            entry = zipfile.ZipInfo(name, date_time)
            entry.create_system = 3  # Unix, so the mode below is read
            entry.external_attr = (0o100000 | mode_of(data, name)) << 16
            entry.compress_type = zipfile.ZIP_STORED
            archive.writestr(entry, data)
    return content.getvalue()


def tar_gz_bytes(members, epoch):
    """members: (name, bytes) in the order they are to be stored."""
    tar_bytes = io.BytesIO()
    with tarfile.open(fileobj=tar_bytes, mode="w", format=tarfile.USTAR_FORMAT) as archive:
        for name, content in members:
            entry = tarfile.TarInfo(name)
            entry.size = len(content)
            entry.mtime = epoch
            entry.mode = mode_of(content, name)
            entry.uid = entry.gid = 0
            entry.uname = entry.gname = "root"
            archive.addfile(entry, io.BytesIO(content))
    output = io.BytesIO()
    # No name and a zero time in the gzip header; level 0 stores the tar.
    with gzip.GzipFile(filename="", mode="wb", fileobj=output, mtime=0,
                       compresslevel=0) as compressed:
        compressed.write(tar_bytes.getvalue())
    return output.getvalue()


def rezip(path, epoch):
    with zipfile.ZipFile(path) as archive:
        members = [(entry.filename, archive.read(entry)) for entry in archive.infolist()
                   if not entry.is_dir()]
    content = zip_bytes(sorted(members), epoch)
    with open(path, "wb") as output:
        output.write(content)


def main(arguments):
    if len(arguments) != 2 or arguments[0] != "rezip":
        print(__doc__.strip(), file=sys.stderr)
        return 2
    epoch, problem = source_date_epoch()
    try:
        if problem is None:
            rezip(arguments[1], epoch)
    except (OSError, zipfile.BadZipFile) as error:
        problem = str(error)
    if problem is not None:
        # Nothing that is not reproducible may stand where the real ZIP would.
        with contextlib.suppress(OSError):
            os.remove(arguments[1])
        print(f"archives.py: {arguments[1]}: removed, not rewritten reproducibly: {problem}",
              file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
