#!/usr/bin/env python3
"""The course server as it runs for a class, on a set written by hand.

--alone: waitress alone in front. 120 half-sent requests from one client
leave a learner's page answering within 1 s; a body declared at 100 MiB is
refused before it is read; the record is owner-only; SIGTERM while packages
download stops it within seconds, saying why.

--behind-nginx: real nginx in front, with the site `nginx-site` writes and a
certificate made here. Over HTTPS a learner fetches their page, package and
checksum (the package sent by nginx) and hands in an answer; while 200 slow
connections are held open from another address, their page answers within
1 s. Where nginx cannot start, the test is skipped, saying why.

Everything listens on 127.0.0.1 (the slow clients come from 127.0.0.2) and
stops by itself."""

import argparse
import csv
import http.client
import os
import shutil
import signal
import socket
import ssl
import stat
import subprocess
import sys
import tempfile
import time
import urllib.parse
from pathlib import Path

from support import report
from set_tool_files import LEARNERS, package, write_set

SKIPPED = 77
SLOW_FROM = "127.0.0.2"


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def start_server(tool, folder, port, *extra, log=subprocess.PIPE):
    serving = subprocess.Popen(  # pylint: disable=consider-using-with
        [tool, "serve", "--set-dir", folder, "--listen", f"127.0.0.1:{port}", "--stop-after",
         "120", *extra], stdout=subprocess.PIPE, stderr=log, text=True,
        stdin=subprocess.DEVNULL)
    serving.stdout.readline()  # up and listening
    return serving


def link_of(folder):
    with open(folder / "links.csv", newline="", encoding="utf-8") as links:
        return urllib.parse.urlsplit(list(csv.reader(links))[1][1]).path


def fetch(connect, method, path, body=None, headers=None):
    """(status, body, seconds) of one request on a new connection."""
    started = time.monotonic()
    connection = connect()
    try:
        connection.request(method, path, body=body, headers=headers or {})
        response = connection.getresponse()
        return response.status, response.read(), time.monotonic() - started
    finally:
        connection.close()


def slowest_page(connect, link, times=5):
    """The slowest of a few fetches of a learner's page (a failure: 99 s)."""
    slowest = 0.0
    for _ in range(times):
        try:
            status, _, seconds = fetch(connect, "GET", link)
        except OSError:
            return 99.0
        slowest = max(slowest, seconds if status == 200 else 99.0)
    return slowest


def held_open(port, count, wrap=None):
    """`count` connections from another address, each with a request begun
    and never ended: a third send nothing, a third half a header, a third
    half a body."""
    held = []
    for number in range(count):
        raw = socket.create_connection(("127.0.0.1", port), timeout=5,
                                       source_address=(SLOW_FROM, 0))
        held.append(raw)
        if number % 3 == 0:
            continue
        connection = wrap(raw) if wrap else raw
        held[-1] = connection
        connection.sendall(b"GET /l/nothing HTTP/1.1\r\nHost: a\r\n" if number % 3 == 1 else
                           b"POST /l/x/answer HTTP/1.1\r\nHost: a\r\nContent-Length: 3000\r\n"
                           b"\r\ncsrf=")
    return held


def close_all(held):
    for connection in held:
        connection.close()


def stopped(serving, within):
    try:
        serving.wait(timeout=within)
    except subprocess.TimeoutExpired:
        serving.kill()
        serving.wait()
        return None
    return serving.stderr.read()


