# SPDX-License-Identifier: Apache-2.0
"""Fixtures: the package from python/, the library and the server of a build
tree (QUORVEX_BUILD_DIR, default build/default), and an echo server on an
ephemeral port."""
from __future__ import annotations

import os
import re
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Callable, Iterator, List

import pytest

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("QUORVEX_BUILD_DIR", ROOT / "build" / "default"))
LIBRARY = BUILD / "src" / "libquorvex.so.1"
SERVER = BUILD / "tools" / "quorvex-server"
TOKEN = "py-token"
DEADLINE = 30.0

sys.path.insert(0, str(ROOT / "python"))
os.environ.setdefault("QUORVEX_LIBRARY", str(LIBRARY))


def child_env() -> dict:
    """The environment of a Python child that imports this tree's package."""
    return dict(os.environ, PYTHONPATH=str(ROOT / "python"), QUORVEX_LIBRARY=os.environ["QUORVEX_LIBRARY"])


def fnv1a(data: bytes, value: int = 2166136261) -> int:
    for byte in data:
        value = ((value ^ byte) * 16777619) & 0xFFFFFFFF
    return value


def echo_text(data: bytes) -> str:
    """What the echo engine says about the audio it received."""
    return f"bytes={len(data)} fnv1a={fnv1a(data):08x}"


def pcm(seconds: float, seed: int = 1) -> bytes:
    """Deterministic noise: every byte value occurs, so a lost or moved byte shows."""
    count = int(seconds * 32000)
    state = seed * 2654435761 & 0xFFFFFFFF
    out = bytearray(count)
    for i in range(count):
        state = (state * 1103515245 + 12345) & 0x7FFFFFFF
        out[i] = state >> 16 & 0xFF
    return bytes(out)


def wait_for(condition: Callable[[], bool], what: str, deadline: float = DEADLINE,
             wake: "threading.Condition | None" = None) -> None:
    """Waits on wake (notified on change) until condition holds; fails naming what did not happen."""
    assert wake is not None
    until = time.monotonic() + deadline
    with wake:
        while not condition():
            left = until - time.monotonic()
            if left <= 0:
                pytest.fail(f"within {deadline} s: {what}")
            wake.wait(left)


class Server:
    """quorvex-server --engine echo as a child, its output read as it comes."""

    def __init__(self, *arguments: str) -> None:
        if not SERVER.exists() or not Path(os.environ["QUORVEX_LIBRARY"]).exists():
            pytest.fail(f"build the default preset first: {SERVER} or {os.environ['QUORVEX_LIBRARY']} is missing")
        self.process = subprocess.Popen([str(SERVER), "--engine", "echo", "--port", "0", *arguments],
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.lines: List[str] = []
        self.changed = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()
        found: List[str] = []

        def listening() -> bool:
            found[:] = [m for line in self.lines for m in re.findall(r"listening on (ws://\S+)", line)]
            return bool(found) or self.process.poll() is not None

        wait_for(listening, "quorvex-server announcing its port", wake=self.changed)
        if not found:
            pytest.fail("quorvex-server ended:\n" + "".join(self.lines))
        self.url = found[0]

    def _read(self) -> None:
        assert self.process.stdout is not None
        for line in self.process.stdout:
            with self.changed:
                self.lines.append(line)
                self.changed.notify_all()
        with self.changed:
            self.changed.notify_all()

    def wait_for_line(self, pattern: str, what: str) -> None:
        wait_for(lambda: any(re.search(pattern, line) for line in self.lines), what, wake=self.changed)

    def kill(self) -> None:
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGKILL)
        self.process.wait(DEADLINE)


# Every test needs only what scripts/deps.sh installs: a skip is a failure.
_skipped: List[str] = []


def pytest_runtest_logreport(report: pytest.TestReport) -> None:
    if report.skipped:
        _skipped.append(report.nodeid)


def pytest_sessionfinish(session: pytest.Session, exitstatus: int) -> None:
    if _skipped and exitstatus == 0:
        session.exitstatus = 1


def pytest_terminal_summary(terminalreporter) -> None:  # type: ignore[no-untyped-def]
    if _skipped:
        terminalreporter.write_line("skipped, which fails this suite: " + ", ".join(_skipped), red=True)


@pytest.fixture(scope="session")
def server() -> Iterator[Server]:
    running = Server("--token", TOKEN)
    yield running
    running.kill()


@pytest.fixture
def own_server() -> Iterator[Server]:
    """A server of the test's own, for tests that end it."""
    running = Server()
    yield running
    running.kill()
