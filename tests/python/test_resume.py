# SPDX-License-Identifier: Apache-2.0
"""Resumption from Python: a server killed in the middle of a session and
started again on its port; the results go on, every byte arrives once."""
from __future__ import annotations

import re

import quorvex
from conftest import DEADLINE, Server, echo_text, pcm


def test_a_killed_server_is_resumed_and_counted(own_server):
    quorvex.configure(resume=quorvex.Resume(backoff_ms=50, backoff_max_ms=200))
    heard = []
    try:
        with quorvex.Session(own_server.url, on_resumed=heard.append) as s:
            first = s.session_id
            s.send(pcm(1.0))
            assert next(s.results(timeout=DEADLINE)).text == echo_text(pcm(1.0))
            port = re.search(r":(\d+)/", own_server.url).group(1)
            own_server.kill()
            again = Server("--port", port)
            try:
                s.send(pcm(1.0, seed=2))  # kept while the session is carried over
                s.stop()
                results = list(s.results(timeout=DEADLINE))
                assert results[-1].final
                assert results[-1].text == echo_text(pcm(1.0) + pcm(1.0, seed=2))
                assert results[-1].end_ms == 2000
                assert [r.previous_session_id for r in s.resumptions] == [first]
                assert heard == s.resumptions and heard[0].session_id == s.session_id != first
                stats = s.stats()
                assert stats.resumptions == 1 and stats.audio_ms_sent == 2000 and stats.queue_cap_bytes == 2 << 20
            finally:
                again.kill()
    finally:
        quorvex.configure(resume=quorvex.Resume(enabled=False))
