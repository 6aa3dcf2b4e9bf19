#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""The Python package under load, beside the C++ client of the same shape.

1. N sessions from one Python process (asyncio), each streaming 640-byte
   frames in real time for D seconds to quorvex-server --engine echo: every
   byte confirmed by the echo text, the process's CPU per session-second (the
   library's loop thread included) and the latency of each text from the frame
   that completed its second of audio to the moment Python holds it. The same
   run with bench/echo_sessions (the C++ interface) against the same server.
   Session i starts i % 50 frames late, so that texts come spread over each
   second as from independent sources (--aligned: all at once, in bursts).
2. The loop's lag while a Python thread holds the interpreter lock: 50
   sessions each send a second of audio, then a thread busy-loops for 2 s; a
   watcher process polls the sessions' event descriptors and notes when each
   text reached its queue. The same without the busy thread, for comparison.

Usage: bench/python_sessions.py [--sessions 200] [--seconds 20] [--aligned] [--build build/default]
"""
from __future__ import annotations

import argparse
import asyncio
import json
import os
import re
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Dict, List

ROOT = Path(__file__).resolve().parents[1]
FRAME = bytes(i * 7 & 0xFF for i in range(640))

WATCHER = """
import json, select, sys, time
fds = [int(fd) for fd in sys.argv[1:]]
poller = select.poll()
for fd in fds:
    poller.register(fd, select.POLLIN)
ready = {}
print("ready", flush=True)
deadline = time.monotonic() + 30
while len(ready) < len(fds) and time.monotonic() < deadline:
    for fd, _ in poller.poll(100):
        ready[fd] = time.monotonic()
        poller.unregister(fd)
