"""The course server's record: every submission and download, in SQLite.

Every submission is committed (WAL, synchronous) before its verdict is
shown, so nothing acknowledged is lost to a kill, a power cut or a restart.
Downloads are a log, not answers: they are written a second later in
batches, so that a download never waits on an answer's commit.

The record is ordered by itself, not by the wall clock: a submission's time
never goes back before the one recorded last (a clock stepped back by NTP
leaves the times standing still until it catches up), so a learner's latest
answer by time is always their latest recorded, in `grade` as here."""

import csv
import datetime
import fcntl
import io
import os
import shutil
import sqlite3
import threading
import time
import urllib.parse
from pathlib import Path

from .common import SetError, escaped

DATABASE = "submissions.sqlite"
LOCK_FILE = "server.lock"
TIME_FORMAT = "%Y-%m-%d %H:%M:%S.%f"
SUBMISSIONS_HEADER = ["learner", "user_name", "password", "submitted_at"]
SUBMISSIONS_TABLE = ("CREATE TABLE IF NOT EXISTS submissions (id INTEGER PRIMARY KEY, learner "
                     "TEXT, user_name TEXT, password TEXT, submitted_at TEXT, verdict TEXT)")
DOWNLOADS_TABLE = "CREATE TABLE IF NOT EXISTS downloads (learner TEXT, package TEXT, " \
                  "downloaded_at TEXT)"
STORE_TABLES = {"submissions", "downloads"}
COMPANIONS = ("-wal", "-shm")
DOWNLOADS_EVERY = 1.0  # seconds between two writes of the downloads' log
COPY_TRIES = 20


def now():
    return datetime.datetime.now(datetime.timezone.utc).replace(tzinfo=None)


def recordable(text):
    """A field as the record keeps it: a NUL, which no console passes to the
    program and which `grade` takes for a binary file, stands as U+FFFD,
    as a byte that is not UTF-8 does."""
    return text.replace("\0", "\ufffd")


def unreadable(name, error):
    return SetError(f"{name}: the submissions database cannot be read ({error}); restore it "
                    "from its back-up")


