#!/usr/bin/env python3
"""Measures the course server on this machine, directly and behind nginx with
TLS (the site `nginx-site` writes), beside two anchors in the same run: nginx
serving the same package as a static file over TLS, and a minimal WSGI app
under the same waitress. Prints:

- latency (p50, p99) of a learner's page, package and answer, each on a new
  connection, with the ratios to the anchors;
- the cost of an answer and of the setter's page with 100,000 submissions
  recorded, beside an empty record;
- a class's minute: 300 learners open their pages and download their
  package within a minute while 50 of them hand in three answers each, and
  the server is killed outright (SIGKILL) halfway and started again; every
  acknowledged answer must be found afterwards;
- the largest class that fetches pages and packages within a minute with the
  p99 page under 1 s, from the visits a second that closed loops of 8 to 256
  learners sustain. The load comes from this machine too, so it is a floor.

The set is made by `make` for 4 learners (Linux only) and grown to the
class's size, each further learner's package a hard link to one of theirs.
Everything listens on 127.0.0.1 and stops by itself."""

import concurrent.futures
import csv
import http.client
import multiprocessing
import os
import random
import shutil
import signal
import sqlite3
import ssl
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
from pathlib import Path

SOURCE = Path(__file__).resolve().parent.parent
TOOL = SOURCE / "tools" / "challenge-set"
sys.path.insert(0, str(SOURCE / "tests"))
# pylint: disable=wrong-import-position
from course_server_production import NGINX_CONF, certificate, free_port  # noqa: E402

MADE, CLASS = 4, 12000
LEARNERS, SUBMITTING, ANSWERS_EACH, SPREAD = 300, 50, 3, 60.0
SAMPLES, RECORD = 200, 100_000
LOOPS, LOOP_SECONDS = (8, 32, 128, 256), 12
CODE_LETTERS = "ABCDEFGHJKMNPQRSTUVWXYZ"
MINIMAL_APP = """
import sys
from waitress import serve
def app(environ, start_response):
    body = b"<!DOCTYPE html><title>hello</title><p>hello</p>" * 40
    start_response("200 OK", [("Content-Type", "text/html"), ("Content-Length", str(len(body)))])
    return [body]
serve(app, host="127.0.0.1", port=int(sys.argv[1]), threads=8, _quiet=True)
"""


def made_set(work):
    """A set made by `make` for MADE learners, grown to CLASS learners."""
    (work / "secret").write_bytes(os.urandom(32))
    (work / "secret").chmod(0o600)
    (work / "roster").write_text("".join(f"made{number}\n" for number in range(MADE)))
    folder = work / "set"
    subprocess.run([TOOL, "make", "--set", "bench", "--secret-file", work / "secret", "--roster",
                    work / "roster", "--out", folder, "--platforms", "linux"], check=True,
                   capture_output=True)
    with open(folder / "answers.csv", newline="", encoding="utf-8") as made:
        answers = list(csv.reader(made))
    with open(folder / "handout.csv", newline="", encoding="utf-8") as made:
        handout = list(csv.reader(made))
    header = handout[0]
    codes = {row[3] for row in answers[1:]}
    for number in range(CLASS - MADE):
        original_answer, original = answers[1 + number % MADE], handout[1 + number % MADE]
        code = original_answer[3]
        while code in codes:
            code = "".join(random.choices(CODE_LETTERS, k=10))
        codes.add(code)
        learner = f"learner{number:05}"
        answers.append([learner, *original_answer[1:3], code])
        row = dict(zip(header, original))
        name = row["linux_package"].replace(original_answer[3], code)
        os.link(folder / "packages" / row["linux_package"], folder / "packages" / name)
        (folder / "packages" / f"{name}.sha256").write_text(f"{row['linux_sha256']}  {name}\n")
        handout.append([{"learner": learner, "code": code, "linux_package": name}.get(
            column, row[column]) for column in header])
    for name, rows in (("answers.csv", answers), ("handout.csv", handout)):
        with open(folder / name, "w", newline="", encoding="utf-8") as output:
            csv.writer(output, lineterminator="\n").writerows(rows)
    (folder / "answers.csv").chmod(0o600)
    return folder, {row[0]: row for row in answers[1:]}


