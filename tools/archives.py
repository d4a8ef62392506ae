#!/usr/bin/env python3
"""Archives that hold the same bytes whenever they hold the same files: fixed
entry order, times, owners and modes, and no compression, so nothing depends
on the machine, the clock, the user or the zlib version.

As a command, rewrites a ZIP archive in place that way (CPack's ZIP carries
the times and owners of the files it was made from):

    archives.py rezip ARCHIVE
"""

import gzip
import io
import os
import subprocess
import sys
import tarfile
import time
import zipfile

ZIP_EPOCH_MIN = 315532800  # 1980-01-01, the earliest time a ZIP entry can hold
SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def source_date_epoch():
    """The time archive entries carry: SOURCE_DATE_EPOCH when it is set, else
    the time of the source's last commit, else 0 (the oldest a format holds)."""
    if os.environ.get("SOURCE_DATE_EPOCH", "").isdigit():
        return int(os.environ["SOURCE_DATE_EPOCH"])
    result = subprocess.run(["git", "-C", SOURCE, "log", "-1", "--format=%ct"],
                            capture_output=True, text=True, check=False)
    return int(result.stdout.strip()) if result.stdout.strip().isdigit() else 0


def mode_of(content, name):
    """Executables get 755, everything else 644."""
    executable = content[:4] == b"\x7fELF" or name.endswith(".exe")
    return 0o755 if executable else 0o644


def write_zip(path, members, epoch):
    """members: (name, bytes) in the order they are to be stored."""
    date_time = time.gmtime(max(epoch, ZIP_EPOCH_MIN))[:6]
    with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as archive:
        for name, content in members:
            entry = zipfile.ZipInfo(name, date_time)
            entry.create_system = 3  # Unix, so the mode below is read
            entry.external_attr = (0o100000 | mode_of(content, name)) << 16
            entry.compress_type = zipfile.ZIP_STORED
            archive.writestr(entry, content)


def write_tar_gz(path, members, epoch):
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
    with open(path, "wb") as output:
        # No name and a zero time in the gzip header; level 0 stores the tar.
        with gzip.GzipFile(filename="", mode="wb", fileobj=output, mtime=0,
                           compresslevel=0) as compressed:
            compressed.write(tar_bytes.getvalue())


def rezip(path, epoch):
    with zipfile.ZipFile(path) as archive:
        members = [(entry.filename, archive.read(entry)) for entry in archive.infolist()
                   if not entry.is_dir()]
    write_zip(path, sorted(members), epoch)


def main(arguments):
    if len(arguments) != 2 or arguments[0] != "rezip":
        print(__doc__.strip(), file=sys.stderr)
        return 2
    try:
        rezip(arguments[1], source_date_epoch())
    except (OSError, zipfile.BadZipFile) as error:
        print(f"archives.py: {arguments[1]}: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
