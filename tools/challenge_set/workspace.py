"""The temporary folders of one run, and the signals that may end it. Work
folders hold every learner's values in plain source while a set is made, so
no run leaves one behind: on a signal the run removes its own, and a run
killed outright (SIGKILL) is cleaned up after by the next one.

A folder is the tool's only when it has the tool's name and holds the
marker file the tool wrote in it, with the random id of its name. The run
that made it holds a lock on that marker for its whole life; the kernel drops
the lock when the process ends, whatever its PID namespace and whether /proc
is mounted or not. So a folder whose marker can be locked was left by a run
that is gone; one whose marker cannot be locked at all (a file system
without locks) is left alone, and named. No process is ever signalled for a
folder: a run's children die with it (see build.start)."""

import contextlib
import errno
import fcntl
import os
import re
import shutil
import signal
import stat
import tempfile
from pathlib import Path

from . import build
from .common import SOURCE, SetError, escaped

SIGNALS = build.SIGNALS
WORK_PREFIX = "challenge-set-work-"
STAGING_PREFIX = ".challenge-set-staging-"
MARKER = ".challenge-set-run"
MARKER_TEXT = "made by challenge-set, removed when its run ends: {}\n"
# What a set's temporary files take, measured with room to spare: each
# platform's build, and per learner its objects and program; Wine's prefix.
NEEDED = {"linux": (32, 2), "windows": (32, 2)}  # MiB: once, per learner
WINE_PREFIX_MIB = 700
# What the build cannot take in a path, as tried one character at a time:
# ';' splits a CMake list, '"' and '\' break its quoting, and a control
# character ends a line. '$', '`', '#', quotes, brackets, blanks and non-ASCII
# letters work.
BUILD_UNSAFE = re.compile(r'[\x00-\x1f\x7f;"\\]')
NO_LOCKS = (errno.ENOLCK, errno.EOPNOTSUPP, errno.EINVAL, errno.ENOSYS)


class Interrupted(BaseException):
    """Not an Exception: no handler written for a file's or a library's
    faults (`except Exception`) may take the tool's own interruption for one."""

    def __init__(self, number):
        super().__init__(number)
        self.number = number

    def __str__(self):
        name = signal.Signals(self.number).name
        limit = {signal.SIGXFSZ: "a file grew past the file-size limit, ulimit -f",
                 signal.SIGXCPU: "the run used up its CPU-time limit, ulimit -t"}.get(self.number)
        return f"{name} ({limit})" if limit else name


taken = []  # the first signal; any after it is ignored


def on_signal(number, _frame):
    """The first ending signal stops the run where it is; a second one (a
    double Ctrl+C) must not cut short the clean-up of the first."""
    if taken:
        return
    taken.append(number)
    raise Interrupted(number)


def blocked():
    """Blocks the ending signals; returns the mask to restore."""
    return signal.pthread_sigmask(signal.SIG_BLOCK, SIGNALS)


@contextlib.contextmanager
def signals_held():
    """The ending signals wait meanwhile; one that came is taken after."""
    previous = blocked()
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


class Workspace:
    """The temporary folders and files of one run, removed whatever happens."""

    def __init__(self):
        self.folders = []
        self.locks = []  # open marker files, locked while the run lives

    def folder(self, place, prefix):
        """A new folder in `place`, owner-only, with the marker locked."""
        # Signals wait while a folder is made and recorded, so none is missed.
        with signals_held():
            path = Path(tempfile.mkdtemp(prefix=prefix, dir=place))  # owner-only
            self.folders.append(path)
            descriptor = os.open(path / MARKER, os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o600)
            self.locks.append(descriptor)
            # Locked before the marker is written: another run reads no
            # marker it could take for a killed run's.
            try:
                fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except OSError as error:
                if error.errno not in NO_LOCKS:
                    raise
                # Another run will leave this folder alone, and say so.
            os.write(descriptor, MARKER_TEXT.format(path.name[len(prefix):]).encode())
        return path

    def remove(self):
        """Removes the run's folders that still stand; returns what is left."""
        for folder in self.folders:
            shutil.rmtree(folder, ignore_errors=True)
        return [path for path in self.folders if os.path.lexists(path)]


def marker_of(folder, prefix):
    """The marker of one of the tool's folders, opened, or None when the
    folder is not the tool's: not a real folder of this user, or without a
    marker that holds the id of its name."""
    try:
        status = folder.lstat()
        if not stat.S_ISDIR(status.st_mode) or status.st_uid != os.getuid():
            return None
        descriptor = os.open(folder / MARKER, os.O_RDWR | os.O_NOFOLLOW | os.O_NONBLOCK)
    except OSError:
        return None
    try:
        expected = MARKER_TEXT.format(folder.name[len(prefix):]).encode()
        if stat.S_ISREG(os.fstat(descriptor).st_mode) and \
                os.read(descriptor, len(expected) + 1) == expected:
            return descriptor
    except OSError:
        pass
    os.close(descriptor)
    return None


def remove_stale(out_parent, say):
    """Removes what runs killed outright left: their work folders in the
    temporary folder and their staging folders beside --out."""
    for place, prefix in ((tempfile.gettempdir(), WORK_PREFIX), (out_parent, STAGING_PREFIX)):
        try:
            entries = [entry for entry in Path(place).iterdir() if entry.name.startswith(prefix)]
        except OSError:
            continue
        for folder in entries:
            descriptor = marker_of(folder, prefix)
            if descriptor is None:
                continue
            try:
                fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except OSError as error:
                if error.errno not in NO_LOCKS:
                    continue  # locked: its run is alive
                say(f"left {escaped(folder)} alone: its file system keeps no locks, so "
                    "nothing tells whether the run that made it still runs; remove it once "
                    "no challenge-set runs")
            else:
                shutil.rmtree(folder, ignore_errors=True)
                say(f"removed {escaped(folder)}, left by an earlier run that was killed")
            finally:
                os.close(descriptor)


def check_temporary_folder(platforms, learners, wine):
    """Names a temporary folder that cannot hold the build before it starts:
    TMPDIR unusable, mounted noexec, or too small."""
    given = os.environ.get("TMPDIR")
    place = tempfile.gettempdir()
    if given and os.path.realpath(given) != os.path.realpath(place):
        raise SetError(f"TMPDIR={escaped(given)} is no folder the tool can write in")
    for what, path in (("the temporary folder (TMPDIR)", place),
                       ("the tool's own checkout", SOURCE)):
        bad = sorted(set(BUILD_UNSAFE.findall(str(path))))
        if bad:
            raise SetError(f"{escaped(path)}: {what} holds {', '.join(map(repr, bad))}, which "
                           "the build cannot take in a path; use a folder without it")
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