def alone(tool, work, failures):
    folder = write_set(work)
    port = free_port()
    serving = start_server(tool, folder, port)
    try:
        link = link_of(folder)

        def connect():
            return http.client.HTTPConnection("127.0.0.1", port, timeout=5)
        held = held_open(port, 120)
        time.sleep(0.5)
        slowest = slowest_page(connect, link)
        close_all(held)
        if slowest > 1:
            failures.append(f"alone, with 120 half-sent requests held: a page took {slowest:.1f} s")
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=5) as huge:
                huge.sendall(f"POST {link}/answer HTTP/1.1\r\nHost: a\r\nContent-Length: "
                             f"{100 * 1024 * 1024}\r\n\r\n".encode() + b"x" * 65536)
                said = huge.recv(64)
        except OSError as error:
            said = str(error).encode()
        if not said.startswith(b"HTTP/1.1 413"):
            failures.append(f"a body declared at 100 MiB: {said!r}, not 413")
        modes = {path.name: oct(stat.S_IMODE(path.stat().st_mode))
                 for path in folder.glob("submissions.sqlite*")}
        if set(modes.values()) != {"0o600"} or len(modes) != 3:
            failures.append(f"the record's modes: {modes}")
        downloads = []
        for learner, *_, code in LEARNERS * 4:
            reader = socket.create_connection(("127.0.0.1", port), timeout=5)
            reader.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            path = f"{link_of_learner(folder, learner)}/p/{package(code)}"
            reader.sendall(f"GET {path} HTTP/1.1\r\nHost: a\r\n\r\n".encode())
            reader.recv(1024)  # the download has begun, and stalls
            downloads.append(reader)
        serving.send_signal(signal.SIGTERM)
        said = stopped(serving, within=10)
        close_all(downloads)
        if said is None or serving.returncode != 0 or "stopped on SIGTERM" not in said:
            failures.append(f"SIGTERM during 12 downloads: {serving.returncode}, {said!r}")
        with open("/dev/full", "w", encoding="utf-8") as full:  # a log that cannot be written
            unlogged = start_server(tool, folder, port, "--stop-after", "5", log=full)
        status = fetch(connect, "GET", link)[0]
        unlogged.wait(timeout=30)
        unlogged.stdout.close()
        if status != 200:
            failures.append(f"with its log on a full disk, a learner's page: {status}")
    finally:
        if serving.poll() is None:
            serving.kill()
            serving.wait()
        serving.stdout.close()
        serving.stderr.close()


def link_of_learner(folder, learner):
    with open(folder / "links.csv", newline="", encoding="utf-8") as links:
        return urllib.parse.urlsplit(dict(list(csv.reader(links))[1:])[learner]).path


NGINX_CONF = """\
worker_processes 1;
pid {work}/nginx.pid;
events {{ worker_connections 2048; }}
http {{
    access_log off;
    client_body_temp_path {work}/body;
    proxy_temp_path {work}/proxy;
    fastcgi_temp_path {work}/fastcgi;
    uwsgi_temp_path {work}/uwsgi;
    scgi_temp_path {work}/scgi;
    include {work}/site.conf;
}}
"""


def certificate(work):
    made = subprocess.run(
        ["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
         "-nodes", "-days", "2", "-subj", "/CN=localhost", "-addext",
         "subjectAltName=IP:127.0.0.1", "-keyout", work / "key.pem", "-out", work / "cert.pem"],
        capture_output=True, text=True, check=False)
    return made.returncode == 0 or made.stderr


