"""The course server: each learner fetches their own program and hands in
their answer at a link of their own; the setter watches the class on a page
of their own. It needs no secret, only what `make` wrote: answers.csv and
handout.csv, the packages, and a key of its own that it makes in the set's
folder on its first start, from which every link's token comes, so that
links never move while the folder is kept.

Every submission is committed to SQLite (WAL, synchronous) before its
verdict is shown, so nothing acknowledged is lost to a kill, a power cut or a
restart. The verdict is the grading rule's (`grading.typed`), and the
setter's report is `grade`'s own (`grading.Grades`)."""

import base64
import csv
import datetime
import hashlib
import hmac
import html
import io
import json
import os
import re
import secrets
import shutil
import signal
import sqlite3
import tempfile
import string
import sys
import threading
import time
import urllib.parse
from pathlib import Path

from . import grading, joining, workspace
from .workspace import signals_held
from .common import SetError, escaped, web_address
from .handouts import package_columns, read_handout
from .inputs import answer_rows

TEMPLATES = Path(__file__).resolve().parent / "templates"
KEY_FILE = "server.key"
DATABASE = "submissions.sqlite"
LINKS = "links.csv"
ATTEMPTS, WINDOW = 10, datetime.timedelta(minutes=10)  # no faster an oracle than the program
BODY_LIMIT = 4096
TIME_FORMAT = "%Y-%m-%d %H:%M:%S.%f"
HEADERS = [
    ("Content-Security-Policy", "default-src 'none'; style-src 'self'; form-action 'self'; "
     "base-uri 'none'; frame-ancestors 'none'"),
    ("X-Content-Type-Options", "nosniff"), ("X-Frame-Options", "DENY"),
    ("Referrer-Policy", "no-referrer"), ("Cache-Control", "no-store"),
    ("Cross-Origin-Opener-Policy", "same-origin"), ("Cross-Origin-Resource-Policy", "same-origin"),
]
SUBMISSIONS_HEADER = ["learner", "user_name", "password", "submitted_at"]
SUBMISSIONS_TABLE = ("CREATE TABLE IF NOT EXISTS submissions (id INTEGER PRIMARY KEY, learner "
                     "TEXT, user_name TEXT, password TEXT, submitted_at TEXT, verdict TEXT)")
DOWNLOADS_TABLE = "CREATE TABLE IF NOT EXISTS downloads (learner TEXT, package TEXT, " \
                  "downloaded_at TEXT)"
STORE_TABLES = {"submissions", "downloads"}
# What a set's folder holds that no command but `make` and `serve` writes.
SET_FILES = ["answers.csv", "handout.csv", "set.json", "SHA256SUMS", ".gitignore"]


def template(name, **fields):
    """A page from tools/challenge_set/templates, the fields already escaped."""
    return string.Template((TEMPLATES / name).read_text(encoding="utf-8")).substitute(fields)


def page(title, body, refresh=""):
    return template("page.html", title=html.escape(title), body=body, refresh=refresh).encode()


def now():
    return datetime.datetime.now(datetime.timezone.utc).replace(tzinfo=None)


def server_key(folder):
    """The set's server key: made once, owner-only, and kept with the set."""
    path = Path(folder) / KEY_FILE
    try:
        descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        with os.fdopen(descriptor, "wb") as output:
            output.write(secrets.token_bytes(32))
    except FileExistsError:
        pass
    key = path.read_bytes()
    if len(key) != 32:
        raise SetError(f"{escaped(path)}: not a key this tool made (32 bytes); restore it from "
                       "the set's back-up, or remove it to give every learner a new link")
    return key


def token(key, *purpose):
    """An unguessable token of 144 bits for one purpose, the same on every start."""
    digest = hmac.new(key, "\0".join(purpose).encode(), hashlib.sha256).digest()[:18]
    return base64.urlsafe_b64encode(digest).decode()


def short_hash(text):
    """What the log shows of a token: enough to tell two apart, nothing to use."""
    return hashlib.sha256(text.encode()).hexdigest()[:8]


