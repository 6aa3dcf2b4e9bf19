# SPDX-License-Identifier: Apache-2.0
"""transcribe(): a whole recording in, its final texts out."""
from __future__ import annotations

import io
import os
import time
from typing import Iterable, Iterator, List, Union

from ._audio import Pcm, as_bytes_view, read_wav
from .session import Session

Source = Union[str, "os.PathLike[str]", bytes, bytearray, memoryview, Iterable[Pcm]]

_BYTES_PER_MS = 32
_FRAME_BYTES = 3200  # 100 ms of audio per frame
# Audio is sent at most this far ahead of what the server has answered or of
# real time, whichever is further on, so that a server slower than the audio
# never fills the send queue (silence brings no texts, real time goes on).
_AHEAD_MS = 20000


def _frames(source: Union[bytes, bytearray, memoryview, Iterable[Pcm]]) -> Iterator[Pcm]:
    if isinstance(source, (bytes, bytearray, memoryview)):
        view = as_bytes_view(source)
        for at in range(0, len(view), _FRAME_BYTES):
            yield view[at:at + _FRAME_BYTES]
        return
    yield from source


def transcribe(source: Source, url: str, token: str = "", *, timeout: float = 60.0) -> List[str]:
    """The final texts a server recognises in some audio.

    ``source``: the path of a 16-bit, 16 kHz, mono WAV file or its bytes;
    the bytes of such PCM; or an iterable of chunks (bytes, bytearray, memoryview or numpy
    int16 arrays) of any length. The audio is sent as fast as the server
    takes it. ``timeout`` bounds the wait for the stop answer after the
    last chunk. Raises StartError, SessionError, QueueFull, ValueError.
    """
    if isinstance(source, (str, os.PathLike)):
        source = read_wav(source)  # a file that cannot be read fails before any connection
    elif isinstance(source, (bytes, bytearray, memoryview)) and bytes(source[:4]) == b"RIFF":
        source = read_wav(io.BytesIO(source))  # a WAV file's bytes
    with Session(url, token) as session:
        began = time.monotonic()
        sent_ms = 0.0
        for frame in _frames(source):
            session.send(frame)
            sent_ms += len(as_bytes_view(frame)) / _BYTES_PER_MS
            while True:
                allowed = max(session._core.heard_ms, (time.monotonic() - began) * 1000) + _AHEAD_MS
                if sent_ms <= allowed:
                    break
                # Results that arrive are kept for below; this only waits for them.
                session._wait(lambda: False, min(0.2, (sent_ms - allowed) / 1000))
        session.stop(timeout)
        return [result.text for result in session.results() if result.final]
