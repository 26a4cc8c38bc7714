"""Fixtures of the system tests: the sandbox world and where the build is."""

import os
import queue
import sys
import threading
import time
from pathlib import Path

import pytest

SOURCE_DIR = Path(os.environ.get("NORVID_SOURCE_DIR", Path(__file__).resolve().parents[2]))
BUILD_DIR = Path(os.environ.get("NORVID_BUILD_DIR", SOURCE_DIR / "build"))

sys.path.insert(0, str(SOURCE_DIR / "tools" / "sandbox"))

import sandbox as sandbox_module  # noqa: E402

NEEDS_ROOT = "needs root: creates network namespaces"


@pytest.fixture
def source_dir():
    return SOURCE_DIR


@pytest.fixture
def build_dir():
    return BUILD_DIR


@pytest.fixture
def norvid_binary(build_dir):
    return build_dir / "src" / "norvid" / "norvid"


@pytest.fixture
def make_sandbox(source_dir):
    """Starts sandboxes with other settings (`make_sandbox(plugged=False)`); all are closed
    after the test."""
    if os.geteuid() != 0:
        pytest.skip(NEEDS_ROOT)
    made = []

    def make(**settings):
        settings.setdefault("source_dir", source_dir)
        world = sandbox_module.Sandbox(**settings)
        made.append(world)
        return world.start()

    try:
        yield make
    finally:
        for world in made:
            world.close()


@pytest.fixture
def sandbox(make_sandbox):
    return make_sandbox()


def wait_until(condition, timeout=10.0, interval=0.05):
    """True once condition() holds; False if it still does not after timeout seconds."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(interval)
    return True


class Lines:
    """A spawned process's output lines, collected by a reader thread as they come. What
    `report(line)` makes of a line, unless None, goes to a queue of reports as well."""

    def __init__(self, process, report=lambda line: None):
        self.process = process
        self.lines = []
        self.ended = False
        self.reports = queue.Queue()
        self._report = report
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            self.lines.append(line.rstrip("\n"))
            if (made := self._report(line)) is not None:
                self.reports.put(made)
        self.ended = True
        self.reports.put(None)

    def next_report(self, timeout):
        """The next report, or None if none came within timeout seconds; fails once the output
        has ended."""
        try:
            made = self.reports.get(timeout=max(timeout, 0.01))
        except queue.Empty:
            return None
        assert made is not None, "output ended:\n" + "\n".join(self.lines)
        return made

    def drain(self, seconds):
        """Every report that comes within the given time."""
        deadline = time.monotonic() + seconds
        made = []
        while (remaining := deadline - time.monotonic()) > 0:
            if (report := self.next_report(remaining)) is not None:
                made.append(report)
        return made

    def wait_for(self, text, timeout=60):
        """True once a line containing text was written; False if the output ended first."""
        def found():
            return any(text in line for line in self.lines)
        return wait_until(lambda: found() or self.ended, timeout) and found()
