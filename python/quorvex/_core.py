# SPDX-License-Identifier: Apache-2.0
"""One queue client and what its events have said; the sync and asyncio
sessions drive it. Not safe for concurrent take(): its owner serialises that."""
from __future__ import annotations

import ctypes
from collections import deque
from typing import Callable, Deque, List, NamedTuple, Optional, Union

from . import _native as native
from . import _runtime as runtime
from ._audio import Pcm, as_bytes_view
from .errors import FailureCategory, QueueFull, SessionError, StartError

# Each piece goes as one WebSocket message: a second of audio, well under
# the 64 KiB a server may take in one message.
_PIECE = 32000


class Result(NamedTuple):
    """A recognised text: ``begin_ms`` and ``end_ms`` count milliseconds of
    the session's audio; ``final`` is False for a partial text that a later
    one replaces."""

    text: str
    begin_ms: int
    end_ms: int
    final: bool


class Resumed(NamedTuple):
    """A lost session carried over to a new one."""

    previous_session_id: str
    session_id: str
    attempt: int
    replayed_ms: int
    unreplayable_ms: int


class Stats(NamedTuple):
    """What a session has done so far; each field current, not a snapshot."""

    audio_ms_sent: int
    bytes_queued: int
    queue_cap_bytes: int
    texts_received: int
    resumptions: int
    last_ping_round_trip_ms: int
    last_final_latency_ms: int


STARTING, RUNNING, STOPPING, ENDED, FAILED, CLOSED = "starting", "running", "stopping", "ended", "failed", "closed"


def _category(value: int) -> FailureCategory:
    try:
        return FailureCategory(value)
    except ValueError:
        return FailureCategory.OTHER


def check_start(url: str, token: str) -> None:
    """The URL and token as the library takes them (C strings)."""
    for name, value in (("url", url), ("token", token)):
        if not isinstance(value, str):
            raise TypeError(f"{name} must be a str, not {type(value).__name__}")
        if "\0" in value:
            raise ValueError(f"{name} holds a NUL character, which would cut it short")


