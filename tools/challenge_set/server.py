"""The course server: each learner fetches their own program and hands in
their answer at a link of their own; the setter watches the class on a page
of their own. It needs no secret, only what `make` wrote: answers.csv and
handout.csv, the packages, and a key of its own that it makes in the set's
folder on its first start, from which every link's token comes, so that
links never move while the folder is kept.

This module is the application (which request gets what) and the serving
loop; the record is store.py's, the class's progress progress.py's, the
pages pages.py's, and the nginx site in front of it nginx.py's. Every wrong
request gets a 4xx: the same 404 for every wrong token or path."""

import base64
import csv
import datetime
import hashlib
import hmac
import io
import json
import os
import re
import resource
import secrets
import signal
import sqlite3
import sys
import tempfile
import time
import urllib.parse
from pathlib import Path

from . import pages, workspace
from .common import SetError, escaped, web_address
from .handouts import package_columns, read_handout
from .inputs import answer_rows
from .progress import ATTEMPTS, WINDOW, Progress
from .store import (DATABASE, LOCK_FILE, Store, backup, claim_set, copy_of, now, recordable,
                    release_set, submissions_csv, unreadable)
from .workspace import signals_held

KEY_FILE = "server.key"
LINKS = "links.csv"
BODY_LIMIT = 4096
ACCEL_PREFIX = "/_packages/"  # nginx's internal location for the packages
HEADERS = [
    ("Content-Security-Policy", "default-src 'none'; style-src 'self'; form-action 'self'; "
     "base-uri 'none'; frame-ancestors 'none'"),
    ("X-Content-Type-Options", "nosniff"), ("X-Frame-Options", "DENY"),
    ("Referrer-Policy", "no-referrer"), ("Cache-Control", "no-store"),
    ("Cross-Origin-Opener-Policy", "same-origin"), ("Cross-Origin-Resource-Policy", "same-origin"),
]
# What a set's folder holds that no command but `make` and `serve` writes.
SET_FILES = ["answers.csv", "handout.csv", "set.json", "SHA256SUMS", ".gitignore"]
# Waitress, alone in front: idle and half-sent connections go after
# CHANNEL_TIMEOUT seconds, and CONNECTIONS of them are held at most.
CHANNEL_TIMEOUT, CONNECTIONS, STOP_WAIT = 10, 2000, 3
STOPPING = (signal.SIGTERM, signal.SIGINT, signal.SIGHUP)


class BadRequest(Exception):
    """A request no page answers: 400, whatever it held."""


def server_key(folder):
    """The set's server key: made once, owner-only, and kept with the set."""
    path = Path(folder) / KEY_FILE
    try:
        descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        with os.fdopen(descriptor, "wb") as output:
            output.write(secrets.token_bytes(32))
    except FileExistsError:
        pass
    except OSError as error:
        raise SetError(f"{escaped(path)}: cannot make the server's key: {error.strerror}") \
            from error
    try:
        key = path.read_bytes()
    except OSError as error:
        raise SetError(f"{escaped(path)}: cannot read the server's key: {error.strerror}") \
            from error
    if len(key) != 32:
        raise SetError(f"{escaped(path)}: not a key this tool made (32 bytes); restore it from "
                       "the set's back-up, or remove it to give every learner a new link")
    return key


def token(key, *purpose):
    """An unguessable token of 144 bits for one purpose, the same on every start."""
    digest = hmac.new(key, "\0".join(purpose).encode(), hashlib.sha256).digest()[:18]
    return base64.urlsafe_b64encode(digest).decode()


def same(presented, expected):
    """Constant-time comparison of what a request sent, whatever its bytes."""
    return hmac.compare_digest(presented.encode("utf-8", "surrogatepass"), expected.encode())


def short_hash(text):
    """What the log shows of a token: enough to tell two apart, nothing to use."""
    return hashlib.sha256(text.encode("utf-8", "surrogatepass")).hexdigest()[:8]


def form_of(environ):
    """The answer form's fields, or BadRequest; 413 for a body too large."""
    try:
        length = int(environ.get("CONTENT_LENGTH") or 0)
    except ValueError as error:
        raise BadRequest from error
    if not 0 <= length <= BODY_LIMIT:
        return None
    body = environ["wsgi.input"].read(length).decode("utf-8", errors="replace")
    try:
        fields = urllib.parse.parse_qs(body, keep_blank_values=True, max_num_fields=8,
                                       errors="replace")
    except ValueError as error:  # more fields than the form has
        raise BadRequest from error
    return {name: recordable(values[0]) for name, values in fields.items()}


