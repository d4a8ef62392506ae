"""What a set holds on disk: each learner's handout and packages with their
checksums, the answers, and set.json, which records what the set was made
from. Every file is written whole or not at all, with fixed modes."""

import csv
import functools
import hashlib
import io
import json
import os
from pathlib import Path

from . import archives
from .build import PLATFORMS
from .inputs import ANSWERS_HEADER
from .common import SOURCE, SetError, escaped
from .files import write_file

HANDOUT = SOURCE / "tools" / "handout"


@functools.lru_cache(maxsize=None)
def handout_text(name):
    return (HANDOUT / name).read_text(encoding="utf-8").strip()


def handout(platform, set_name, shown_as, keep_symbols, note):
    """A learner's handout, README.txt in their package, where `shown_as`
    stands on its "Learner:" line: the learner's code in what is shipped.
    Draws are checked against it with the learner's id there, as sets made
    before codes had it, so that codes moved no answer: a code is capital
    letters, so the shipped text holds no run of letters and digits that
    that text lacks."""
    note_text = f"\nA note from the setter\n----------------------\n{note}\n" if note else ""
    content = text_with_fields(
        "README.txt.in", HANDOUT_SET=set_name, HANDOUT_LEARNER=shown_as,
        HANDOUT_RUN=handout_text(f"run-{platform}.txt"),
        HANDOUT_SYMBOLS=handout_text("symbols.txt" if keep_symbols else "stripped.txt"),
        HANDOUT_ANSWER=handout_text("answer-set.txt"), HANDOUT_NOTE=note_text)
    if platform == "windows":
        content = content.replace("\n", "\r\n")
    return content.encode("utf-8")


def package_name(code, platform):
    return f"login-challenge-{code}-{platform}.{PLATFORMS[platform]['archive']}"


def package_folder(code, platform):
    """The one folder inside a package, so that two packages unpacked side by
    side overwrite nothing."""
    return f"login-challenge-{code}-{platform}"


def folder_readme(set_name, platforms):
    """packages/README.txt: how a learner finds and checks their own package
    in a folder of every package shared with the whole class."""
    names = "\n".join(f"    {platform.capitalize() + ':':9}{package_name('<CODE>', platform)}"
                      for platform in platforms)
    return text_with_fields("packages-README.txt", SET=set_name, PACKAGES=names,
                            PACKAGE=package_name("<CODE>", platforms[0])).encode("utf-8")


def text_with_fields(name, **fields):
    """A text of tools/handout with each @FIELD@ filled, in the order given."""
    text = handout_text(name) + "\n"
    for field_name, value in fields.items():
        text = text.replace(f"@{field_name}@", value)
    return text


def current_umask():
    umask = os.umask(0o077)
    os.umask(umask)
    return umask


def published_mode():
    """Packages, checksums and set.json: readable as the umask allows, never
    writable by group or others."""
    return 0o644 & ~current_umask()


def write_package(folder, code, platform, executable, handout_bytes, epoch):
    name = package_name(code, platform)
    inside = package_folder(code, platform)
    members = [(f"{inside}/{PLATFORMS[platform]['executable']}", executable),
               (f"{inside}/README.txt", handout_bytes)]
    writer = archives.zip_bytes if platform == "windows" else archives.tar_gz_bytes
    content = writer(members, epoch)
    mode = published_mode()
    write_file(folder / name, content, mode)
    digest = hashlib.sha256(content).hexdigest()
    # Beside each package, for a learner who keeps only theirs: `sha256sum -c`.
    write_file(folder / f"{name}.sha256", f"{digest}  {name}\n".encode(), mode)
    return digest


def answers_csv(learners, values):
    text = io.StringIO()
    writer = csv.writer(text, lineterminator="\n")
    writer.writerow(ANSWERS_HEADER + ["code"])
    for learner in learners:
        chosen = values[learner]
        writer.writerow([learner, chosen["user_name"], chosen["password"], chosen["code"]])
    return text.getvalue().encode("ascii")


def handout_csv(learners, codes, platforms, digests):
    """handout.csv: each learner's code, and per platform their package's
    name and SHA-256, for a mail merge or `handout`; it holds no value."""
    text = io.StringIO()
    writer = csv.writer(text, lineterminator="\n")
    writer.writerow(["learner", "code"] + [f"{platform}_{what}" for platform in platforms
                                           for what in ("package", "sha256")])
    for learner in learners:
        names = [package_name(codes[learner], platform) for platform in platforms]
        writer.writerow([learner, codes[learner]] + [cell for name in names
                                                     for cell in (name, digests[name])])
    return text.getvalue().encode("utf-8")


def checksums(digests):
    """SHA256SUMS: every package of the set, for the setter."""
    return "".join(f"{digest}  packages/{name}\n"
                   for name, digest in sorted(digests.items())).encode("ascii")


def set_record(record):
    return (json.dumps(record, indent=2, ensure_ascii=False) + "\n").encode("utf-8")


def folder_mode(out):
    """The mode the set folder gets: an existing empty folder keeps its own."""
    if out.is_dir():
        return os.stat(out).st_mode & 0o7777
    return 0o755 & ~current_umask()


def ignore_file():
    """Like a virtual environment's, so that a set made inside a work tree,
    with its answers, is never one `git add -A` away from a commit."""
    return b"# made by tools/challenge-set: nothing here belongs in a repository\n*\n"


def check_output(out_text, files):
    """Refuses a set's folder before anything is built."""
    out, name = Path(out_text), escaped(out_text)
    if out.is_symlink():
        raise SetError(f"{name}: is a symbolic link; name the folder itself "
                       "(a link could be turned elsewhere while the set is made)")
    if out.exists():
        if not out.is_dir():
            raise SetError(f"{name}: is a file, not a folder; name a new folder for the set")
        if any(out.iterdir()):
            raise SetError(f"{name}: is a folder that is not empty; name a new or empty one")
        if os.path.realpath(out) == os.path.realpath(os.getcwd()) or os.path.ismount(out):
            kind = "a mount point" if os.path.ismount(out) else "the current folder"
            raise SetError(f"{name}: is {kind}; the set is moved into place whole, so name a "
                           "new folder inside it")
    return files.check_output("--out", out, folder=True)
