# SPDX-License-Identifier: Apache-2.0
"""Sessions that are never stopped: collected, or still open at exit."""
from __future__ import annotations

import gc
import subprocess
import sys
import textwrap

import quorvex
from conftest import DEADLINE, TOKEN, child_env, echo_text, pcm


def test_a_collected_session_is_stopped_and_freed(server):
    s = quorvex.Session(server.url, token=TOKEN)
    s.send(pcm(0.5))
    session_id, client = s.session_id, s._core.client
    del s
    gc.collect()
    server.wait_for_line(rf"session {session_id} .*ended", "the collected session being stopped")
    # Later sessions work, and free the collected one once its session has ended.
    with quorvex.Session(server.url, token=TOKEN) as t:
        t.send(pcm(0.5))
        t.stop()
        assert [r.text for r in t.results()] == [echo_text(pcm(0.5))]
    # Its stop answer came before that whole session: it can be freed now.
    quorvex._runtime.reap_orphans()
    assert client.freed and client not in quorvex._runtime._live


EXIT_SCRIPT = """
import asyncio, sys, threading
import quorvex
url, token = sys.argv[1], sys.argv[2]
audio = bytes(range(256)) * 125
kept = [quorvex.Session(url, token=token) for _ in range(5)]
for s in kept:
    s.send(audio)
quorvex.Session(url, token=token).send(audio)          # collected at once, never stopped

async def open_async():
    s = quorvex.AsyncSession(url, token=token)
    await s.start()
    await s.send(audio)
    return s
loop = asyncio.new_event_loop()
kept.append(loop.run_until_complete(open_async()))  # its loop stays open
def sender():
    while True:
        try:
            kept[0].send(audio[:640])
        except quorvex.QuorvexError:
            return
threading.Thread(target=sender, daemon=True).start()
print("open", flush=True)
"""


def test_interpreter_exit_with_sessions_open(server):
    run = subprocess.run([sys.executable, "-c", textwrap.dedent(EXIT_SCRIPT), server.url, TOKEN],
                         env=child_env(), capture_output=True, text=True, timeout=DEADLINE)
    assert (run.returncode, run.stdout, run.stderr) == (0, "open\n", "")


CHURN_AT_EXIT = """
import sys, threading
import quorvex
url, token = sys.argv[1], sys.argv[2]
def churn():
    while True:
        try:
            with quorvex.Session(url, token=token) as s:
                s.send(bytes(640))
        except Exception:
            pass
threading.Thread(target=churn, daemon=True).start()
threading.Event().wait(0.3)
print("exiting", flush=True)
"""


def test_exit_while_a_thread_opens_and_closes_sessions(server):
    # The exit hook and the thread's close both reached the same client; and
    # the thread's next session must not start the library again.
    run = subprocess.run([sys.executable, "-c", textwrap.dedent(CHURN_AT_EXIT), server.url, TOKEN],
                         env=child_env(), capture_output=True, text=True, timeout=DEADLINE)
    assert (run.returncode, run.stdout) == (0, "exiting\n"), run.stderr
