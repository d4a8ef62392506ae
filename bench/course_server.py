#!/usr/bin/env python3
"""Measures the course server under a class's load: 300 learners open their
pages and download their Linux package within a minute, while 50 of them
hand in three answers each; the server is killed outright (SIGKILL) halfway
and started again. Prints p50 and p99 latency for each kind of request, the
server's peak memory, and how many acknowledged submissions were found
afterwards, which must be all of them.

The set is made up for the load, not built: answers.csv and handout.csv for
300 learners, and each package a hard link to one file of 1.4 MB of random
bytes (a Linux package's size), which the server serves like any other.
Everything listens on 127.0.0.1 and stops by itself."""

import concurrent.futures
import csv
import hashlib
import http.client
import os
import random
import signal
import socket
import statistics
import string
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
from pathlib import Path

SOURCE = Path(__file__).resolve().parent.parent
LEARNERS, SUBMITTING, ANSWERS_EACH, SPREAD = 300, 50, 3, 60.0
PACKAGE_BYTES = 1_400_000


def made_up_set(folder):
    (folder / "packages").mkdir(parents=True)
    content = os.urandom(PACKAGE_BYTES)
    original = folder / "package.bin"
    original.write_bytes(content)
    digest = hashlib.sha256(content).hexdigest()
    answers = [["learner", "user_name", "password", "code"]]
    handout = [["learner", "code", "linux_package", "linux_sha256"]]
    for number in range(LEARNERS):
        code = "".join(random.choices("ABCDEFGHJKMNPQRSTUVWXYZ", k=10))
        name = f"login-challenge-{code}-linux.tar.gz"
        os.link(original, folder / "packages" / name)
        pair = ["".join(random.choices(string.ascii_lowercase, k=size)) for size in (3, 5)]
        answers.append([f"learner{number:03}", *pair, code])
        handout.append([f"learner{number:03}", code, name, digest])
    for name, rows in (("answers.csv", answers), ("handout.csv", handout)):
        with open(folder / name, "w", newline="", encoding="utf-8") as output:
            csv.writer(output, lineterminator="\n").writerows(rows)
    (folder / "answers.csv").chmod(0o600)
    return {row[0]: row for row in answers[1:]}


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Server:
    def __init__(self, folder, port):
        self.folder, self.port, self.process, self.peak_kib = folder, port, None, 0

    def start(self):
        self.process = subprocess.Popen(  # pylint: disable=consider-using-with
            [SOURCE / "tools" / "challenge-set", "serve", "--set-dir", self.folder, "--listen",
             f"127.0.0.1:{self.port}", "--stop-after", "300", "--threads", "8"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.process.stdout.readline()  # listening

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


def request(port, method, path, body=None):
    """(status, seconds, body); status 0 when the server could not be reached."""
    started = time.monotonic()
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
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


def learner_visit(port, link, answers, submits, latencies, acknowledged, lock):
    path = urllib.parse.urlparse(link).path
    for _ in range(50):  # the server may be restarting: come back, as a learner would
        status, seconds, page = request(port, "GET", path)
        if status == 200:
            break
        time.sleep(0.2)
    latencies["page"].append(seconds)
    csrf = page.split(b'name="csrf" value="')[1].split(b'"')[0].decode()
    package = page.split(b'/p/')[1].split(b'"')[0].decode()
    status, seconds, _ = request(port, "GET", f"{path}/p/{package}")
    latencies["package"].append(seconds)
    for attempt in range(ANSWERS_EACH if submits else 0):
        pair = answers[1:3] if attempt == ANSWERS_EACH - 1 else ["abc", f"wrong{attempt}"]
        body = urllib.parse.urlencode({"csrf": csrf, "user_name": pair[0],
                                       "password": pair[1]}).encode()
        status, seconds, content = request(port, "POST", f"{path}/answer", body)
        latencies["answer"].append(seconds)
        if status == 200 and b'id="verdict"' in content:
            with lock:
                acknowledged.append((answers[0], pair[0], pair[1]))


def main():
    random.seed(1)
    with tempfile.TemporaryDirectory() as work:
        folder = Path(work) / "set"
        answers = made_up_set(folder)
        server = Server(folder, free_port())
        server.start()
        with open(folder / "links.csv", newline="", encoding="utf-8") as links:
            link_of = dict(list(csv.reader(links))[1:])
        latencies = {"page": [], "package": [], "answer": []}
        acknowledged, lock = [], threading.Lock()
        submitting = set(random.sample(sorted(answers), SUBMITTING))
        started = time.monotonic()
        with concurrent.futures.ThreadPoolExecutor(max_workers=64) as pool:
            futures = []
            for number, learner in enumerate(sorted(answers)):
                delay = started + number * SPREAD / LEARNERS - time.monotonic()
                time.sleep(max(0.0, delay))
                server.sample_memory()
                if number == LEARNERS // 2:
                    server.kill()  # outright, in the middle of the load
                    server.start()
                futures.append(pool.submit(learner_visit, server.port, link_of[learner],
                                           answers[learner], learner in submitting, latencies,
                                           acknowledged, lock))
            for future in futures:
                future.result()
        elapsed = time.monotonic() - started
        server.stop()
        subprocess.run([SOURCE / "tools" / "challenge-set", "submissions", "--set-dir", folder,
                        "--out", Path(work) / "submissions.csv"], capture_output=True, check=True)
        with open(Path(work) / "submissions.csv", newline="", encoding="utf-8") as recorded:
            found = {tuple(row[:3]) for row in list(csv.reader(recorded))[1:]}
    model = next((line.split(":", 1)[1].strip() for line in
                  Path("/proc/cpuinfo").read_text().splitlines() if line.startswith("model name")),
                 "")
    print(f"machine: {os.cpu_count()} cores, {os.uname().machine}, {model}")
    print(f"date:    {time.strftime('%Y-%m-%d', time.gmtime())}")
    print(f"{LEARNERS} learners in {elapsed:.1f} s, {SUBMITTING} handing in {ANSWERS_EACH} "
          f"answers each; SIGKILL and a restart after learner {LEARNERS // 2}")
    print(f"{'request':10} {'count':>6} {'p50 ms':>8} {'p99 ms':>8}")
    for kind, values in latencies.items():
        cut = statistics.quantiles(values, n=100)
        print(f"{kind:10} {len(values):6} {1000 * statistics.median(values):8.1f} "
              f"{1000 * cut[98]:8.1f}")
    print(f"server peak memory: {server.peak_kib / 1024:.1f} MiB")
    missing = [entry for entry in acknowledged if entry not in found]
    print(f"acknowledged submissions found afterwards: {len(acknowledged) - len(missing)} of "
          f"{len(acknowledged)}")
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