class Store:
    """The submissions and downloads, in SQLite: one connection behind a
    lock, every write committed before it returns. `read_only` opens a
    database that must already be the tool's, and changes nothing in it."""

    def __init__(self, path, read_only=False, shown_as=None):
        self.lock = threading.Lock()
        name = escaped(shown_as or path)
        try:
            if read_only:
                uri = "file:" + urllib.parse.quote(os.path.realpath(path)) + "?mode=ro"
                self.connection = sqlite3.connect(uri, uri=True, check_same_thread=False,
                                                  isolation_level=None)
            else:
                # Owner-only, as every answer typed is in it; SQLite gives
                # its -wal and -shm files the database's mode.
                os.close(os.open(path, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW, 0o600))
                self.connection = sqlite3.connect(path, check_same_thread=False,
                                                  isolation_level=None)
            tables = {row[0] for row in self.connection.execute(
                "SELECT name FROM sqlite_master WHERE type = 'table'")}
            if tables != STORE_TABLES and (read_only or tables):
                self.connection.close()
                raise SetError(f"{name}: not the submissions database of a course server: it "
                               f"holds {', '.join(sorted(tables)) or 'no table'}; name the one "
                               "`serve` wrote (the set's submissions.sqlite)")
            if not read_only:
                self.connection.execute("PRAGMA journal_mode=WAL")
                self.connection.execute("PRAGMA synchronous=FULL")
                self.connection.execute(SUBMISSIONS_TABLE)
                self.connection.execute(DOWNLOADS_TABLE)
        except sqlite3.Error as error:
            raise unreadable(name, error) from error

    def submit(self, learner, user_name, password, verdict):
        """Records a submission, or returns when the learner may try again."""
        with self.lock:
            moment = now()
            recent = self.connection.execute(
                "SELECT submitted_at FROM submissions WHERE learner = ? AND submitted_at > ? "
                "ORDER BY submitted_at", (learner, (moment - WINDOW).strftime(TIME_FORMAT))
            ).fetchall()
            if len(recent) >= ATTEMPTS:
                return None, datetime.datetime.strptime(recent[0][0], TIME_FORMAT) + WINDOW
            self.connection.execute("INSERT INTO submissions (learner, user_name, password, "
                                    "submitted_at, verdict) VALUES (?, ?, ?, ?, ?)",
                                    (learner, user_name, password,
                                     moment.strftime(TIME_FORMAT), verdict))
            return moment, None

    def downloaded(self, learner, package):
        with self.lock:
            self.connection.execute("INSERT INTO downloads VALUES (?, ?, ?)",
                                    (learner, package, now().strftime(TIME_FORMAT)))

    def submissions(self):
        """learner, user_name, password, submitted_at of each, oldest first."""
        return self.rows("SELECT learner, user_name, password, submitted_at FROM submissions "
                         "ORDER BY submitted_at, id")

    def rows(self, query, *parameters):
        with self.lock:
            return self.connection.execute(query, parameters).fetchall()

    def close(self):
        with self.lock:
            self.connection.close()


def unreadable(name, error):
    return SetError(f"{name}: the submissions database cannot be read ({error}); restore it "
                    "from its back-up")


def submissions_csv(store):
    """Every recorded submission, oldest first, in the shape `grade` reads."""
    text = io.StringIO()
    # Every field quoted: a learner's bare CR would otherwise stand unquoted
    # (the line end is \n) and end a row where `grade` reads it.
    writer = csv.writer(text, lineterminator="\n", quoting=csv.QUOTE_ALL)
    writer.writerow(SUBMISSIONS_HEADER)
    writer.writerows(store.submissions())
    return text.getvalue().encode("utf-8")


class Recorded:
    """The recorded submissions as grading.Grades reads a table."""

    def __init__(self, store):
        self.store = store

    def rows(self):
        for number, row in enumerate(self.store.submissions(), start=2):
            yield number, list(row), None



