"""The class's progress as the course server keeps it in memory: graded
as each answer comes, so that neither the setter's page nor an answer
costs more as the record grows. It is read from the record once, on start.

The limit of attempts counts on the monotonic clock, which never steps: a
clock set back cannot lock a learner out beyond the window."""

import collections
import datetime
import sqlite3
import threading
import time

from . import grading, joining
from .common import SetError
from .store import TIME_FORMAT, now, recordable, unreadable

ATTEMPTS, WINDOW = 10, datetime.timedelta(minutes=10)  # no faster an oracle than the program


def clock():
    """Seconds that never step back, for the limit of attempts."""
    return time.monotonic()


class Progress:
    """Each learner's attempts, first solve and first download, and the
    grades by `grade`'s own rule (`grading.Grades`)."""

    def __init__(self, answers, store):
        self.answers, self.store = answers, store
        self.lock = threading.Lock()
        self.grades = grading.Grades(answers, None, (0, 1, 2), joining.Ids(answers), (
            "submitted_at", lambda fields: datetime.datetime.strptime(fields[3], TIME_FORMAT)))
        self.attempts = collections.Counter()
        self.solved, self.downloaded = {}, {}
        self.recent = collections.defaultdict(collections.deque)  # monotonic times
        wall, started = now(), clock()
        number = 1
        try:
            for number, row in enumerate(store.submissions(), start=2):
                if not all(isinstance(field, str) for field in row):
                    raise TypeError(row)
                # As `submissions` exports them, so that this report and
                # `grade`'s of the export agree.
                fields = [recordable(field) for field in row]
                moment = datetime.datetime.strptime(fields[3], TIME_FORMAT)
                self.count(number, fields, moment, self.right(*fields[:3]))
                # An answer of the last window counts as long ago as it was.
                # One dated ahead of now (the clock was stepped back since)
                # is not counted: its age is unknown, and a learner is never
                # locked out for longer than the window.
                age = (wall - moment).total_seconds()
                if 0 <= age < WINDOW.total_seconds():
                    self.recent[fields[0]].append(started - age)
            number = 0
            for learner, moment in store.rows("SELECT learner, MIN(downloaded_at) FROM "
                                              "downloads GROUP BY learner"):
                self.downloaded[learner] = datetime.datetime.strptime(moment, TIME_FORMAT)
        except sqlite3.Error as error:
            raise unreadable(store.name, error) from error
        except (TypeError, ValueError) as error:
            where = f"submission {number - 1}" if number else "the downloads' log"
            raise SetError(f"{store.name}: the submissions database holds a row that no course "
                           f"server wrote ({where}); restore it from its back-up") from error
        self.rows = sum(self.attempts.values()) + 1

    def right(self, learner, user_name, password):
        return grading.typed(user_name, password) == self.answers.get(learner)

    def count(self, number, fields, moment, right):
        """One recorded answer; `number` names its row in the report."""
        self.grades.add_row(number, fields)
        self.attempts[fields[0]] += 1
        if right:
            self.solved.setdefault(fields[0], moment)

    def submit(self, learner, user_name, password):
        """Records an answer: (right, its time, None), or (None, None, the
        seconds until the learner may try again)."""
        with self.lock:
            recent, ticks = self.recent[learner], clock()
            while recent and ticks - recent[0] >= WINDOW.total_seconds():
                recent.popleft()
            if len(recent) >= ATTEMPTS:
                return None, None, WINDOW.total_seconds() - (ticks - recent[0])
            right = self.right(learner, user_name, password)
            moment = self.store.submit(learner, user_name, password,
                                       "Correct" if right else "Try Again")
            recent.append(ticks)
            self.rows += 1
            self.count(self.rows, [learner, user_name, password, moment.strftime(TIME_FORMAT)],
                       moment, right)
            return right, moment, None

    def download(self, learner, package):
        moment = self.store.downloaded(learner, package)
        # Not under the lock an answer's commit holds: a download never
        # waits on one. One setdefault is atomic, and pages only get().
        self.downloaded.setdefault(learner, moment)

    def results(self):
        with self.lock:
            return self.grades.results()

    def report(self):
        with self.lock:
            return self.grades.report(self.grades.results(), "1")