class Server:
    def __init__(self, folder, port, *extra):
        self.folder, self.port, self.extra = folder, port, extra
        self.process, self.peak_kib, self.setter = None, 0, None

    def start(self):
        self.process = subprocess.Popen(  # pylint: disable=consider-using-with
            [TOOL, "serve", "--set-dir", self.folder, "--listen", f"127.0.0.1:{self.port}",
             "--stop-after", "900", "--threads", "8", *self.extra],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.setter = urllib.parse.urlsplit(self.process.stdout.readline().split()[-1]).path

    def sample_memory(self):
        try:
            status = Path(f"/proc/{self.process.pid}/status").read_text()
            self.peak_kib = max(self.peak_kib, int(status.split("VmHWM:")[1].split()[0]))
        except (OSError, IndexError):
            pass

    def kill(self):
        self.sample_memory()
        self.process.send_signal(signal.SIGKILL)
        self.process.wait()
        self.process.stdout.close()

    def stop(self):
        self.sample_memory()
        self.process.terminate()
        self.process.wait(timeout=30)
        self.process.stdout.close()


class Front:
    """Where requests go: directly, or through nginx over TLS."""

    def __init__(self, port, cafile=None):
        self.port, self.cafile, self.context = port, cafile, None

    def __getstate__(self):  # to another process, without the context
        return {"port": self.port, "cafile": self.cafile, "context": None}

    def connection(self):
        if self.cafile is None:
            return http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        if self.context is None:  # made in the process that uses it
            self.context = ssl.create_default_context(cafile=self.cafile)
        return http.client.HTTPSConnection("127.0.0.1", self.port, timeout=30,
                                           context=self.context)

    def request(self, method, path, body=None):
        """(status, seconds, body); status 0 when it could not be reached."""
        started = time.monotonic()
        connection = self.connection()
        try:
            headers = {"Content-Type": "application/x-www-form-urlencoded"} if body else {}
            connection.request(method, path, body=body, headers=headers)
            response = connection.getresponse()
            content = response.read()
            return response.status, time.monotonic() - started, content
        except OSError:
            return 0, time.monotonic() - started, b""
        finally:
            connection.close()


def percentiles(values):
    cut = statistics.quantiles(values, n=100) if len(values) > 1 else values * 99
    return 1000 * statistics.median(values), 1000 * cut[98]


def latency(front, paths, method="GET", bodies=None):
    times = []
    for number in range(SAMPLES):
        body = bodies[number % len(bodies)] if bodies else None
        status, seconds, _ = front.request(method, paths[number % len(paths)], body)
        if status != 200:
            raise SystemExit(f"{method} {paths[number % len(paths)]}: {status}")
        times.append(seconds)
    return percentiles(times)


def page_of(front, link):
    path = urllib.parse.urlsplit(link).path
    _, _, page = front.request("GET", path)
    csrf = page.split(b'name="csrf" value="')[1].split(b'"')[0].decode()
    package = page.split(b'/p/')[1].split(b'"')[0].decode()
    return path, csrf, f"{path}/p/{package}"


def answer_bodies(front, links, answers, learners):
    """Paths and bodies of right answers for learners, each a few times at
    most (the limit is 10 in 10 minutes)."""
    paths, bodies = [], []
    for learner in learners:
        path, csrf, _ = page_of(front, links[learner])
        paths.append(f"{path}/answer")
        bodies.append(urllib.parse.urlencode({"csrf": csrf, "user_name": answers[learner][1],
                                              "password": answers[learner][2]}).encode())
    return paths, bodies


def measure_requests(front, links, answers, learners):
    pages = [urllib.parse.urlsplit(links[learner]).path for learner in learners]
    packages = [page_of(front, links[learner])[2] for learner in learners[:20]]
    paths, bodies = answer_bodies(front, links, answers, learners)
    answer_times = []
    for path, body in zip(paths, bodies):
        status, seconds, _ = front.request("POST", path, body)
        if status != 200:
            raise SystemExit(f"an answer: {status}")
        answer_times.append(seconds)
    return {"page": latency(front, pages), "package": latency(front, packages),
            "answer": percentiles(answer_times)}


def learner_visit(front, link, answers, submits, latencies, acknowledged, lock):
    path = urllib.parse.urlsplit(link).path
    for _ in range(50):  # the server may be restarting: come back, as a learner would
        status, seconds, page = front.request("GET", path)
        if status == 200:
            break
        time.sleep(0.2)
    latencies["page"].append(seconds)
    csrf = page.split(b'name="csrf" value="')[1].split(b'"')[0].decode()
    package = page.split(b'/p/')[1].split(b'"')[0].decode()
    status, seconds, _ = front.request("GET", f"{path}/p/{package}")
    latencies["package"].append(seconds)
    for attempt in range(ANSWERS_EACH if submits else 0):
        pair = answers[1:3] if attempt == ANSWERS_EACH - 1 else ["abc", f"wrong{attempt}"]
        body = urllib.parse.urlencode({"csrf": csrf, "user_name": pair[0],
                                       "password": pair[1]}).encode()
        status, seconds, content = front.request("POST", f"{path}/answer", body)
        latencies["answer"].append(seconds)
        if status == 200 and b'id="verdict"' in content:
            with lock:
                acknowledged.append((answers[0], pair[0], pair[1]))


def class_minute(server, links, answers, learners):
    front = Front(server.port)
    latencies = {"page": [], "package": [], "answer": []}
    acknowledged, lock = [], threading.Lock()
    submitting = set(random.sample(learners, SUBMITTING))
    started = time.monotonic()
    with concurrent.futures.ThreadPoolExecutor(max_workers=64) as pool:
        futures = []
        for number, learner in enumerate(learners):
            time.sleep(max(0.0, started + number * SPREAD / LEARNERS - time.monotonic()))
            server.sample_memory()
            if number == LEARNERS // 2:
                server.kill()  # outright, in the middle of the load
                server.start()
            futures.append(pool.submit(learner_visit, front, links[learner], answers[learner],
                                       learner in submitting, latencies, acknowledged, lock))
        for future in futures:
            future.result()
    return latencies, acknowledged, time.monotonic() - started


def visits(front, paths, seconds, threads):
    """One process of a closed loop: (page times, visits done)."""
    done, pages, lock = [0], [], threading.Lock()
    deadline = time.monotonic() + seconds

    def loop(offset):
        number = offset
        while time.monotonic() < deadline:
            page, package = paths[number % len(paths)]
            number += threads
            status, seconds_taken, _ = front.request("GET", page)
            fetched, _, _ = front.request("GET", package)
            with lock:
                pages.append(seconds_taken if status == 200 else 99.0)
                done[0] += status == 200 and fetched == 200
    workers = [threading.Thread(target=loop, args=(offset,)) for offset in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    return pages, done[0]


def largest_class(front, links):
    """The most visits a minute, over the loops whose p99 page is under 1 s."""
    paths = []
    for learner in list(links)[:2000]:
        page = urllib.parse.urlsplit(links[learner]).path
        paths.append((page, page_of(front, links[learner])[2]))
    results = []
    for loop in LOOPS:
        with multiprocessing.Pool(2) as pool:
            parts = pool.starmap(visits, [(front, paths[half::2], LOOP_SECONDS, loop // 2)
                                          for half in range(2)])
        pages = [seconds for part, _ in parts for seconds in part]
        count = sum(done for _, done in parts)
        results.append((loop, 60 * count / LOOP_SECONDS, percentiles(pages)[1]))
    fitting = [per_minute for _, per_minute, p99 in results if p99 < 1000]
    return results, int(max(fitting)) if fitting else 0


def start_nginx(work, folder, upstream, minimal_port):
    nginx = shutil.which("nginx") or "/usr/sbin/nginx"
    if not os.path.exists(nginx) or certificate(work) is not True:
        raise SystemExit("needs nginx and openssl: bash .ci/install measure")
    for place in (work, folder, folder / "packages"):
        place.chmod(0o755)
    port, static, plain = free_port(), free_port(), free_port()
    subprocess.run([TOOL, "nginx-site", "--set-dir", folder, "--server-name", "localhost",
                    "--certificate", work / "cert.pem", "--certificate-key", work / "key.pem",
                    "--listen", f"127.0.0.1:{port}", "--upstream", f"127.0.0.1:{upstream}",
                    "--per-address", "2000", "--out", work / "site.conf"], check=True,
                   capture_output=True)
    # The anchors: the same packages as static files, over the same TLS and
    # over plain HTTP, and the minimal WSGI app behind the same TLS.
    with open(work / "site.conf", "a", encoding="utf-8") as site:
        site.write(f"server {{ listen 127.0.0.1:{static} ssl; listen 127.0.0.1:{plain}; "
                   f"ssl_certificate {work}/cert.pem; ssl_certificate_key {work}/key.pem; "
                   f"location /static/ {{ alias {folder}/packages/; }} "
                   f"location /minimal/ {{ proxy_pass http://127.0.0.1:{minimal_port}/; }} }}\n")
    (work / "nginx.conf").write_text(NGINX_CONF.format(work=work))
    front = subprocess.Popen(  # pylint: disable=consider-using-with
        ["timeout", "1200", nginx, "-p", str(work), "-c", str(work / "nginx.conf"), "-e",
         str(work / "error.log"), "-g", "daemon off;"], stdin=subprocess.DEVNULL)
    time.sleep(1)
    return front, port, static, plain


def record_cost(folder, server, links, answers, learners):
    """Answer and setter's page with the record as it is."""
    front = Front(server.port)
    paths, bodies = answer_bodies(front, links, answers, learners)
    answers_taken = []
    for path, body in zip(paths, bodies):
        answers_taken.append(front.request("POST", path, body)[1])
    setter = [front.request("GET", server.setter)[1] for _ in range(20)]
    return 1000 * statistics.median(answers_taken), 1000 * statistics.median(setter)


def fill_record(folder, learners):
    connection = sqlite3.connect(folder / "submissions.sqlite")
    moment = time.strftime("%Y-%m-%d %H:%M:%S.000000", time.gmtime(time.time() - 86400))
    connection.executemany(
        "INSERT INTO submissions (learner, user_name, password, submitted_at, verdict) VALUES "
        "(?, ?, ?, ?, 'Try Again')", ((random.choice(learners), f"u{number}", "p", moment)
                                      for number in range(RECORD)))
    connection.commit()
    connection.close()


def main():
    random.seed(1)
    model = next((line.split(":", 1)[1].strip() for line in
                  Path("/proc/cpuinfo").read_text().splitlines() if line.startswith("model name")),
                 "")
    print(f"machine: {os.cpu_count()} cores, {os.uname().machine}, {model}")
    print(f"date:    {time.strftime('%Y-%m-%d', time.gmtime())}")
    with tempfile.TemporaryDirectory() as temporary:
        work = Path(temporary)
        folder, answers = made_set(work)
        learners = sorted(answers)
        upstream, minimal_port = free_port(), free_port()
        minimal = subprocess.Popen(  # pylint: disable=consider-using-with
            ["timeout", "1200", "/usr/bin/python3", "-c", MINIMAL_APP, str(minimal_port)])
        nginx, tls_port, static_port, plain_port = start_nginx(work, folder, upstream,
                                                               minimal_port)
        try:
            server = Server(folder, upstream)
            server.start()
            with open(folder / "links.csv", newline="", encoding="utf-8") as rows:
                links = dict(list(csv.reader(rows))[1:])
            cafile = str(work / "cert.pem")
            direct = measure_requests(Front(upstream), links, answers, learners[:SAMPLES])
            packages = [page_of(Front(upstream), links[learner])[2] for learner in learners[:20]]
            static = ["/static/" + path.rsplit("/", 1)[1] for path in packages]
            anchors = {
                "direct": {"page": latency(Front(minimal_port), ["/"]),
                           "package": latency(Front(plain_port), static)},
                "nginx+TLS": {"page": latency(Front(static_port, cafile), ["/minimal/"]),
                              "package": latency(Front(static_port, cafile), static)}}
            size = (folder / "packages" / packages[0].rsplit("/", 1)[1]).stat().st_size
            empty = record_cost(folder, server, links, answers, learners[SAMPLES:SAMPLES + 20])
            direct_class = largest_class(Front(upstream), links)
            latencies, acknowledged, elapsed = class_minute(
                server, links, answers, learners[SAMPLES + 20:SAMPLES + 20 + LEARNERS])
            server.stop()
            behind = Server(folder, upstream, "--behind-nginx")
            behind.start()
            nginx_front = Front(tls_port, cafile)
            through = measure_requests(nginx_front, links, answers,
                                       learners[-SAMPLES:])
            nginx_class = largest_class(nginx_front, links)
            behind.stop()
            fill_record(folder, learners)
            server.start()
            full = record_cost(folder, server, links, answers,
                               learners[-SAMPLES - 20:-SAMPLES])
            server.stop()
            subprocess.run([TOOL, "submissions", "--set-dir", folder, "--out",
                            work / "submissions.csv"], capture_output=True, check=True)
            with open(work / "submissions.csv", newline="", encoding="utf-8") as recorded:
                found = {tuple(row[:3]) for row in list(csv.reader(recorded))[1:]}
        finally:
            nginx.terminate()
            minimal.terminate()
    print(f"set: {MADE} learners made by `make` (Linux), grown to {CLASS}; a package is "
          f"{size / 1e6:.2f} MB")
    print("\nanchors: a page is a minimal WSGI app's under waitress, a package nginx's static "
          "file;\nbehind nginx+TLS, both through the same nginx and TLS")
    print(f"{'request':22} {'p50 ms':>8} {'p99 ms':>8} {'anchor p50':>11}  ratio")
    for where, figures in (("direct", direct), ("nginx+TLS", through)):
        for kind, (p50, p99) in figures.items():
            anchor = anchors[where]["package" if kind == "package" else "page"][0]
            print(f"{where + ' ' + kind:22} {p50:8.2f} {p99:8.2f} {anchor:11.2f}  "
                  f"{p50 / anchor:.2f}x")
    print(f"\nwith {RECORD:,} submissions recorded, beside an empty record (p50):")
    print(f"  answer        {full[0]:7.2f} ms  {empty[0]:7.2f} ms  {full[0] / empty[0]:.2f}x")
    print(f"  setter's page {full[1]:7.2f} ms  {empty[1]:7.2f} ms  {full[1] / empty[1]:.2f}x")
    print(f"\na class's minute, directly: {LEARNERS} learners in {elapsed:.1f} s, {SUBMITTING} "
          f"handing in {ANSWERS_EACH} answers each; SIGKILL and a restart after learner "
          f"{LEARNERS // 2}")
    print(f"{'request':10} {'count':>6} {'p50 ms':>8} {'p99 ms':>8}")
    for kind, values in latencies.items():
        p50, p99 = percentiles(values)
        print(f"{kind:10} {len(values):6} {p50:8.1f} {p99:8.1f}")
    print(f"server peak memory: {server.peak_kib / 1024:.1f} MiB")
    missing = [entry for entry in acknowledged if entry not in found]
    print(f"acknowledged submissions found afterwards: {len(acknowledged) - len(missing)} of "
          f"{len(acknowledged)}")
    print("\nlargest class fetching page and package within a minute, p99 page under 1 s:")
    for where, (results, most) in (("direct", direct_class), ("nginx+TLS", nginx_class)):
        loops = ", ".join(f"{loop} at once: {per_minute:.0f}/min p99 {p99:.0f} ms"
                          for loop, per_minute, p99 in results)
        print(f"  {where:10} {most:6}   ({loops})")
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