class Store:
    """One connection behind a lock. `read_only` opens a database that must
    already be the tool's, and changes nothing in it."""

    def __init__(self, path, read_only=False, shown_as=None):
        self.lock = threading.Lock()
        self.pending, self.pending_lock = [], threading.Lock()
        self.stopping, self.flusher = threading.Event(), None
        self.name = escaped(shown_as or path)
        self.descriptor = None
        try:
            if read_only:
                uri = "file:" + urllib.parse.quote(os.path.realpath(path)) + "?mode=ro"
                self.connection = sqlite3.connect(uri, uri=True, check_same_thread=False,
                                                  isolation_level=None)
            else:
                self.descriptor = claim_database(path, self.name)
                self.connection = sqlite3.connect(path, check_same_thread=False,
                                                  isolation_level=None)
            tables = {row[0] for row in self.connection.execute(
                "SELECT name FROM sqlite_master WHERE type = 'table'")}
            if tables != STORE_TABLES and (read_only or tables):
                self.close()
                raise SetError(f"{self.name}: not the submissions database of a course server: "
                               f"it holds {', '.join(sorted(tables)) or 'no table'}; name the one "
                               "`serve` wrote (the set's submissions.sqlite)")
            if not read_only:
                self.connection.execute("PRAGMA journal_mode=WAL")
                self.connection.execute("PRAGMA synchronous=FULL")
                self.connection.execute(SUBMISSIONS_TABLE)
                self.connection.execute(DOWNLOADS_TABLE)
                # Every answer typed is in these, the right ones too.
                for suffix in ("",) + COMPANIONS:
                    if os.path.exists(f"{path}{suffix}"):
                        os.chmod(f"{path}{suffix}", 0o600)
            self.last = self.connection.execute(
                "SELECT submitted_at FROM submissions ORDER BY id DESC LIMIT 1").fetchone()
            self.last = datetime.datetime.strptime(self.last[0], TIME_FORMAT) \
                if self.last else None
        except sqlite3.Error as error:
            self.close()
            raise unreadable(self.name, error) from error
        except ValueError as error:
            self.close()
            raise unreadable(self.name, "a time not written by the server") from error

    def start_downloads_log(self):
        """Writes the downloads in batches from a thread of its own."""
        self.flusher = threading.Thread(target=self.write_downloads_every, daemon=True)
        self.flusher.start()

    def submit(self, learner, user_name, password, verdict):
        """Records a submission; returns its time, which never goes back."""
        with self.lock:
            moment = now()
            if self.last is not None and moment < self.last:
                moment = self.last
            self.connection.execute("INSERT INTO submissions (learner, user_name, password, "
                                    "submitted_at, verdict) VALUES (?, ?, ?, ?, ?)",
                                    (learner, user_name, password,
                                     moment.strftime(TIME_FORMAT), verdict))
            self.last = moment
            return moment

    def downloaded(self, learner, package):
        moment = now()
        with self.pending_lock:
            self.pending.append((learner, package, moment.strftime(TIME_FORMAT)))
        if self.flusher is None:
            self.write_downloads()
        return moment

    def write_downloads_every(self):
        while not self.stopping.wait(DOWNLOADS_EVERY):
            try:
                self.write_downloads()
            except sqlite3.Error:
                pass  # kept, and tried again with the next batch

    def write_downloads(self):
        with self.pending_lock:
            batch, self.pending = self.pending, []
        if not batch:
            return
        with self.lock:
            try:
                self.connection.executemany("INSERT INTO downloads VALUES (?, ?, ?)", batch)
            except sqlite3.Error:
                with self.pending_lock:
                    self.pending[:0] = batch
                raise

    def submissions(self):
        """learner, user_name, password, submitted_at of each, in the
        record's order."""
        return self.rows("SELECT learner, user_name, password, submitted_at FROM submissions "
                         "ORDER BY id")

    def rows(self, query, *parameters):
        with self.lock:
            return self.connection.execute(query, parameters).fetchall()

    def close(self):
        """Writes what downloads wait, and lets the database go."""
        self.stopping.set()
        if self.flusher is not None:
            self.flusher.join()
        connection = getattr(self, "connection", None)
        if connection is not None:
            try:
                self.write_downloads()
            except sqlite3.Error:
                pass  # a database that failed already says so
            with self.lock:
                connection.close()
            self.connection = None
        if self.descriptor is not None:  # only once SQLite's own are closed
            os.close(self.descriptor)
            self.descriptor = None


def locked(path):
    """An owner-only file, opened and locked for this process alone:
    (descriptor, True); or (descriptor, False) when another holds it."""
    descriptor = os.open(path, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW, 0o600)
    try:
        fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        return descriptor, False
    return descriptor, True


def claim_database(path, name):
    """Opens the database file owner-only and holds it for this server
    alone: a second server on it would apply the limit of attempts apart."""
    try:
        descriptor, held = locked(path)
    except OSError as error:
        raise SetError(f"{name}: cannot open it to record submissions: "
                       f"{error.strerror}") from error
    if not held:
        holder = holder_of(descriptor)
        os.close(descriptor)
        raise SetError(f"{name}: another course server records into it already "
                       f"({holder or 'its process is not known here'}); stop it first")
    return descriptor


def holder_of(descriptor):
    """The process that holds a file's lock, as /proc/locks names it, with
    its command line where this user may read it; None where unknown."""
    status = os.fstat(descriptor)
    where = f"{os.major(status.st_dev):02x}:{os.minor(status.st_dev):02x}:{status.st_ino}"
    try:
        with open("/proc/locks", encoding="ascii", errors="replace") as locks:
            pids = [fields[4] for fields in map(str.split, locks)
                    if len(fields) > 5 and fields[1] == "FLOCK" and fields[5] == where]
    except OSError:
        return None
    if not pids:
        return None
    try:
        command = Path(f"/proc/{pids[0]}/cmdline").read_bytes().replace(b"\0", b" ").strip()
        return f"pid {pids[0]}: {escaped(command.decode('utf-8', 'replace'))}"
    except OSError:
        return f"pid {pids[0]}"


