"""What the tool writes for its user: lines on standard output and standard
error, a progress line on a terminal, and a report on standard output. None
of it may stop a run or raise a traceback: a stream that is closed, full or
whose reader has gone is one that cannot be written, and text that the
stream's encoding cannot hold is escaped."""

import os
import sys
import time

from .common import SetError

dead = set()  # the descriptors found closed or unwritable


def settle():
    """Run first: a standard stream that was closed (`>&-`) gets /dev/null,
    so that no file the tool opens takes its place, and counts as one that
    cannot be written; text is escaped where the encoding cannot hold it."""
    for descriptor in (0, 1, 2):
        try:
            os.fstat(descriptor)
        except OSError:
            os.open(os.devnull, os.O_RDWR)  # the lowest free descriptor: this one
            dead.add(descriptor)
    for stream in (sys.stdout, sys.stderr):
        if stream is not None:
            stream.reconfigure(errors="backslashreplace")


def stream_of(error):
    stream = sys.stderr if error else sys.stdout
    return None if stream is None or (2 if error else 1) in dead else stream


def give_up(descriptor):
    """Once a stream has failed, nothing more is written to it, and the
    interpreter's last flush finds nothing to complain about."""
    dead.add(descriptor)
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, descriptor)
        os.close(null)
    except OSError:
        pass


def say(text, error=False):
    """Writes one line for the user; False when it could not be written."""
    progress.clear()
    stream = stream_of(error)
    if stream is None:
        return False
    try:
        stream.write(text + "\n")
        stream.flush()
        return True
    except (OSError, ValueError):
        give_up(2 if error else 1)
        return False


def write_report(content):
    """The report on standard output, whole, or an error that says it is not."""
    stream = stream_of(False)
    if stream is None:
        raise SetError("standard output is closed, so the report could not be written; "
                       "name a file for it with --out")
    written = 0
    try:
        stream.flush()
        while written < len(content):
            written += os.write(1, content[written:])
    except OSError as error:
        give_up(1)
        raise SetError(f"standard output: the report could not be written whole "
                       f"({written} of {len(content)} bytes): "
                       f"{error.strerror}") from error


class Progress:
    """One line on a terminal that says how far a long run is, updated in
    place; nothing when standard output is not a terminal that takes
    escape sequences."""

    def __init__(self):
        self.on, self.shown, self.last = False, False, 0.0

    def start(self):
        try:
            self.on = stream_of(False) is not None and sys.stdout.isatty() and \
                os.environ.get("TERM", "dumb") != "dumb"
        except (OSError, ValueError):
            self.on = False

    def show(self, text, now=False):
        if not self.on or (not now and time.monotonic() - self.last < 0.2):
            return
        self.last = time.monotonic()
        self.write("\r\x1b[K" + text)
        self.shown = True

    def clear(self):
        if self.shown:
            self.shown = False
            self.write("\r\x1b[K")

    def write(self, text):
        try:
            sys.stdout.write(text)
            sys.stdout.flush()
        except (OSError, ValueError):
            self.on = False
            give_up(1)


progress = Progress()