class App:
    """The WSGI application of one set."""

    def __init__(self, folder, database=None, base_url="http://127.0.0.1:8000", log=None):
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
        self.key = server_key(folder)  # once the folder is known to be a set's
        self.base_url = base_url.rstrip("/")
        self.learner_tokens = {learner: token(self.key, "learner", learner)
                               for learner in self.answers}
        # Looked up by a hash of the token, then compared in constant time.
        self.by_hash = {hashlib.sha256(value.encode()).digest(): learner
                        for learner, value in self.learner_tokens.items()}
        self.setter_token = token(self.key, "setter")
        self.store = Store(database or self.folder / DATABASE)
        self.log = log or (lambda line: print(line, file=sys.stderr, flush=True))

    def read_set_name(self):
        try:
            return json.loads((self.folder / "set.json").read_text(encoding="utf-8"))["set"]
        except (OSError, ValueError, KeyError):
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
        learner = self.by_hash.get(hashlib.sha256(presented.encode()).digest())
        if learner is not None and hmac.compare_digest(presented, self.learner_tokens[learner]):
            return learner
        return None

    # ------------------------------------------------------------ WSGI

    def __call__(self, environ, start_response):
        started = time.monotonic()
        method = environ.get("REQUEST_METHOD", "GET")
        path = environ.get("PATH_INFO", "/")
        try:
            status, headers, body, what = self.route(method, path, environ)
        except Exception as error:  # pylint: disable=broad-except
            # Never the path in a log: it holds a token.
            status, headers, body, what = "500 Internal Server Error", [], page(
                "Something went wrong", "<p>Try again in a moment.</p>"), \
                f"error {type(error).__name__}"
        headers = [("Content-Type", "text/html; charset=utf-8")] * (not headers) + headers
        headers += HEADERS + [("Content-Length", str(len(body)))]
        start_response(status, headers)
        elapsed = 1000 * (time.monotonic() - started)
        self.log(f"{method} {what} {status.split()[0]} {elapsed:.1f} ms")
        return [body]

    def route(self, method, path, environ):
        parts = path.strip("/").split("/")
        if path == "/style.css" and method == "GET":
            css = (TEMPLATES / "style.css").read_bytes()
            return "200 OK", [("Content-Type", "text/css; charset=utf-8")], css, "style.css"
        if len(parts) >= 2 and parts[0] == "l":
            learner = self.learner_of(parts[1])
            if learner is not None:
                what = f"learner {short_hash(parts[1])}"
                if len(parts) == 2 and method == "GET":
                    return "200 OK", [], self.learner_page(learner), what
                if len(parts) == 3 and parts[2] == "answer" and method == "POST":
                    return (*self.answer(learner, environ), what + " answer")
                if len(parts) == 4 and parts[2] == "p" and method == "GET":
                    found = self.package(learner, parts[3])
                    if found is not None:
                        return (*found, what + " package")
        if len(parts) in (2, 3) and parts[0] == "s" and method == "GET" and \
                hmac.compare_digest(parts[1], self.setter_token):
            if len(parts) == 2:
                return "200 OK", [], self.setter_page(), "setter"
            if parts[2] == "report.csv":
                return "200 OK", [("Content-Type", "text/csv; charset=utf-8"),
                                  ("Content-Disposition", 'attachment; filename="report.csv"')], \
                    self.report(), "setter report"
        # The same answer for every wrong token, and for every path without one.
        return "404 Not Found", [], page("Not found", template("not-found.html")), "not found"

    def learner_page(self, learner):
        value = self.learner_tokens[learner]
        packages = "".join(
            f'<tr><td><a href="/l/{value}/p/{html.escape(name)}" download>{html.escape(name)}'
            f'</a></td><td><code>{html.escape(digest)}</code></td></tr>\n'
            for name, digest in self.packages[learner])
        body = template("learner.html", set=html.escape(self.set_name),
                        code=html.escape(self.codes.get(learner) or ""), packages=packages,
                        action=f"/l/{value}/answer", csrf=self.csrf(learner),
                        limit=ATTEMPTS, window=int(WINDOW.total_seconds() // 60))
        return page("login-challenge: your copy", body)

    def csrf(self, learner):
        return token(self.key, "form", learner)

    def package(self, learner, name):
        """One of the learner's packages, or its .sha256; None for any other name."""
        names = {package for package, _ in self.packages[learner]}
        checksum = name.endswith(".sha256") and name[:-len(".sha256")] in names
        if not checksum and name not in names:
            return None
        self.store.downloaded(learner, name)
        headers = [("Content-Type", "text/plain; charset=utf-8")] if checksum else [
            ("Content-Type", "application/octet-stream"),
            ("Content-Disposition", f'attachment; filename="{name}"')]
        return "200 OK", headers, (self.folder / "packages" / name).read_bytes()

    def answer(self, learner, environ):
        try:
            length = int(environ.get("CONTENT_LENGTH") or 0)
        except ValueError:
            length = -1
        if not 0 <= length <= BODY_LIMIT:
            return "413 Content Too Large", [], page("Too large", "<p>That is no answer.</p>")
        body = environ["wsgi.input"].read(length).decode("utf-8", errors="replace")
        fields = urllib.parse.parse_qs(body, keep_blank_values=True, max_num_fields=8)
        first = {name: values[0] for name, values in fields.items()}
        if not hmac.compare_digest(first.get("csrf", ""), self.csrf(learner)):
            return "403 Forbidden", [], page("Refused", "<p>Hand in your answer from your own "
                                                         "page.</p>")
        user_name, password = first.get("user_name", ""), first.get("password", "")
        right = grading.typed(user_name, password) == self.answers[learner]
        verdict = "Correct" if right else "Try Again"
        recorded, after = self.store.submit(learner, user_name, password, verdict)
        back = f"/l/{self.learner_tokens[learner]}"
        window = int(WINDOW.total_seconds() // 60)
        if recorded is None:
            return "429 Too Many Requests", [("Retry-After", str(max(1, int(
                (after - now()).total_seconds()))))], page("Not yet", template(
                    "limited.html", limit=ATTEMPTS, window=window,
                    after=after.strftime("%H:%M:%S"), back=back))
        explanation = ("Your program answers \"Correct\" to these: you have solved it." if right
                       else "Your program would answer \"Try Again\" to these.")
        return "200 OK", [], page(verdict, template(
            "verdict.html", kind="correct" if right else "wrong", verdict=verdict,
            explanation=html.escape(explanation), time=recorded.strftime("%Y-%m-%d %H:%M:%S"),
            back=back))

    def graded(self):
        timing = ("submitted_at", lambda fields: datetime.datetime.strptime(fields[3],
                                                                            TIME_FORMAT))
        grades = grading.Grades(self.answers, Recorded(self.store), (0, 1, 2),
                                joining.Ids(self.answers), timing)
        return grades, grades.results()

    def report(self):
        grades, results = self.graded()
        return grades.report(results, "1")

    def setter_page(self):
        grades, results = self.graded()
        downloads = dict(self.store.rows("SELECT learner, MIN(downloaded_at) FROM downloads "
                                         "GROUP BY learner"))
        attempts = dict(self.store.rows("SELECT learner, COUNT(*) FROM submissions GROUP BY "
                                        "learner"))
        solved = dict(self.store.rows("SELECT learner, MIN(submitted_at) FROM submissions "
                                      "WHERE verdict = 'Correct' GROUP BY learner"))
        rows = "".join(
            f"<tr><td>{html.escape(learner)}</td>"
            f"<td>{html.escape(shown_time(downloads.get(learner)) or 'no')}</td>"
            f"<td>{attempts.get(learner, 0)}</td>"
            f"<td>{html.escape(shown_time(solved.get(learner)) or 'no')}</td>"
            f"<td>{html.escape(detail)}</td></tr>\n"
            for learner, (_, detail) in results.items())
        body = template("setter.html", set=html.escape(self.set_name),
                        summary=html.escape(grades.summary(results)),
                        report=f"/s/{self.setter_token}/report.csv", rows=rows)
        return page("login-challenge: the class", body,
                    refresh='<meta http-equiv="refresh" content="30">\n')


def shown_time(value):
    return value[:19] + " UTC" if value else ""


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
        "class at the link printed on start. Needs no secret. Plain HTTP: put it behind a "
        "reverse proxy for HTTPS.")
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
    serving.add_argument("--stop-after", type=float, metavar="SECONDS",
                         help="stop by itself after this long (for a trial or a test)")
    listing = commands.add_parser(
        "submissions", help="write every submission the course server recorded, as CSV",
        description="Writes learner,user_name,password,submitted_at, oldest first: the shape "
        "`grade --submissions` reads.")
    listing.add_argument("--set-dir", required=True, metavar="DIR", help="the set's folder")
    listing.add_argument("--db", metavar="FILE",
                         help=f"the submissions' database (default: DIR/{DATABASE})")
    listing.add_argument("--out", required=True, metavar="FILE", help="the CSV to write")


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
                        ("the set's server key", str(folder / KEY_FILE), False)]
    inputs += [("the set's server key", str(folder / KEY_FILE), False),
               ("the set's links.csv", str(folder / LINKS), False)]
    inputs += [("--db", database + suffix, False) for suffix in ("", "-wal", "-shm")]
    return inputs, [("--out", arguments.out, False)]


def write_submissions(arguments, files, work_space, say):
    """The record as CSV. The database is read from a copy in the run's own
    temporary folder (with its -wal, which holds what a killed server had
    committed last), so that nothing is ever written beside it, and a
    folder the setter cannot write in is no obstacle."""
    database = Path(database_of(arguments))
    if not database.is_file():
        raise SetError(f"{escaped(database)}: no submissions database here (has `serve` run?)")
    work = work_space.folder(tempfile.gettempdir(), workspace.WORK_PREFIX)
    copy = work / DATABASE
    try:
        shutil.copyfile(database, copy)
        if os.path.isfile(f"{database}-wal"):
            shutil.copyfile(f"{database}-wal", f"{copy}-wal")
    except OSError as error:
        raise SetError(f"{escaped(database)}: cannot read it: {error.strerror}") from error
    store = Store(copy, read_only=True, shown_as=database)
    try:
        content = submissions_csv(store)
    except sqlite3.Error as error:
        raise unreadable(escaped(database), error) from error
    finally:
        store.close()
    files.stage("--out", arguments.out, content, 0o600)
    files.place()
    count = content.count(b"\n") - 1
    say(f"{count} submission(s): {escaped(arguments.out)}")
    return 0


def serve(arguments, files, say, interrupted):
    """Serves until SIGTERM, SIGINT or --stop-after; `interrupted` is the
    exception the tool's signal handler raises."""
    try:
        import waitress  # pylint: disable=import-outside-toplevel
    except ImportError as error:
        raise SetError("serving needs python3-waitress (`bash .ci/install sets`, or "
                       "`apt-get install -y python3-waitress`)") from error
    host, port = listen_address(arguments.listen)
    base_url = arguments.base_url or f"http://{host if ':' not in host else f'[{host}]'}:{port}"
    web_address(base_url, "--base-url")
    if not 1 <= arguments.threads <= 1000:
        raise SetError(f"--threads: {arguments.threads} is not 1 to 1000")
    if arguments.stop_after is not None and not 0 < arguments.stop_after <= 10 ** 7:
        raise SetError(f"--stop-after: {arguments.stop_after} is not a number of seconds above "
                       "0 (at most 10,000,000)")
    folder, database = Path(arguments.set_dir), Path(database_of(arguments))
    if database.is_file() and database.stat().st_size == 0:
        raise SetError(f"{escaped(database)}: an empty file, not a database (a failed back-up "
                       "copy?); restore it, or remove it to start a new record")
    before = {path: path.exists() for path in (folder / KEY_FILE, database)}
    with signals_held():  # what is made is recorded, so a signal's message names it
        app = App(arguments.set_dir, arguments.db, base_url)
        files.made([path for path, existed in before.items() if not existed and path.exists()])
    files.stage("the set's links.csv", Path(arguments.set_dir) / LINKS, app.links_csv(), 0o600)
    files.place()
    try:
        server = waitress.create_server(app, host=host, port=port, threads=arguments.threads,
                                        ident="login-challenge", clear_untrusted_proxy_headers=True)
    except OSError as error:
        app.store.close()
        raise SetError(f"--listen {escaped(arguments.listen)}: {error.strerror}") from error
    if arguments.stop_after:
        timer = threading.Timer(arguments.stop_after,
                                lambda: os.kill(os.getpid(), signal.SIGTERM))
        timer.daemon = True
        timer.start()
    say(f"serving {len(app.answers)} learner(s) at {base_url}, their links in "
        f"{escaped(Path(arguments.set_dir) / LINKS)}; the setter's page: {app.setter_link()}")
    try:
        server.run()
    except interrupted as stop:
        if stop.number not in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            raise  # a limit, not a request to stop: the run ends with its status
        say(f"stopped on {stop}; every answer acknowledged is recorded", error=True)
    finally:
        server.task_dispatcher.shutdown()
        server.close()
        app.store.close()
    return 0