class Core:
    def __init__(self, queue_capacity: int) -> None:
        if queue_capacity < 0:
            raise ValueError("queue_capacity must be 0 (the library's default, 1024) or more")
        self.client = runtime.create_client(queue_capacity)
        self.fd: int = runtime.call(self.client, "qv_client_event_fd", gone=-1)
        self.state = STARTING
        self.session_id: Optional[str] = None
        self.start_error: Optional[StartError] = None
        self.error: Optional[SessionError] = None
        self.error_reported = False
        self.items: Deque[Union[Result, QueueFull]] = deque()
        self.message_errors: List[str] = []
        self.resumptions: List[Resumed] = []
        self.on_resumed: Optional[Callable[[Resumed], None]] = None
        self.heard_ms = 0  # the largest end of a text so far
        self._event = native.sized(native.Event)
        self._failure: Optional[native.Event] = None

    def start(self, url: str, token: str) -> None:
        result = runtime.call(self.client, "qv_client_start", url.encode(), token.encode())
        if result != native.OK:
            self.state = FAILED
            self.start_error = StartError(f"start refused for {url!r}: a malformed URL "
                                          "(ws:// or wss://, host, path)", code=result)

    def take(self) -> bool:
        """Takes one event if one is queued (waits are on the descriptor)."""
        if self.state == CLOSED:
            return False
        got = runtime.call(self.client, "qv_client_next_event", 0, ctypes.byref(self._event), gone=-100)
        if got == -100:
            if self.client.freed:
                self.state = CLOSED  # freed at exit while this object lived on
            return False
        if got == 1:
            self._handle(self._event)
            return True
        if got == 0:
            return False
        raise RuntimeError(f"qv_client_next_event returned {got}")

    def _handle(self, event: native.Event) -> None:
        kind = event.type
        text = (event.text or b"").decode("utf-8", "replace")
        if kind == native.EVENT_TEXT:
            self.items.append(Result(text, event.bg, event.ed, bool(event.fin)))
            self.heard_ms = max(self.heard_ms, event.ed)
        elif kind == native.EVENT_LOST:
            self.items.append(QueueFull(event.code))
        elif kind == native.EVENT_START_FAILURE:
            self._failure = native.Event.from_buffer_copy(event)
            self._failure_text = text
        elif kind == native.EVENT_START_RESULT:
            if event.code == 0:
                self.state = RUNNING
                self.session_id = text
            else:
                self.state = FAILED
                self.start_error = self._start_error(event.code, text)
        elif kind == native.EVENT_SESSION_ERROR:
            self.state = ENDED
            self.error = SessionError(text, event.code)
        elif kind == native.EVENT_MESSAGE_ERROR:
            self.message_errors.append(text)
        elif kind == native.EVENT_STOP_RESULT:
            self.state = ENDED
        elif kind == native.EVENT_RESUMED:
            resumed = Resumed((event.previous_session_id or b"").decode("utf-8", "replace"), text, event.code,
                              event.replayed_ms, event.unreplayable_ms)
            self.session_id = text
            self.resumptions.append(resumed)
            if self.on_resumed is not None:
                self.on_resumed(resumed)

    def stats(self) -> Stats:
        record = native.sized(native.SessionStats)
        if runtime.call(self.client, "qv_client_stats", ctypes.byref(record)) != native.OK:
            raise SessionError("the session is closed: it has no statistics", 0)
        return Stats(record.audio_ms_sent, record.bytes_queued, record.queue_cap_bytes, record.texts_received,
                     record.resumptions, record.last_ping_round_trip_ms, record.last_final_latency_ms)

    def _start_error(self, code: int, text: str) -> StartError:
        failure = self._failure
        if failure is None:
            what = "connection failed" if code == -2 else "refused"
            return StartError(f"start failed ({what}){': ' + text if text else ''}", code)
        category = _category(failure.category)
        return StartError(f"start failed ({category.name.lower().replace('_', ' ')}): {self._failure_text}",
                          code, category, failure.status, failure.retry_after_seconds)

    def send(self, pcm: Pcm) -> int:
        """Sends pcm; the library's result (QV_BUSY: no session running).
        ValueError for more at once than the send queue holds: the library
        would end the session as one whose server does not read."""
        view = as_bytes_view(pcm)
        if self.state == CLOSED:
            return native.BUSY
        if len(view) > _PIECE:
            cap = self.stats().queue_cap_bytes
            if len(view) > cap:
                raise ValueError(f"{len(view)} bytes at once are more than the send queue holds ({cap}): "
                                 "send the audio as it plays (quorvex.transcribe paces a file)")
        for at in range(0, len(view), _PIECE):
            piece = view if len(view) <= _PIECE else view[at:at + _PIECE]
            length = len(piece)
            data: object = piece
            if isinstance(piece, memoryview):
                # A writable buffer is lent as it is: the library copies the frame.
                data = (ctypes.c_char * length).from_buffer(piece) if not piece.readonly else piece.tobytes()
            result = runtime.call(self.client, "qv_client_send_audio", data, length)
            if result != native.OK:
                return result
        return native.OK

    def not_running(self) -> Exception:
        """What to raise for audio or a stop the library refused as not running."""
        if self.error is not None:
            self.error_reported = True
            return self.error
        if self.state in (RUNNING, STOPPING):
            return SessionError("the library refused the audio: its send queue is full (the server is not "
                                "taking it) or the session has just ended", 0)
        return SessionError(f"no session is running (it is {self.state})", 0)

    def request_stop(self) -> bool:
        """Asks the server to end the session; False when it was not running."""
        if self.state != RUNNING:
            return False
        if runtime.call(self.client, "qv_client_stop") != native.OK:
            return False
        self.state = STOPPING
        return True

    def destroy(self) -> None:
        """Frees the client, or leaves it to be freed once its session has ended."""
        if self.state == CLOSED:
            return
        self.state = CLOSED
        if not self.client.freed:
            runtime.abandon(self.client)


def abandon_if_live(client: runtime.Client) -> None:
    """A session collected without being closed."""
    if not client.freed:
        runtime.abandon(client)
