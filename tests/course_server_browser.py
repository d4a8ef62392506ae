#!/usr/bin/env python3
"""A learner's visit to the course server in a real browser, headless
Chromium: their page at their link, their package downloaded whole, a wrong
answer and then the right one handed in through the page's own form, each
verdict seen. The server listens on 127.0.0.1 only and stops by itself.
Where Chromium cannot start, the test is skipped, saying why."""

import argparse
import csv
import hashlib
import os
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from support import SKIPPED, report

try:
    from selenium import webdriver
    from selenium.common.exceptions import WebDriverException
    from selenium.webdriver.chrome.service import Service as ChromeService
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support import expected_conditions
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    webdriver = None


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def browser(downloads):
    options = webdriver.ChromeOptions()
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"):
        options.add_argument(argument)
    options.add_experimental_option("prefs", {"download.default_directory": str(downloads),
                                              "download.prompt_for_download": False})
    service = ChromeService(executable_path="/usr/bin/chromedriver")
    return webdriver.Chrome(options=options, service=service)


def hand_in(driver, link, user_name, password):
    driver.get(link)
    driver.find_element(By.ID, "user_name").send_keys(user_name)
    driver.find_element(By.ID, "password").send_keys(password)
    driver.find_element(By.ID, "submit").click()
    WebDriverWait(driver, 20).until(expected_conditions.presence_of_element_located(
        (By.ID, "verdict")))
    return driver.find_element(By.ID, "verdict").text


def visit(tool, work, failures):
    environment = dict(os.environ, TMPDIR=str(work / "tmp"))
    (work / "tmp").mkdir()
    secret = work / "secret"
    secret.write_bytes(os.urandom(32))
    secret.chmod(0o600)
    (work / "roster").write_text("ada@example.org\n")
    made = subprocess.run([tool, "make", "--set", "browser", "--secret-file", secret, "--roster",
                           work / "roster", "--out", work / "set", "--platforms", "linux"],
                          capture_output=True, text=True, env=environment, check=False,
                          timeout=600)
    if made.returncode != 0:
        return failures.append(f"the set was not made: {made.stderr}")
    port = free_port()
    serving = subprocess.Popen(  # pylint: disable=consider-using-with
        [tool, "serve", "--set-dir", work / "set", "--listen", f"127.0.0.1:{port}",
         "--stop-after", "300"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
        env=environment)
    driver = None
    try:
        setter_link = serving.stdout.readline().rsplit(" ", 1)[-1].strip()  # up and listening
        with open(work / "set" / "links.csv", newline="", encoding="utf-8") as links:
            link = list(csv.reader(links))[1][1]
        with open(work / "set" / "answers.csv", newline="", encoding="ascii") as answers:
            _, user_name, password, code = list(csv.reader(answers))[1]
        downloads = work / "downloads"
        downloads.mkdir()
        try:
            driver = browser(downloads)
        except WebDriverException as error:
            print(f"skipped: headless Chromium cannot start here: {error.msg.splitlines()[0]}")
            return SKIPPED
        driver.get(link)
        if driver.find_element(By.ID, "code").text != code:
            failures.append("the learner's page does not show their code")
        package = f"login-challenge-{code}-linux.tar.gz"
        driver.find_element(By.LINK_TEXT, package).click()
        deadline = time.monotonic() + 60
        while not (downloads / package).exists() and time.monotonic() < deadline:
            time.sleep(0.2)
        wanted = (work / "set" / "packages" / package).read_bytes()
        if not (downloads / package).exists() or hashlib.sha256(
                (downloads / package).read_bytes()).digest() != hashlib.sha256(wanted).digest():
            failures.append(f"the package did not download whole: {list(downloads.iterdir())}")
        for pair, verdict in (((user_name, password[::-1] + "x"), "Try Again"),
                              ((user_name, password), "Correct")):
            seen = hand_in(driver, link, *pair)
            if seen != verdict:
                failures.append(f"handed in {pair}, the page said {seen!r}, not {verdict!r}")
        driver.get(link)
        driver.find_element(By.LINK_TEXT, ".sha256").click()
        checksum = downloads / f"{package}.sha256"
        while not checksum.exists() and time.monotonic() < deadline + 30:
            time.sleep(0.2)
        if not checksum.exists() or hashlib.sha256(wanted).hexdigest() not in \
                checksum.read_text():
            failures.append("the learner's page does not link the package's .sha256")
        driver.get(setter_link)
        drawn = {chart: driver.find_element(By.CSS_SELECTOR, f"#{chart} svg")
                 for chart in ("solved-chart", "answers-chart")}
        if any(element.size["width"] < 200 or element.size["height"] < 50
               for element in drawn.values()) or \
                drawn["solved-chart"].get_attribute("aria-label") != \
                "Solved over time: 1 of 1 learners":
            failures.append(f"the setter's pictures: {[e.size for e in drawn.values()]}, "
                            f"{drawn['solved-chart'].get_attribute('aria-label')!r}")
    finally:
        if driver is not None:
            driver.quit()
        serving.terminate()
        serving.wait(timeout=30)
        serving.stdout.close()
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--tool", required=True)
    tool = parser.parse_args().tool
    if webdriver is None:
        print("skipped: python3-selenium is not installed (bash .ci/install test)")
        return SKIPPED
    for needed in ("/usr/bin/chromium", "/usr/bin/chromedriver"):
        if not Path(needed).exists():
            print(f"skipped: {needed} is not installed (bash .ci/install test)")
            return SKIPPED
    failures = []
    with tempfile.TemporaryDirectory() as work:
        if visit(tool, Path(work), failures) == SKIPPED:
            return SKIPPED
    if not failures:
        print("a learner's page, download and two answers in headless Chromium")
    return report(failures)


if __name__ == "__main__":
    sys.exit(main())
