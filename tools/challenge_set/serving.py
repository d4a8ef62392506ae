"""The `serve` and `submissions` commands: their options, their files, and
the serving loop, which waitress runs with limits set for a class and
which SIGTERM, SIGINT, SIGHUP or --stop-after always end within seconds."""

import importlib.util
import logging
import re
import resource
import signal
import sqlite3
import tempfile
import time
from pathlib import Path

from . import workspace
from .common import SetError, escaped, web_address
from .server import ACCEL_PREFIX, BODY_LIMIT, KEY_FILE, LINKS, SET_FILES, App
from .store import DATABASE, LOCK_FILE, Store, backup, copy_of, submissions_csv, unreadable
from .workspace import signals_held

# Waitress, alone in front: idle and half-sent connections go after
# CHANNEL_TIMEOUT seconds, and CONNECTIONS of them are held at most.
CHANNEL_TIMEOUT, CONNECTIONS, STOP_WAIT = 10, 2000, 3
STOPPING = (signal.SIGTERM, signal.SIGINT, signal.SIGHUP)


def listen_address(text, option="--listen"):
    """(host, port) of HOST:PORT, the host a name or an address and nothing
    else: it goes into nginx's site as it stands."""
    found = re.fullmatch(r"(?:\[([0-9A-Fa-f:.]+)\]|([A-Za-z0-9.-]*)):([0-9]{1,5})", text)
    if not found or not 0 < int(found.group(3)) < 65536:
        raise SetError(f"{option}: {escaped(text)} is not HOST:PORT (127.0.0.1:8000)")
    return found.group(1) or found.group(2), int(found.group(3))


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


def serve_until_stopped(app, arguments, address, stops, say):
    """Runs waitress's loop until a stopping signal is in `stops`, another
    signal is taken, or --stop-after has passed."""
    from waitress import wasyncore  # pylint: disable=import-outside-toplevel
    from waitress.server import create_server  # pylint: disable=import-outside-toplevel
    sockets = {}
    try:
        # waitress refuses a body of its limit itself; the form allows BODY_LIMIT.
        server = create_server(
            app, map=sockets, host=address[0], port=address[1], threads=arguments.threads,
            ident="login-challenge", clear_untrusted_proxy_headers=True,
            connection_limit=connection_limit(), channel_timeout=CHANNEL_TIMEOUT,
            cleanup_interval=1, max_request_body_size=BODY_LIMIT + 1,
            max_request_header_size=16384, asyncore_use_poll=True, backlog=1024)
    except OSError as error:
        raise SetError(f"--listen {escaped(arguments.listen)}: {error.strerror}") from error
    for number in STOPPING:
        signal.signal(number, lambda number, _frame: stops.append(number))
    app.store.start_downloads_log()
    say(f"serving {len(app.answers)} learner(s) at {app.base_url}, their links in "
        f"{escaped(app.folder / LINKS)}; the setter's page: {app.setter_link()}")
    deadline = None if arguments.stop_after is None else time.monotonic() + arguments.stop_after
    try:
        while not stops and not workspace.taken and \
                (deadline is None or time.monotonic() < deadline):
            wasyncore.loop(timeout=0.5, map=sockets, use_poll=True, count=1)
    finally:
        with signals_held():
            # Connections closed first wake the threads that write to them;
            # the trigger they pull goes last, once they have ended (or the
            # wait is over: whatever a late one says then is not shown).
            for channel in list(sockets.values()):
                if channel is server:  # not server.close(), which closes the trigger
                    close_quietly(lambda: wasyncore.dispatcher.close(server))
                elif channel is not server.trigger:
                    close_quietly(channel.close)
            server.task_dispatcher.shutdown(timeout=STOP_WAIT)
            logging.disable(logging.CRITICAL)
            close_quietly(server.trigger.close)


def close_quietly(close):
    try:
        close()
    except OSError:
        pass


def serve(arguments, files, say, interrupted):
    """Serves until SIGTERM, SIGINT, SIGHUP or --stop-after. Those only set
    a flag that the serving loop reads twice a second: raised inside
    waitress, they would be taken for a fault of one connection and lost."""
    if importlib.util.find_spec("waitress") is None:
        raise SetError("serving needs python3-waitress (`bash .ci/install sets`, or "
                       "`apt-get install -y python3-waitress`)")
    host, port, base_url = checked_options(arguments)
    folder, database = Path(arguments.set_dir), Path(database_of(arguments))
    before = {path: path.exists() for path in (folder / KEY_FILE, database)}
    app, stops = None, []
    try:
        with signals_held():  # what is made is recorded, so a signal's message names it
            try:
                app = App(folder, arguments.db, base_url, behind_nginx=arguments.behind_nginx)
            finally:
                files.made([path for path, existed in before.items()
                            if not existed and path.exists()])
        files.stage("the set's links.csv", folder / LINKS, app.links_csv(), 0o600)
        files.place()
        serve_until_stopped(app, arguments, (host, port), stops, say)
    finally:
        if app is not None:
            with signals_held():
                app.close()
    if workspace.taken:
        raise interrupted(workspace.taken[0])  # a limit, not a request to stop
    why = f"on {signal.Signals(stops[0]).name}" if stops else \
        f"after --stop-after {arguments.stop_after:g} s"
    say(f"stopped {why}; every answer acknowledged is recorded", error=True)
    return 0
