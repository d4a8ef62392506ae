#!/usr/bin/env python3
"""Runs failed attempts on a pseudo-terminal and checks the pause: it waits
for a single key without Enter, ignores what was typed before it, consumes the
whole key, whatever bytes the terminal sends for it, so none is left for the
next program, and leaves the terminal's settings as they were, also when
Ctrl+C ends the wait."""

import argparse
import fcntl
import os
import select
import signal
import subprocess
import sys
import termios
import time

from support import report

PROMPT = b"Press any key to continue . . . "

# What a terminal sends for one key press.
KEYS = {
    "a plain letter": b"k",
    "the Escape key": b"\x1b",
    "the left arrow": b"\x1b[D",
    "the F5 key": b"\x1b[15~",
    "xterm's F1 key (SS3)": b"\x1bOP",
    "a UTF-8 letter": "é".encode(),
    "a 4-byte UTF-8 character": "\U0001F600".encode(),
    "the Linux console's F1 key": b"\x1b[[A",
}


class Session:
    """The program with a fresh pseudo-terminal as its controlling terminal."""

    def __init__(self, program):
        self.controller, self.terminal = os.openpty()
        self.settings_before = termios.tcgetattr(self.terminal)
        terminal = self.terminal

        def take_terminal():
            fcntl.ioctl(terminal, termios.TIOCSCTTY, 0)

        self.process = subprocess.Popen(  # pylint: disable=consider-using-with
            [program], stdin=terminal, stdout=terminal, stderr=subprocess.PIPE,
            start_new_session=True, preexec_fn=take_terminal)
        self.output = b""

    def type(self, keys):
        os.write(self.controller, keys)

    def read_until(self, wanted, seconds=10):
        deadline = time.monotonic() + seconds
        while wanted not in self.output:
            remaining = deadline - time.monotonic()
            if remaining <= 0 or not select.select([self.controller], [], [], remaining)[0]:
                raise AssertionError(f"no {wanted!r} in {self.output!r}")
            self.output += os.read(self.controller, 4096)

    def single_key_mode_within(self, seconds):
        """The prompt is written just before the terminal is switched over."""
        deadline = time.monotonic() + seconds
        while termios.tcgetattr(self.terminal)[3] & (termios.ICANON | termios.ECHO):
            if time.monotonic() > deadline:
                return False
            time.sleep(0.01)
        return True

    def still_waiting_after(self, seconds):
        try:
            self.process.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            return True
        return False

    def left_in_input(self):
        """What is still waiting in the terminal's input queue."""
        raw = termios.tcgetattr(self.terminal)
        raw[3] &= ~(termios.ICANON | termios.ECHO)
        raw[6][termios.VMIN], raw[6][termios.VTIME] = 0, 0
        termios.tcsetattr(self.terminal, termios.TCSANOW, raw)
        left = b""
        while select.select([self.terminal], [], [], 0.2)[0]:
            chunk = os.read(self.terminal, 4096)
            if not chunk:
                break
            left += chunk
        return left

    def finish(self):
        status = self.process.wait(timeout=10)
        while select.select([self.controller], [], [], 0.2)[0]:
            self.output += os.read(self.controller, 4096)
        stderr = self.process.stderr.read()
        self.process.stderr.close()
        settings_after = termios.tcgetattr(self.terminal)
        os.close(self.controller)
        os.close(self.terminal)
        return status, stderr, settings_after


def check(condition, message, failures):
    if not condition:
        failures.append(message)


def key_ends_the_pause(program, name, key, failures):
    session = Session(program)
    # The third line is typed before the pause starts and must not count.
    session.type(b"nobody\nnothing\ntyped-ahead")
    session.read_until(PROMPT)
    check(session.single_key_mode_within(5), "echo and line buffering stay on during the pause",
          failures)
    check(session.still_waiting_after(0.5), "the pause did not wait for a key", failures)
    session.type(key)  # one key, no Enter
    session.process.wait(timeout=10)
    settings_after = termios.tcgetattr(session.terminal)
    left = session.left_in_input()
    check(left == b"", f"{name} left {left!r} in the terminal's input", failures)
    status, stderr, _ = session.finish()
    check(status == 0, f"exit status {status} after the key", failures)
    check(stderr == b"", f"standard error: {stderr!r}", failures)
    check(settings_after == session.settings_before, "terminal settings changed by the pause", failures)
    check(session.output.endswith(PROMPT + b"\r\n"), f"output ends {session.output[-60:]!r}", failures)


def signal_restores_the_terminal(program, failures, signal_number, send):
    session = Session(program)
    session.type(b"nobody nothing\n")
    session.read_until(PROMPT)
    check(session.single_key_mode_within(5), "echo and line buffering stay on during the pause",
          failures)
    send(session)
    status, stderr, settings_after = session.finish()
    name = signal.Signals(signal_number).name
    check(status == -signal_number, f"{name} ended the run with status {status}", failures)
    check(stderr == b"", f"standard error: {stderr!r}", failures)
    check(settings_after == session.settings_before, f"terminal settings lost after {name}", failures)


def one_byte_ends_a_redirected_pause(program, failures):
    """On a pipe whose writer stays, the pause takes one byte and ends: it
    must not wait for the end of the input."""
    process = subprocess.Popen(  # pylint: disable=consider-using-with
        [program], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        process.stdin.write(b"nobody\nnothing\n")
        process.stdin.flush()
        output = b""
        while not output.endswith(PROMPT):
            chunk = os.read(process.stdout.fileno(), 4096)
            if not chunk:
                break
            output += chunk
        process.stdin.write(b"k")
        process.stdin.flush()
        process.wait(timeout=2)
    except subprocess.TimeoutExpired:
        failures.append("a pause on a pipe held open did not end within 2 s of one byte")
        process.kill()
        process.wait()
    finally:
        process.stdin.close()
        process.stdout.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--program", required=True)
    program = parser.parse_args().program
    failures = []
    one_byte_ends_a_redirected_pause(program, failures)
    for name, key in KEYS.items():
        key_ends_the_pause(program, name, key, failures)
    signal_restores_the_terminal(program, failures, signal.SIGINT, lambda s: s.type(b"\x03"))
    signal_restores_the_terminal(program, failures, signal.SIGTERM,
                                 lambda s: s.process.send_signal(signal.SIGTERM))
    return report(failures)


if __name__ == "__main__":
    sys.exit(main())
