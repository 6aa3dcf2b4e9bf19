# SPDX-License-Identifier: Apache-2.0
"""The asyncio API: many sessions on one event loop, no thread of their own."""
from __future__ import annotations

import asyncio
import gc
import os

import numpy as np
import pytest

import quorvex
from conftest import TOKEN, echo_text, pcm


def threads() -> int:
    return len(os.listdir("/proc/self/task"))


@pytest.mark.asyncio
async def test_many_sessions_on_one_loop_keep_their_streams_whole(server):
    quorvex.configure()  # the library's loop thread exists before counting
    before = threads()

    async def one(seed: int):
        audio = pcm(1.3, seed)
        async with quorvex.AsyncSession(server.url, token=TOKEN) as s:
            for at in range(0, len(audio), 641):
                await s.send(audio[at:at + 641])
            await s.stop()
            return audio, [r async for r in s], threads()

    outcomes = await asyncio.gather(*(one(seed) for seed in range(20)))
    for audio, results, during in outcomes:
        assert [r.final for r in results] == [False, True]  # a text after each second, then the final one
        assert results[-1] == quorvex.Result(echo_text(audio), 0, 1300, True)
        assert during == before, "a session started a thread"


@pytest.mark.asyncio
async def test_async_errors_and_numpy(server, own_server):
    with pytest.raises(quorvex.StartError) as refused:
        async with quorvex.AsyncSession(server.url, token="wrong"):
            pass
    assert refused.value.category == quorvex.FailureCategory.SESSION_REFUSED
    samples = np.frombuffer(pcm(1.0, seed=9), dtype=np.int16)
    async with quorvex.AsyncSession(own_server.url) as s:
        with pytest.raises(ValueError):
            await s.send(samples.astype(np.float32))
        await s.send(samples)
        first = await s.__anext__()
        assert first.text == echo_text(samples.tobytes())
        own_server.kill()
        with pytest.raises(quorvex.SessionError):
            async for _ in s:
                pass


@pytest.mark.asyncio
async def test_a_collected_async_session_is_stopped_and_forgotten(server):
    s = quorvex.AsyncSession(server.url, token=TOKEN)
    await s.start()
    await s.send(pcm(0.5))
    session_id, fd = s.session_id, s._core.fd
    del s
    gc.collect()
    assert not asyncio.get_running_loop().remove_reader(fd), "its descriptor is still watched"
    server.wait_for_line(rf"session {session_id} .*ended", "the collected session being stopped")