def claim_set(folder, who):
    """Holds the set's folder for this server alone, naming it in the
    folder's server.lock; a second server is refused, naming the first.
    Returns the open lock file, to keep for the server's life."""
    path = Path(folder) / LOCK_FILE
    while True:
        try:
            descriptor, held = locked(path)
        except OSError as error:
            raise SetError(f"{escaped(path)}: cannot make the server's lock in the set's folder: "
                           f"{error.strerror}") from error
        if not held:
            first = os.read(descriptor, 512).decode("utf-8", "replace").strip()
            os.close(descriptor)
            raise SetError(f"{escaped(folder)}: a course server serves this set already "
                           f"({escaped(first) or 'one that has not said where'}); stop it first")
        try:
            if os.fstat(descriptor).st_ino == os.stat(path).st_ino:
                break
        except FileNotFoundError:
            pass
        os.close(descriptor)  # the lock of a server that stopped meanwhile: again
    os.ftruncate(descriptor, 0)
    os.write(descriptor, f"{who}\n".encode())
    return descriptor


def release_set(folder, descriptor):
    """Removes the lock file while still holding it, so that no later
    server locks a file that is gone."""
    try:
        os.unlink(Path(folder) / LOCK_FILE)
    except OSError:
        pass
    os.close(descriptor)


def submissions_csv(store):
    """Every recorded submission, in the record's order, in the shape
    `grade` reads."""
    text = io.StringIO()
    # Every field quoted: a learner's bare CR would otherwise stand unquoted
    # (the line end is \n) and end a row where `grade` reads it.
    writer = csv.writer(text, lineterminator="\n", quoting=csv.QUOTE_ALL)
    writer.writerow(SUBMISSIONS_HEADER)
    writer.writerows([map(recordable, row) for row in store.submissions()])
    return text.getvalue().encode("utf-8")


def state_of(path):
    try:
        status = os.stat(path)
    except FileNotFoundError:
        return None
    return status.st_ino, status.st_size, status.st_mtime_ns


def copy_of(database, copy):
    """Copies a database and its -wal, which holds what a killed server
    committed last, into `copy`: again until neither changed while it was
    read, so that a checkpoint between the two never makes a copy that
    lost answers."""
    files = [(str(database), str(copy)), (f"{database}-wal", f"{copy}-wal")]
    for _ in range(COPY_TRIES):
        before = [state_of(source) for source, _ in files]
        try:
            for (source, target), state in zip(files, before):
                if state is not None:
                    shutil.copyfile(source, target)
                elif os.path.exists(target):
                    os.unlink(target)
        except FileNotFoundError:
            continue  # the -wal went with a checkpoint: again
        except OSError as error:
            raise SetError(f"{escaped(database)}: cannot read it: {error.strerror}") from error
        if [state_of(source) for source, _ in files] == before:
            return
        time.sleep(0.05)
    raise SetError(f"{escaped(database)}: it changed every time it was read "
                   f"({COPY_TRIES} tries); try again in a quieter moment")


def backup(copy, target, name):
    """One file with the whole record, through SQLite's online back-up."""
    source = sqlite3.connect("file:" + urllib.parse.quote(os.path.realpath(copy)) + "?mode=ro",
                             uri=True)
    try:
        destination = sqlite3.connect(target)
        try:
            source.backup(destination)
            destination.execute("PRAGMA journal_mode=DELETE")
        finally:
            destination.close()
    except sqlite3.Error as error:
        raise unreadable(name, error) from error
    finally:
        source.close()