class App:
    """The WSGI application of one set, which it holds for itself alone
    until close()."""

    def __init__(self, folder, database=None, base_url="http://127.0.0.1:8000", log=None,
                 behind_nginx=False):
        self.folder = Path(folder)
        rows = answer_rows(self.folder / "answers.csv")
        self.answers = {learner: (user_name, password) for learner, user_name, password, _ in rows}
        self.codes = {learner: code for learner, *_, code in rows}
        handout = read_handout(self.folder / "handout.csv")
        self.packages = {}  # learner: [(file name, SHA-256)]
        for learner in self.answers:
            row = handout.get(learner, {})
            self.packages[learner] = [(name, row[column.replace("_package", "_sha256")])
                                      for column, name in package_columns(row)]
        self.set_name = self.read_set_name()
        self.base_url = base_url.rstrip("/")
        self.behind_nginx = behind_nginx
        self.started = now()
        # Only once the folder is known to be a set's is anything written in it.
        self.lock = claim_set(self.folder, f"pid {os.getpid()}, serving at {self.base_url} "
                                           f"since {self.started:%Y-%m-%d %H:%M:%S} UTC")
        self.store = None
        try:
            self.key = server_key(folder)
            self.learner_tokens = {learner: token(self.key, "learner", learner)
                                   for learner in self.answers}
            # Looked up by a hash of the token, then compared in constant time.
            self.by_hash = {hashlib.sha256(value.encode()).digest(): learner
                            for learner, value in self.learner_tokens.items()}
            self.setter_token = token(self.key, "setter")
            self.store = Store(database or self.folder / DATABASE)
            self.progress = Progress(self.answers, self.store)
        except BaseException:
            self.close()
            raise
        self.log = log or (lambda line: print(line, file=sys.stderr, flush=True))

    def close(self):
        if self.store is not None:
            self.store.close()
        if self.lock is not None:
            release_set(self.folder, self.lock)
            self.lock = None

    def read_set_name(self):
        try:
            return json.loads((self.folder / "set.json").read_text(encoding="utf-8"))["set"]
        except (OSError, ValueError, KeyError, TypeError):
            return self.folder.name

    def links_csv(self):
        text = io.StringIO()
        writer = csv.writer(text, lineterminator="\n")
        writer.writerow(["learner", "link"])
        writer.writerows([learner, f"{self.base_url}/l/{value}"]
                         for learner, value in self.learner_tokens.items())
        return text.getvalue().encode("utf-8")

    def setter_link(self):
        return f"{self.base_url}/s/{self.setter_token}"

    def learner_of(self, presented):
        digest = hashlib.sha256(presented.encode("utf-8", "surrogatepass")).digest()
        learner = self.by_hash.get(digest)
        if learner is not None and same(presented, self.learner_tokens[learner]):
            return learner
        return None

    # ------------------------------------------------------------ WSGI

    def __call__(self, environ, start_response):
        started = time.monotonic()
        method = environ.get("REQUEST_METHOD", "GET")
        path = environ.get("PATH_INFO", "/")
        try:
            status, headers, body, what = self.route(method, path, environ)
        except BadRequest:
            status, headers, body, what = "400 Bad Request", [], pages.page(
                "Bad request", "<p>That is no request of this server.</p>"), "bad request"
        except Exception as error:  # pylint: disable=broad-except
            # Never the path in a log: it holds a token.
            status, headers, body, what = "500 Internal Server Error", [], pages.page(
                "Something went wrong", "<p>Try again in a moment.</p>"), \
                f"error {type(error).__name__}"
        headers = [("Content-Type", "text/html; charset=utf-8")] * (not headers) + headers
        headers += HEADERS
        if isinstance(body, bytes):
            headers.append(("Content-Length", str(len(body))))
            body = [body]
        start_response(status, headers)
        elapsed = 1000 * (time.monotonic() - started)
        self.log(f"{method} {what} {status.split()[0]} {elapsed:.1f} ms")
        return body

    def route(self, method, path, environ):
        parts = path.strip("/").split("/")
        if path == "/style.css" and method == "GET":
            return "200 OK", [("Content-Type", "text/css; charset=utf-8")], pages.STYLE, \
                "style.css"
        if len(parts) >= 2 and parts[0] == "l":
            learner = self.learner_of(parts[1])
            if learner is not None:
                what = f"learner {short_hash(parts[1])}"
                if len(parts) == 2 and method == "GET":
                    return "200 OK", [], self.learner_page(learner), what
                if len(parts) == 3 and parts[2] == "answer" and method == "POST":
                    return (*self.answer(learner, environ), what + " answer")
                if len(parts) == 4 and parts[2] == "p" and method == "GET":
                    found = self.package(learner, parts[3], environ)
                    if found is not None:
                        return (*found, what + " package")
        if len(parts) in (2, 3) and parts[0] == "s" and method == "GET" and \
                same(parts[1], self.setter_token):
            if len(parts) == 2:
                return "200 OK", [], self.setter_page(), "setter"
            if parts[2] == "report.csv":
                return "200 OK", [("Content-Type", "text/csv; charset=utf-8"),
                                  ("Content-Disposition", 'attachment; filename="report.csv"')], \
                    self.progress.report(), "setter report"
        # The same answer for every wrong token, and for every path without one.
        return "404 Not Found", [], pages.NOT_FOUND, "not found"

    def learner_page(self, learner):
        return pages.learner_page(self.set_name, self.codes.get(learner),
                                  f"/l/{self.learner_tokens[learner]}", self.packages[learner],
                                  self.csrf(learner), ATTEMPTS, int(WINDOW.total_seconds() // 60))

    def csrf(self, learner):
        return token(self.key, "form", learner)

    def package(self, learner, name, environ):
        """One of the learner's packages, or its .sha256; None for any other
        name. Behind nginx, nginx itself sends the file."""
        names = {package for package, _ in self.packages[learner]}
        checksum = name.endswith(".sha256") and name[:-len(".sha256")] in names
        if not checksum and name not in names:
            return None
        if not checksum:
            self.progress.download(learner, name)
        headers = [("Content-Type", "text/plain; charset=utf-8")] if checksum else [
            ("Content-Type", "application/octet-stream"),
            ("Content-Disposition", f'attachment; filename="{name}"')]
        if self.behind_nginx:
            return "200 OK", headers + [("X-Accel-Redirect", ACCEL_PREFIX + name)], b""
        source = open(self.folder / "packages" / name, "rb")  # pylint: disable=consider-using-with
        headers.append(("Content-Length", str(os.fstat(source.fileno()).st_size)))
        wrapper = environ.get("wsgi.file_wrapper")
        return "200 OK", headers, wrapper(source, 65536) if wrapper else \
            iter(lambda: source.read(65536), b"")

    def answer(self, learner, environ):
        fields = form_of(environ)
        if fields is None:
            return "413 Content Too Large", [], pages.page("Too large",
                                                          "<p>That is no answer.</p>")
        if not same(fields.get("csrf", ""), self.csrf(learner)):
            return "403 Forbidden", [], pages.refused_page()
        right, moment, wait = self.progress.submit(learner, fields.get("user_name", ""),
                                                   fields.get("password", ""))
        back = f"/l/{self.learner_tokens[learner]}"
        if right is None:
            return "429 Too Many Requests", [("Retry-After", str(max(1, int(wait))))], \
                pages.limited_page(ATTEMPTS, int(WINDOW.total_seconds() // 60),
                                   now() + datetime.timedelta(seconds=wait), back)
        return "200 OK", [], pages.verdict_page(right, moment, back)

    def setter_page(self):
        results = self.progress.results()
        with self.progress.lock:
            return pages.setter_page(self.set_name, self.progress.grades.summary(results),
                                     f"/s/{self.setter_token}/report.csv", results,
                                     self.progress, self.started, now(), ATTEMPTS)


def listen_address(text):
    found = re.fullmatch(r"\[?([^\]]*)\]?:([0-9]{1,5})", text)
    if not found or not 0 < int(found.group(2)) < 65536:
        raise SetError(f"--listen: {escaped(text)} is not HOST:PORT (127.0.0.1:8000)")
    return found.group(1), int(found.group(2))


def add_options(commands):
    serving = commands.add_parser(
        "serve", help="serve a made set: each learner's page, packages and answer form",
        description="Serves a set that `make` wrote: each learner fetches their own packages "
        "and hands in their answer at their own link (DIR/links.csv); the setter watches the "
        "class at the link printed on start. Needs no secret. Plain HTTP: in production, put "
        "it behind the nginx site that `nginx-site` writes, for HTTPS and slow clients.")
    serving.add_argument("--set-dir", required=True, metavar="DIR", help="the set's folder")
    serving.add_argument("--listen", default="127.0.0.1:8000", metavar="HOST:PORT",
                         help="where to listen (default: 127.0.0.1:8000)")
    serving.add_argument("--base-url", metavar="URL",
                         help="the address learners reach it at, for their links (default: "
                         "http://HOST:PORT)")
    serving.add_argument("--db", metavar="FILE",
                         help=f"the submissions' database (default: DIR/{DATABASE})")
    serving.add_argument("--threads", type=int, default=8, metavar="N",
                         help="requests served at once (default: 8)")
    serving.add_argument("--behind-nginx", action="store_true",
                         help="let nginx send the packages (X-Accel-Redirect to the internal "
                         f"location {ACCEL_PREFIX} of the site `nginx-site` writes)")
    serving.add_argument("--stop-after", type=float, metavar="SECONDS",
                         help="stop by itself after this long (for a trial or a test)")
    listing = commands.add_parser(
        "submissions", help="write every submission the course server recorded, as CSV",
        description="Writes learner,user_name,password,submitted_at in the order recorded: "
        "the shape `grade --submissions` reads; or a back-up of the whole record. Safe while "
        "the server runs.")
    listing.add_argument("--set-dir", required=True, metavar="DIR", help="the set's folder")
    listing.add_argument("--db", metavar="FILE",
                         help=f"the submissions' database (default: DIR/{DATABASE})")
    listing.add_argument("--out", metavar="FILE", help="the CSV to write")
    listing.add_argument("--backup", metavar="FILE",
                         help="a copy of the whole database to write, in one file, through "
                         "SQLite's online back-up (needs no sqlite3 program)")


def database_of(arguments):
    return str(arguments.db or Path(arguments.set_dir) / DATABASE)


def declared(arguments):
    """What `serve` and `submissions` read and write, for files.Files."""
    folder, database = Path(arguments.set_dir), database_of(arguments)
    inputs = [(f"the set's {name}", str(folder / name), False) for name in SET_FILES]
    inputs.append(("the set's packages", str(folder / "packages"), True))
    if arguments.command == "serve":
        return inputs, [("--db", database, False), ("the set's links.csv", str(folder / LINKS),
                                                     False),
                        ("the set's server key", str(folder / KEY_FILE), False),
                        ("the set's server lock", str(folder / LOCK_FILE), False)]
    inputs += [("the set's server key", str(folder / KEY_FILE), False),
               ("the set's links.csv", str(folder / LINKS), False)]
    inputs += [("--db", database + suffix, False) for suffix in ("", "-wal", "-shm")]
    return inputs, [("--out", arguments.out, False), ("--backup", arguments.backup, False)]


def write_submissions(arguments, files, work_space, say):
    """The record as CSV, or a back-up. The database is read from a copy in
    the run's own temporary folder, so that nothing is ever written beside
    it, and a folder the setter cannot write in is no obstacle."""
    if not (arguments.out or arguments.backup):
        raise SetError("name what to write: --out FILE (the CSV), --backup FILE, or both")
    database = Path(database_of(arguments))
    if not database.is_file():
        raise SetError(f"{escaped(database)}: no submissions database here (has `serve` run?)")
    work = work_space.folder(tempfile.gettempdir(), workspace.WORK_PREFIX)
    copy = work / DATABASE
    copy_of(database, copy)
    store = Store(copy, read_only=True, shown_as=database)
    try:
        content = submissions_csv(store)
        count = store.rows("SELECT COUNT(*) FROM submissions")[0][0]
    except sqlite3.Error as error:
        raise unreadable(escaped(database), error) from error
    finally:
        store.close()
    if arguments.backup:
        backup(copy, work / "backup.sqlite", escaped(database))
        files.stage("--backup", arguments.backup, (work / "backup.sqlite").read_bytes(), 0o600)
    if arguments.out:
        files.stage("--out", arguments.out, content, 0o600)
    files.place()
    say(f"{count} submission(s): " + ", ".join(escaped(path) for path in (
        arguments.out, arguments.backup) if path))
    return 0


def checked_options(arguments):
    host, port = listen_address(arguments.listen)
    base_url = arguments.base_url or f"http://{host if ':' not in host else f'[{host}]'}:{port}"
    web_address(base_url, "--base-url")
    if not 1 <= arguments.threads <= 1000:
        raise SetError(f"--threads: {arguments.threads} is not 1 to 1000")
    if arguments.stop_after is not None and not 0 < arguments.stop_after <= 10 ** 7:
        raise SetError(f"--stop-after: {arguments.stop_after} is not a number of seconds above "
                       "0 (at most 10,000,000)")
    database = Path(database_of(arguments))
    if database.is_file() and database.stat().st_size == 0:
        raise SetError(f"{escaped(database)}: an empty file, not a database (a failed back-up "
                       "copy?); restore it, or remove it to start a new record")
    return host, port, base_url


def connection_limit():
    """As many connections as the descriptors allow, up to CONNECTIONS."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    wanted = CONNECTIONS + 100 if hard == resource.RLIM_INFINITY else min(hard, CONNECTIONS + 100)
    if soft != resource.RLIM_INFINITY and soft < wanted:
        resource.setrlimit(resource.RLIMIT_NOFILE, (wanted, hard))
        soft = wanted
    return max(10, min(CONNECTIONS, soft - 100))


def serve(arguments, files, say, interrupted):
    """Serves until SIGTERM, SIGINT, SIGHUP or --stop-after. Those only set
    a flag that the serving loop reads twice a second: raised inside
    waitress, they would be taken for a fault of one connection and lost."""
    try:
        from waitress import wasyncore  # pylint: disable=import-outside-toplevel
        from waitress.server import create_server  # pylint: disable=import-outside-toplevel
    except ImportError as error:
        raise SetError("serving needs python3-waitress (`bash .ci/install sets`, or "
                       "`apt-get install -y python3-waitress`)") from error
    host, port, base_url = checked_options(arguments)
    folder, database = Path(arguments.set_dir), Path(database_of(arguments))
    before = {path: path.exists() for path in (folder / KEY_FILE, database)}
    with signals_held():  # what is made is recorded, so a signal's message names it
        try:
            app = App(folder, arguments.db, base_url, behind_nginx=arguments.behind_nginx)
        finally:
            files.made([path for path, existed in before.items()
                        if not existed and path.exists()])
    stops = []
    try:
        files.stage("the set's links.csv", folder / LINKS, app.links_csv(), 0o600)
        files.place()
        sockets = {}
        try:
            server = create_server(
                app, map=sockets, host=host, port=port, threads=arguments.threads,
                ident="login-challenge", clear_untrusted_proxy_headers=True,
                connection_limit=connection_limit(), channel_timeout=CHANNEL_TIMEOUT,
                cleanup_interval=1, max_request_body_size=BODY_LIMIT,
                max_request_header_size=16384, asyncore_use_poll=True, backlog=1024)
        except OSError as error:
            raise SetError(f"--listen {escaped(arguments.listen)}: {error.strerror}") from error
        for number in STOPPING:
            signal.signal(number, lambda number, _frame: stops.append(number))
        app.store.start_downloads_log()
        say(f"serving {len(app.answers)} learner(s) at {base_url}, their links in "
            f"{escaped(folder / LINKS)}; the setter's page: {app.setter_link()}")
        deadline = None if arguments.stop_after is None else \
            time.monotonic() + arguments.stop_after
        try:
            while not stops and not workspace.taken and \
                    (deadline is None or time.monotonic() < deadline):
                wasyncore.loop(timeout=0.5, map=sockets, use_poll=True, count=1)
        finally:
            with signals_held():
                server.close()
                wasyncore.close_all(sockets, ignore_all=True)
                server.task_dispatcher.shutdown(timeout=STOP_WAIT)
    finally:
        with signals_held():
            app.close()
    if workspace.taken:
        raise interrupted(workspace.taken[0])  # a limit, not a request to stop
    why = f"on {signal.Signals(stops[0]).name}" if stops else \
        f"after --stop-after {arguments.stop_after:g} s"
    say(f"stopped {why}; every answer acknowledged is recorded", error=True)
    return 0