print(json.dumps(ready))
"""


def percentile(values: List[float], q: float) -> float:
    ordered = sorted(values)
    return ordered[int(q * (len(ordered) - 1))] if ordered else float("nan")


def loop_cpu() -> float:
    """CPU seconds of the library's loop threads."""
    total = 0.0
    for task in Path("/proc/self/task").iterdir():
        if (task / "comm").read_text().strip() == "quorvex-loop":
            fields = (task / "stat").read_text().rsplit(")", 1)[1].split()
            total += (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    return total


def start_server(build: Path) -> "tuple[subprocess.Popen, str]":
    server = subprocess.Popen([str(build / "tools" / "quorvex-server"), "--engine", "echo", "--port", "0"],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    assert server.stdout is not None
    for line in server.stdout:
        found = re.search(r"listening on (ws://\S+)", line)
        if found:
            # Keep reading, so that the server never blocks on a full pipe.
            threading.Thread(target=server.stdout.read, daemon=True).start()
            return server, found.group(1)
    raise SystemExit("quorvex-server did not start")


def cpp_run(build: Path, url: str, count: int, seconds: int, aligned: bool) -> Dict[str, float]:
    program = build / "bench" / "echo_sessions"
    if not program.exists():
        return {}
    out = subprocess.run([str(program), url, str(count), str(seconds), "aligned" if aligned else "staggered"],
                         capture_output=True, text=True, check=True)
    return {key: float(value) for key, value in re.findall(r"(\w+)=([\d.]+)", out.stdout)}


async def python_run(url: str, count: int, seconds: int, aligned: bool) -> Dict[str, float]:
    import quorvex
    frames = seconds * 50
    sessions = [quorvex.AsyncSession(url) for _ in range(count)]
    await asyncio.gather(*(s.start() for s in sessions))
    sent_at = [[0.0] * frames for _ in range(count)]
    latencies: List[float] = []
    finals: List[str] = [""] * count

    async def read(index: int, session: "quorvex.AsyncSession") -> None:
        async for result in session:
            now = time.monotonic()
            if result.final:
                finals[index] = result.text
                continue
            received = int(result.text.split()[0][len("bytes="):])
            latencies.append(now - sent_at[index][received // len(FRAME) - 1])

    readers = [asyncio.create_task(read(i, s)) for i, s in enumerate(sessions)]
    loop = asyncio.get_running_loop()
    cpu, python, loop_before = time.process_time(), time.thread_time(), loop_cpu()
    began = loop.time()
    offsets = [0 if aligned else index % 50 for index in range(count)]
    for tick in range(frames + max(offsets)):
        for index, session in enumerate(sessions):
            frame = tick - offsets[index]
            if 0 <= frame < frames:
                sent_at[index][frame] = time.monotonic()
                await session.send(FRAME)
            if index % 25 == 24:
                await asyncio.sleep(0)  # texts that came meanwhile are read between groups of sends
        await asyncio.sleep(max(0.0, began + (tick + 1) * 0.02 - loop.time()))
    await asyncio.gather(*(s.stop() for s in sessions))
    await asyncio.gather(*readers)
    cpu, python = time.process_time() - cpu, time.thread_time() - python
    loop_seconds = loop_cpu() - loop_before
    await asyncio.gather(*(s.close() for s in sessions))
    checksum = 2166136261
    for _ in range(frames):
        for byte in FRAME:
            checksum = ((checksum ^ byte) * 16777619) & 0xFFFFFFFF
    want = f"bytes={frames * len(FRAME)} fnv1a={checksum:08x}"
    session_seconds = count * seconds
    return {"sessions": count, "confirmed": sum(text == want for text in finals),
            "cpu_us_per_session_second": cpu / session_seconds * 1e6,
            "python_us_per_session_second": python / session_seconds * 1e6,
            "loop_us_per_session_second": loop_seconds / session_seconds * 1e6,
            "texts": len(latencies), "p50_ms": percentile(latencies, 0.5) * 1e3,
            "p99_ms": percentile(latencies, 0.99) * 1e3}


def lag_run(url: str, count: int, hold: float) -> Dict[str, float]:
    """Queue arrival of one text per session, with or without a thread holding the lock."""
    import quorvex
    sessions = [quorvex.Session(url) for _ in range(count)]
    fds = [s._core.fd for s in sessions]
    watcher = subprocess.Popen([sys.executable, "-c", WATCHER, *map(str, fds)], pass_fds=fds,
                               stdout=subprocess.PIPE, text=True)
    assert watcher.stdout is not None and watcher.stdout.readline() == "ready\n"
    sent: Dict[int, float] = {}

    def send_and_hold() -> None:
        for session, fd in zip(sessions, fds):
            sent[fd] = time.monotonic()
            session.send(bytes(32000))
        end = time.monotonic() + hold
        while time.monotonic() < end:
            pass

    switch = sys.getswitchinterval()
    sys.setswitchinterval(60)  # the busy thread keeps the lock throughout
    try:
        holder = threading.Thread(target=send_and_hold)
        holder.start()
        holder.join()
    finally:
        sys.setswitchinterval(switch)
    # The watcher first: a text Python takes no longer makes its descriptor readable.
    out, _ = watcher.communicate(timeout=60)
    ready = {int(fd): t for fd, t in json.loads(out).items()}
    taken = []  # when Python holds each text
    for session, fd in zip(sessions, fds):
        if next(session.results(timeout=10), None) is not None:
            taken.append(time.monotonic() - sent[fd])
    lags = [ready[fd] - sent[fd] for fd in fds if fd in ready]
    for session in sessions:
        session.close()
    return {"queued": len(lags), "p50_ms": percentile(lags, 0.5) * 1e3, "p99_ms": percentile(lags, 0.99) * 1e3,
            "max_ms": max(lags) * 1e3 if lags else float("nan"), "taken_p50_ms": percentile(taken, 0.5) * 1e3}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sessions", type=int, default=200)
    parser.add_argument("--seconds", type=int, default=20)
    parser.add_argument("--build", type=Path, default=ROOT / "build" / "default")
    parser.add_argument("--hold", type=float, default=2.0)
    parser.add_argument("--aligned", action="store_true", help="every session's texts in the same 20 ms")
    arguments = parser.parse_args()
    sys.path.insert(0, str(ROOT / "python"))
    os.environ.setdefault("QUORVEX_LIBRARY", str(arguments.build / "src" / "libquorvex.so.1"))
    server, url = start_server(arguments.build)
    try:
        cpp = cpp_run(arguments.build, url, arguments.sessions, arguments.seconds, arguments.aligned)
        python = asyncio.run(python_run(url, arguments.sessions, arguments.seconds, arguments.aligned))
        idle = lag_run(url, 50, 0.0)
        held = lag_run(url, 50, arguments.hold)
    finally:
        server.kill()
        server.wait()
    shape = "aligned" if arguments.aligned else "staggered"
    print(f"{arguments.sessions} sessions x {arguments.seconds} s real time ({shape}), echo engine\n")
    print("| client | confirmed | CPU us/session-s | of it, loop | of it, Python | texts | p50 ms | p99 ms |")
    print("|---|---|---|---|---|---|---|---|")
    for name, row in (("C++ (echo_sessions)", cpp), ("Python asyncio", python)):
        if row:
            print(f"| {name} | {row['confirmed']:.0f}/{row['sessions']:.0f} | {row['cpu_us_per_session_second']:.0f} "
                  f"| {row['loop_us_per_session_second']:.0f} | {row.get('python_us_per_session_second', float('nan')):.0f} "
                  f"| {row['texts']:.0f} | {row['p50_ms']:.2f} | {row['p99_ms']:.2f} |")
    if cpp:
        print(f"\nPython/C++: CPU {python['cpu_us_per_session_second'] / cpp['cpu_us_per_session_second']:.2f}x, "
              f"p99 {python['p99_ms'] / cpp['p99_ms']:.2f}x")
    print("\nA text per session (50), from the send to its arrival in the library's queue (the loop's lag):\n")
    print("| Python thread | queued | p50 ms | p99 ms | max ms | taken by Python, p50 ms |")
    print("|---|---|---|---|---|---|")
    for name, row in (("idle", idle), (f"holds the lock {arguments.hold:g} s", held)):
        print(f"| {name} | {row['queued']:.0f}/50 | {row['p50_ms']:.2f} | {row['p99_ms']:.2f} | {row['max_ms']:.2f} "
              f"| {row['taken_p50_ms']:.1f} |")
    ok = python["confirmed"] == python["sessions"] and held["queued"] == 50
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
