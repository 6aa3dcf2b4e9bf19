# SPDX-License-Identifier: Apache-2.0
"""A Python thread that holds the interpreter lock does not hold up the
library's loop: texts keep arriving in the sessions' queues meanwhile."""
from __future__ import annotations

import sys
import threading
import time

import quorvex
from conftest import DEADLINE, TOKEN, echo_text, pcm

SESSIONS = 50
HOLD_SECONDS = 2.0


def test_texts_reach_the_queues_while_python_holds_the_lock(server):
    audio = pcm(3.0, seed=5)
    sessions = [quorvex.Session(server.url, token=TOKEN) for _ in range(SESSIONS)]
    ticks = [0]
    canary_stop = threading.Event()

    def canary() -> None:
        while not canary_stop.wait(0.001):
            ticks[0] += 1

    seen = {}

    def hold() -> None:
        for s in sessions:
            for at in range(0, len(audio), 640):
                s.send(audio[at:at + 640])  # a text after each whole second
            s.stop(wait=False)
        # From here on no other Python code runs until the busy loop ends:
        # the server's answers can only be taken in by the library's loop.
        ticks_before = ticks[0]
        end = time.monotonic() + HOLD_SECONDS
        while time.monotonic() < end:
            pass
        seen["ticks"] = ticks[0] - ticks_before
        # Taken without waiting: only what the loop queued during the busy loop.
        seen["results"] = [list(s.results(timeout=0)) for s in sessions]
        seen["ended"] = [not s.running and s.ended for s in sessions]

    switch = sys.getswitchinterval()
    sys.setswitchinterval(60)  # no forced hand-over: the busy thread keeps the lock
    watcher = threading.Thread(target=canary)
    watcher.start()
    try:
        holder = threading.Thread(target=hold)
        holder.start()
        holder.join(DEADLINE)
    finally:
        sys.setswitchinterval(switch)
        canary_stop.set()
        watcher.join(DEADLINE)
    assert not holder.is_alive()
    assert seen["ticks"] == 0, "another Python thread ran: the lock was not held"
    expected = [echo_text(audio[:32000]), echo_text(audio[:64000]), echo_text(audio), echo_text(audio)]
    for index, results in enumerate(seen["results"]):
        assert [r.text for r in results] == expected, f"session {index} had not received its texts"
        assert results[-1].final
    assert all(seen["ended"]), "a stop answer was not in its queue"
    for s in sessions:
        s.close()
