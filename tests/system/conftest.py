"""Fixtures of the system tests: the sandbox world and where the build is."""

import os
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
    """A spawned process's output lines, collected by a reader thread as they come."""

    def __init__(self, process):
        self.process = process
        self.lines = []
        self.ended = False
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            self.lines.append(line.rstrip("\n"))
        self.ended = True

    def wait_for(self, text, timeout=60):
        """True once a line containing text was written; False if the output ended first."""
        def found():
            return any(text in line for line in self.lines)
        return wait_until(lambda: found() or self.ended, timeout) and found()
