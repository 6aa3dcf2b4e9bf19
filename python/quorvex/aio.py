# SPDX-License-Identifier: Apache-2.0
"""The asyncio session: events are taken when the client's descriptor turns
readable (loop.add_reader), so any number of sessions share the event loop's
thread and no thread is started per session."""
from __future__ import annotations

import asyncio
import weakref
from types import TracebackType
from typing import Callable, List, Optional, Type

from . import _native as native
from ._audio import Pcm
from ._runtime import Client
from ._core import FAILED, RUNNING, STARTING, STOPPING, Core, Result, Resumed, Stats, abandon_if_live, check_start
from .errors import QueueFull, TimeoutExpired

# Events taken per readiness callback, so that one busy session cannot
# starve the others; the descriptor stays readable for the rest.
_BATCH = 64


def _readable(ref: "weakref.ReferenceType[AsyncSession]") -> None:
    session = ref()
    if session is not None:
        session._take_ready()


def _forget(client: Client, fd: int, loop: asyncio.AbstractEventLoop) -> None:
    if not loop.is_closed():
        try:
            loop.remove_reader(fd)
        except (RuntimeError, ValueError):
            pass  # collected on another thread or after the loop ended
    abandon_if_live(client)


class AsyncSession:
    """One recognition session for asyncio.

    >>> async with quorvex.AsyncSession(url, token="t") as s:
    ...     await s.send(pcm)
    ...     await s.stop()
    ...     async for r in s:
    ...         print(r.text)

    Entering connects and starts (or raises :class:`StartError`); leaving
    stops and waits for the server's answer. ``async for`` yields
    :class:`Result` until the session has stopped; it raises SessionError
    when the session breaks off and QueueFull when results were dropped.

    ``queue_capacity``: the most texts the library holds for this session
    until they are taken (0: its default, 1024); beyond it they are dropped
    and :class:`QueueFull` says how many.
    """

    def __init__(self, url: str, token: str = "", *, queue_capacity: int = 0,
                 on_resumed: Optional[Callable[[Resumed], None]] = None) -> None:
        self._on_resumed = on_resumed
        self._url = url
        self._token = token
        self._queue_capacity = queue_capacity
        self._core: Optional[Core] = None
        self._changed: Optional[asyncio.Event] = None
        self._loop: Optional[asyncio.AbstractEventLoop] = None

    async def start(self) -> None:
        """Connects and starts the session; StartError when it does not start."""
        if self._core is not None:
            raise RuntimeError("this session has already been started")
        check_start(self._url, self._token)
        self._loop = asyncio.get_running_loop()
        self._changed = asyncio.Event()
        core = self._core = Core(self._queue_capacity)
        core.on_resumed = self._on_resumed
        self._finalizer = weakref.finalize(self, _forget, core.client, core.fd, self._loop)
        self._finalizer.atexit = False
        self._loop.add_reader(core.fd, _readable, weakref.ref(self))
        core.start(self._url, self._token)
        await self._until(lambda: core.state != STARTING, None)
        if core.state == FAILED:
            error = core.start_error
            await self.close()
            assert error is not None
            raise error

    @property
    def session_id(self) -> Optional[str]:
        return self._started().session_id

    @property
    def running(self) -> bool:
        return self._core is not None and self._core.state == RUNNING

    @property
    def resumptions(self) -> List[Resumed]:
        """Each time the session was carried over to a new one (see :class:`quorvex.Resume`)."""
        return list(self._started().resumptions)

    def stats(self) -> Stats:
        """The session's statistics; never waits for the network."""
        return self._started().stats()

    @property
    def message_errors(self) -> List[str]:
        return list(self._started().message_errors)

    async def send(self, pcm: Pcm) -> None:
        """Sends 16-bit, 16 kHz, mono PCM (bytes, bytearray, memoryview or a
        numpy int16 array); never waits for the network. ValueError: not
        such PCM, or more at once than the send queue holds; SessionError:
        the session broke off or is not running."""
        core = self._started()
        if core.send(pcm) != native.OK:
            self._take_ready()
            raise core.not_running()

    async def stop(self, timeout: Optional[float] = None) -> None:
        """Asks the server to end the session and waits for its answer; the
        results that come meanwhile stay for ``async for``."""
        core = self._started()
        core.request_stop()
        if not await self._until(lambda: core.state not in (RUNNING, STOPPING), timeout):
            raise TimeoutExpired(f"no stop answer within {timeout} s")
        if core.error is not None and not core.error_reported:
            core.error_reported = True
            raise core.error

    async def close(self) -> None:
        """Stops the session if it runs, waits for the answer, frees the client."""
        core = self._core
        if core is None:
            return
        try:
            if core.state in (RUNNING, STOPPING):
                core.error_reported = True
                await self.stop()
        finally:
            if self._loop is not None and not self._loop.is_closed():
                self._loop.remove_reader(core.fd)
            core.destroy()
            self._finalizer.detach()

    def __aiter__(self) -> "AsyncSession":
        return self

    async def __anext__(self) -> Result:
        core = self._started()
        await self._until(lambda: bool(core.items) or core.state not in (RUNNING, STOPPING), None)
        if core.items:
            item = core.items.popleft()
            if isinstance(item, QueueFull):
                raise item
            return item
        if core.error is not None:
            core.error_reported = True
            raise core.error
        raise StopAsyncIteration

    async def __aenter__(self) -> "AsyncSession":
        await self.start()
        return self

    async def __aexit__(self, kind: Optional[Type[BaseException]], value: Optional[BaseException],
                        traceback: Optional[TracebackType]) -> None:
        await self.close()

    def _started(self) -> Core:
        if self._core is None:
            raise RuntimeError("the session has not been started: use 'async with' or await start()")
        return self._core

    def _take_ready(self) -> None:
        core = self._core
        if core is None:
            return
        taken, raised = 0, True
        try:
            while taken < _BATCH and core.take():
                taken += 1
            raised = False
        finally:  # an on_resumed that raised must not leave what was taken unannounced
            if (taken or raised) and self._changed is not None:
                self._changed.set()

    async def _until(self, ready: Callable[[], bool], timeout: Optional[float]) -> bool:
        assert self._changed is not None
        loop = asyncio.get_running_loop()
        deadline = None if timeout is None else loop.time() + timeout
        while not ready():
            self._changed.clear()
            left = None if deadline is None else deadline - loop.time()
            if left is not None and left <= 0:
                return False
            if left is None:
                await self._changed.wait()
                continue
            try:
                await asyncio.wait_for(self._changed.wait(), left)
            except asyncio.TimeoutError:
                return ready()
        return True
