# SPDX-License-Identifier: Apache-2.0
"""The synchronous session."""
from __future__ import annotations

import select
import threading
import time
import weakref
from types import TracebackType
from typing import Callable, Iterator, List, Optional, Type

from . import _native as native
from ._audio import Pcm
from ._core import (CLOSED, ENDED, FAILED, RUNNING, STARTING, STOPPING, Core, Result, Resumed, Stats, abandon_if_live,
                    check_start)
from .errors import QueueFull, TimeoutExpired

# Waits on the descriptor are cut into slices, so that a wait also ends soon
# after another thread closed the session.
_SLICE_MS = 200


class Session:
    """One recognition session, connected and started by the constructor.

    >>> with quorvex.Session("ws://127.0.0.1:8080/asr", token="t") as s:
    ...     s.send(pcm)
    ...     s.stop()
    ...     texts = [r.text for r in s.results() if r.final]

    The constructor raises :class:`StartError` when the session does not
    start. ``send`` may be called from several threads; take results from one
    thread at a time. Leaving the ``with`` block stops the session and waits
    for the server's answer. Events are queued by the library and taken by
    this object, so the library's loop thread never runs Python.

    ``queue_capacity``: the most texts the library holds for this session
    until they are taken (0: its default, 1024); beyond it they are dropped
    and :class:`QueueFull` says how many.
    """

    def __init__(self, url: str, token: str = "", *, queue_capacity: int = 0,
                 on_resumed: Optional[Callable[[Resumed], None]] = None) -> None:
        check_start(url, token)
        self._core = Core(queue_capacity)
        self._core.on_resumed = on_resumed
        self._finalizer = weakref.finalize(self, abandon_if_live, self._core.client)
        self._finalizer.atexit = False  # the library's own exit hook frees what is left
        self._lock = threading.Lock()
        self._core.start(url, token)
        self._wait(lambda: self._core.state != STARTING, None)
        if self._core.state == FAILED:
            error = self._core.start_error
            self.close()
            assert error is not None
            raise error

    @property
    def session_id(self) -> Optional[str]:
        """The id the server gave the session."""
        return self._core.session_id

    @property
    def running(self) -> bool:
        """True until stop is asked or the session breaks off."""
        return self._core.state == RUNNING

    @property
    def ended(self) -> bool:
        """True once the stop answer has come or the session has broken off."""
        return self._core.state in (ENDED, CLOSED)

    @property
    def resumptions(self) -> List[Resumed]:
        """Each time the session was carried over to a new one (see
        :class:`quorvex.Resume`); on_resumed, when given, hears each as it is taken."""
        return list(self._core.resumptions)

    def stats(self) -> Stats:
        """The session's statistics; never waits for the network."""
        return self._core.stats()

    @property
    def message_errors(self) -> List[str]:
        """Messages from the server the library could not read (not fatal)."""
        return list(self._core.message_errors)

    def send(self, pcm: Pcm) -> None:
        """Sends 16-bit, 16 kHz, mono PCM: bytes, bytearray, memoryview or a
        numpy int16 array (one channel). Pieces of any length make one
        stream. Never waits for the network.

        ValueError: audio that cannot be such PCM, or more at once than the
        send queue holds (2 MiB by default). SessionError: the session
        broke off, or is not running (stopped)."""
        if self._core.send(pcm) != native.OK:
            with self._lock:
                while self._core.take():
                    pass  # the reason the library refused it may already be queued
            raise self._core.not_running()

    def results(self, timeout: Optional[float] = None) -> Iterator[Result]:
        """Yields results in order as they arrive. Ends once the session has
        stopped (after :meth:`stop`, the results it brought included), or when
        nothing has arrived for ``timeout`` seconds (None: wait for the stop).

        Raises SessionError when the session breaks off, QueueFull when
        results were dropped because they were not taken in time (iterate
        again to go on)."""
        core = self._core
        while True:
            if not self._wait(lambda: bool(core.items) or core.state not in (RUNNING, STOPPING), timeout):
                return
            if core.items:
                item = core.items.popleft()
                if isinstance(item, QueueFull):
                    raise item
                yield item
            elif core.error is not None:
                core.error_reported = True
                raise core.error
            else:
                return

    def stop(self, timeout: Optional[float] = None, *, wait: bool = True) -> None:
        """Asks the server to end the session and waits for its answer; the
        results that come meanwhile stay for :meth:`results`. Does nothing
        once stopped; ``wait=False`` only asks (the answer ends ``results``). The library bounds the wait (its stop timeout, 10 s by
        default); ``timeout`` bounds it sooner (TimeoutExpired). Raises
        SessionError when the session broke off and that was not yet raised."""
        with self._lock:
            self._core.request_stop()
        if not wait:
            return
        if not self._wait(lambda: self._core.state not in (RUNNING, STOPPING), timeout):
            raise TimeoutExpired(f"no stop answer within {timeout} s")
        core = self._core
        if core.error is not None and not core.error_reported:
            core.error_reported = True
            raise core.error

    def close(self) -> None:
        """Stops the session if it runs, waits for the stop answer and frees
        the client. Safe to call more than once."""
        try:
            if self._core.state in (RUNNING, STOPPING):
                self._core.error_reported = True  # closing: a break-off changes nothing now
                self.stop()
        finally:
            with self._lock:
                self._core.destroy()
            self._finalizer.detach()

    def __enter__(self) -> "Session":
        return self

    def __exit__(self, kind: Optional[Type[BaseException]], value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        self.close()

    def _wait(self, ready: Callable[[], bool], timeout: Optional[float]) -> bool:
        """Takes events until ready() holds; False when timeout passed first.
        Waits on the descriptor without the lock, so that a stop or a send on
        another thread never queues behind this wait."""
        deadline = None if timeout is None else time.monotonic() + timeout
        readable = select.poll()
        readable.register(self._core.fd, select.POLLIN)
        while True:
            with self._lock:
                if ready():
                    return True
                if self._core.take():
                    continue
                if self._core.state == CLOSED:
                    return ready()
            left_ms = _SLICE_MS
            if deadline is not None:
                left = deadline - time.monotonic()
                if left <= 0:
                    with self._lock:
                        return ready()
                left_ms = min(left_ms, max(1, int(left * 1000)))
            readable.poll(left_ms)
