"""The temporary folders of one run, and the signals that may end it. Work
folders hold every learner's values in plain source while a set is made, so
no run leaves one behind: on a signal the run removes its own, and a run
killed outright (SIGKILL) is cleaned up after by the next one, which finds
its folders by the owner recorded in them."""

import os
import shutil
import signal
import stat
import tempfile
from pathlib import Path

from . import build
from .common import SetError, escaped

SIGNALS = build.SIGNALS
WORK_PREFIX = "challenge-set-"
OWNER = ".owner"  # in each folder: the pid and start time of the run that made it
# What a set's temporary files take, measured with room to spare: each
# platform's build, and per learner its objects and program; Wine's prefix.
NEEDED = {"linux": (32, 2), "windows": (32, 2)}  # MiB: once, per learner
WINE_PREFIX_MIB = 700


class Interrupted(Exception):
    def __init__(self, number):
        super().__init__(number)
        self.number = number


taken = []  # the first signal; any after it is ignored


def on_signal(number, _frame):
    """The first of SIGINT, SIGTERM and SIGHUP stops the run where it is; a
    second one (a double Ctrl+C) must not cut short the clean-up of the first."""
    if taken:
        return
    taken.append(number)
    raise Interrupted(number)


def blocked():
    """Blocks the ending signals; returns the mask to restore."""
    return signal.pthread_sigmask(signal.SIG_BLOCK, SIGNALS)


def started_at(pid):
    """A live process's start time, to tell it from a later one with its
    pid; None when it is gone, or a zombie that nobody has reaped yet."""
    try:
        fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    except OSError:
        return None
    return None if fields[0] == "Z" else fields[19]


def owner_line():
    return f"{os.getpid()} {started_at(os.getpid())}\n"


class Workspace:
    """The temporary folders of one run, removed whatever happens."""

    def __init__(self):
        self.folders = []
        self.complete = None  # the set's folder, once it stands there whole

    def folder(self, **options):
        # Signals wait while a folder is made and recorded, so none is missed.
        previous = blocked()
        try:
            path = Path(tempfile.mkdtemp(**options))  # owner-only
            self.folders.append(path)
            (path / OWNER).write_text(owner_line())
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, previous)
        return path

    def remove(self):
        for folder in self.folders:
            shutil.rmtree(folder, ignore_errors=True)
        return [folder for folder in self.folders if os.path.lexists(folder)]


def stale_folders(*places):
    """Folders in `places` that a run made whose process is gone: (folder,
    prefix) pairs, the prefix being Wine's, whose processes may live on."""
    for place, pattern in places:
        try:
            entries = list(Path(place).iterdir())
        except OSError:
            continue
        for entry in entries:
            if not entry.name.startswith(pattern):
                continue
            try:
                if not stat.S_ISDIR(entry.lstat().st_mode) or entry.lstat().st_uid != os.getuid():
                    continue
                pid, start = (entry / OWNER).read_text().split()
            except (OSError, ValueError):
                continue
            if started_at(pid) != start:
                yield entry


def remove_stale(out_parent, say):
    """Removes what runs killed outright left: their work folders in the
    temporary folder and their staging folders beside --out, with any
    process (Wine's, a build's) still working in them."""
    for folder in stale_folders((tempfile.gettempdir(), WORK_PREFIX), (out_parent, ".")):
        build.end_processes_in(folder)
        shutil.rmtree(folder, ignore_errors=True)
        say(f"removed {escaped(folder)}, left by an earlier run that was killed")


def check_temporary_folder(platforms, learners, wine):
    """Names a temporary folder that cannot hold the build before it starts:
    TMPDIR unusable, mounted noexec, or too small."""
    given = os.environ.get("TMPDIR")
    place = tempfile.gettempdir()
    if given and Path(given).resolve() != Path(place).resolve():
        raise SetError(f"TMPDIR={escaped(given)} is no folder the tool can write in")
    try:
        status = os.statvfs(place)
    except OSError as error:
        raise SetError(f"{escaped(place)}: cannot use it for temporary files: "
                       f"{error.strerror}") from error
    if status.f_flag & os.ST_NOEXEC:
        raise SetError(f"{escaped(place)}: the temporary folder is on a file system mounted "
                       "noexec, where no program can be built and run; set TMPDIR to another")
    needed = sum(NEEDED[platform][0] + NEEDED[platform][1] * learners for platform in platforms)
    needed += WINE_PREFIX_MIB if wine else 0
    free = status.f_bavail * status.f_frsize // (1024 * 1024)
    if free < needed:
        raise SetError(f"{escaped(place)}: the temporary folder has {free} MiB free; this set "
                       f"needs about {needed} MiB there (set TMPDIR to a larger one)")


def check_room(place, needed, name):
    """Names a folder for the set too small for it before anything is built."""
    status = os.statvfs(place)
    free = status.f_bavail * status.f_frsize // (1024 * 1024)
    if free < needed:
        raise SetError(f"{escaped(name)}: the folder it goes in has {free} MiB free; the set "
                       f"needs about {needed} MiB")
