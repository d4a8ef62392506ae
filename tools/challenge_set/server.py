"""The course server: each learner fetches their own program and hands in
their answer at a link of their own; the setter watches the class on a page
of their own. It needs no secret, only what `make` wrote: answers.csv and
handout.csv, the packages, and a key of its own that it makes in the set's
folder on its first start, from which every link's token comes, so that
links never move while the folder is kept.

This module is the application: which request gets what. The record is
store.py's, the class's progress progress.py's, the pages pages.py's, the
commands and the serving loop serving.py's, and the nginx site in front of
it nginx.py's. Every wrong
request gets a 4xx: the same 404 for every wrong token or path."""

import base64
import csv
import datetime
import hashlib
import hmac
import io
import json
import os
import secrets
import sys
import threading
import time
import urllib.parse
from pathlib import Path

from . import pages
from .common import SetError, escaped
from .handouts import package_columns, read_handout
from .inputs import answer_rows
from .progress import ATTEMPTS, WINDOW, Progress
from .store import DATABASE, Store, claim_set, now, recordable, release_set

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


def check_packages(folder, packages):
    """Every package the learners' pages link, and its .sha256, is there."""
    missing = sorted(name for listed in packages.values() for package, _ in listed
                     for name in (package, f"{package}.sha256")
                     if not (folder / name).is_file())
    if missing:
        raise SetError(f"{escaped(folder)}: lacks {len(missing)} file(s) of the packages that "
                       f"handout.csv names ({', '.join(map(escaped, missing[:3]))}"
                       f"{', ...' * (len(missing) > 3)}); restore them from the set's back-up, "
                       "or make the set again")


LOG_LOCK = threading.Lock()


def log_line(line):
    """A request's line on standard error; one that cannot be written (a
    full disk, a reader gone) is dropped, never the request's answer."""
    try:
        with LOG_LOCK:  # whole lines, whichever thread writes
            sys.stderr.write(line + "\n")
            sys.stderr.flush()
    except (OSError, ValueError):
        pass


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
        check_packages(self.folder / "packages", self.packages)
        self.set_name = self.read_set_name()
        self.base_url = base_url.rstrip("/")
        self.behind_nginx = behind_nginx
        self.started = now()
        # Only once the folder is known to be a set's is anything written in it.
        self.lock = claim_set(self.folder, f"pid {os.getpid()}, serving at {self.base_url} "
                                           f"since {self.started:%Y-%m-%d %H:%M:%S} UTC")
        self.store = None
        try:
            # The record first: a damaged one is refused before a key is made.
            self.store = Store(database or self.folder / DATABASE)
            self.progress = Progress(self.answers, self.store)
            self.key = server_key(folder)
            self.learner_tokens = {learner: token(self.key, "learner", learner)
                                   for learner in self.answers}
            # Looked up by a hash of the token, then compared in constant time.
            self.by_hash = {hashlib.sha256(value.encode()).digest(): learner
                            for learner, value in self.learner_tokens.items()}
            self.setter_token = token(self.key, "setter")
        except BaseException:
            self.close()
            raise
        self.log = log or log_line

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
        headers = [("Content-Type", "text/plain; charset=utf-8")] if checksum else [
            ("Content-Type", "application/octet-stream"),
            ("Content-Disposition", f'attachment; filename="{name}"')]
        path = self.folder / "packages" / name
        try:
            source = open(path, "rb")  # pylint: disable=consider-using-with
        except OSError:
            return None  # gone since the start: the same 404
        if not checksum:
            self.progress.download(learner, name)
        if self.behind_nginx:
            source.close()
            return "200 OK", headers + [("X-Accel-Redirect", ACCEL_PREFIX + name)], b""
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
        with self.progress.lock:
            results = self.progress.grades.results()
            return pages.setter_page(self.set_name, self.progress.grades.summary(results),
                                     f"/s/{self.setter_token}/report.csv", results,
                                     self.progress, self.started, now(), ATTEMPTS)