def behind_nginx(tool, work, failures):
    nginx = shutil.which("nginx") or ("/usr/sbin/nginx" if os.path.exists("/usr/sbin/nginx")
                                      else None)
    if nginx is None or shutil.which("openssl") is None:
        print("skipped: nginx or openssl is not installed (bash .ci/install test)")
        return SKIPPED
    made = certificate(work)
    if made is not True:
        print(f"skipped: openssl made no certificate: {made.strip()[-200:]}")
        return SKIPPED
    folder = write_set(work)
    for place in (work, folder, folder / "packages"):  # for nginx's worker, as Debian's
        place.chmod(0o755)
    upstream, port = free_port(), free_port()
    site = subprocess.run([tool, "nginx-site", "--set-dir", folder, "--server-name", "localhost",
                           "--certificate", work / "cert.pem", "--certificate-key",
                           work / "key.pem", "--listen", f"127.0.0.1:{port}", "--upstream",
                           f"127.0.0.1:{upstream}", "--out", work / "site.conf"],
                          capture_output=True, text=True, check=False, stdin=subprocess.DEVNULL)
    if site.returncode != 0:
        return failures.append(f"nginx-site: {site.stderr}")
    (work / "nginx.conf").write_text(NGINX_CONF.format(work=work))
    command = ["timeout", "150", nginx, "-p", str(work), "-c", str(work / "nginx.conf"),
               "-e", str(work / "error.log"), "-g", "daemon off;"]
    checked = subprocess.run([*command[2:], "-t"], capture_output=True, text=True, check=False)
    if checked.returncode != 0:
        print(f"skipped: nginx cannot start here: {checked.stderr.strip()[-300:]}")
        return SKIPPED
    front = subprocess.Popen(command, stdin=subprocess.DEVNULL)  # pylint: disable=consider-using-with
    serving = start_server(tool, folder, upstream, "--behind-nginx", "--base-url",
                           f"https://localhost:{port}")
    try:
        context = ssl.create_default_context(cafile=str(work / "cert.pem"))

        def connect():
            return http.client.HTTPSConnection("127.0.0.1", port, timeout=5, context=context)
        deadline = time.monotonic() + 10
        while True:
            try:
                fetch(connect, "GET", "/style.css")
                break
            except OSError:
                if time.monotonic() > deadline or front.poll() is not None:
                    return failures.append(f"nginx did not start: "
                                           f"{(work / 'error.log').read_text()[-300:]}")
                time.sleep(0.1)
        ada, user_name, password, code = LEARNERS[0]
        link = link_of_learner(folder, ada)
        status, page, _ = fetch(connect, "GET", link)
        csrf = page.split(b'name="csrf" value="')[1].split(b'"')[0].decode()
        fetched = {name: fetch(connect, "GET", f"{link}/p/{name}")[:2]
                   for name in (package(code), package(code) + ".sha256")}
        # nginx's internal location answers from outside as every wrong path.
        fetched["/_packages/"] = fetch(connect, "GET", f"/_packages/{package(code)}")[:2]
        not_found = fetch(connect, "GET", "/l/nothing")[1]
        answer = urllib.parse.urlencode({"csrf": csrf, "user_name": user_name,
                                         "password": password})
        verdict = fetch(connect, "POST", f"{link}/answer", answer, {
            "Content-Type": "application/x-www-form-urlencoded"})
        if status != 200 or code.encode() not in page or \
                fetched != {**{name: (200, (folder / "packages" / name).read_bytes())
                               for name in fetched if name[0] != "/"},
                            "/_packages/": (404, not_found)} or \
                verdict[0] != 200 or b'id="verdict">Correct' not in verdict[1]:
            failures.append(f"over HTTPS through nginx: page {status}, package and checksum "
                            f"{[result[0] for result in fetched.values()]}, answer {verdict[0]}")
        tls = ssl.create_default_context(cafile=str(work / "cert.pem"))
        held = held_open(port, 200, lambda raw: tls.wrap_socket(raw, server_hostname="localhost"))
        time.sleep(0.5)
        slowest = slowest_page(connect, link)
        close_all(held)
        if slowest > 1:
            failures.append(f"behind nginx, with 200 slow connections held: a page took "
                            f"{slowest:.1f} s")
    finally:
        serving.terminate()
        stopped(serving, within=10)
        serving.stdout.close()
        serving.stderr.close()
        front.terminate()
        front.wait(timeout=30)
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--tool", required=True)
    parser.add_argument("--behind-nginx", action="store_true")
    arguments = parser.parse_args()
    failures = []
    with tempfile.TemporaryDirectory() as work:
        if arguments.behind_nginx:
            if behind_nginx(arguments.tool, Path(work), failures) == SKIPPED:
                return SKIPPED
        else:
            alone(arguments.tool, Path(work), failures)
    if not failures:
        print("behind nginx over HTTPS: page, package, answer, and 200 slow connections held"
              if arguments.behind_nginx else "alone: 120 half-sent requests, a huge body, the "
              "record's modes and SIGTERM during downloads")
    return report(failures)


if __name__ == "__main__":
    sys.exit(main())
