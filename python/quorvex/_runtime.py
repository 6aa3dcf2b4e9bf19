# SPDX-License-Identifier: Apache-2.0
"""Library-wide state: init and release, settings, and the clients still alive.

Clients are queue clients only (no callback), so the library's loop threads
never call into Python and never wait for the interpreter lock.
"""
from __future__ import annotations

import atexit
import ctypes
import os
import select
import threading
import time
from dataclasses import dataclass, fields
from typing import List, Optional, Set, Union

from . import _native as native

PathLike = Union[str, "os.PathLike[str]"]


@dataclass(frozen=True)
class Limits:
    """Bounds of sessions started afterwards; None keeps the library's default
    (10 s connect, 10 s start answer, 10 s stop answer, ping after 10 s,
    hang up after 20 s, 2 MiB of audio not yet taken by the network)."""

    connect_timeout_ms: Optional[int] = None
    start_timeout_ms: Optional[int] = None
    stop_timeout_ms: Optional[int] = None
    ping_after_seconds: Optional[int] = None
    hang_up_after_seconds: Optional[int] = None
    send_queue_bytes: Optional[int] = None


@dataclass(frozen=True)
class Proxy:
    """HTTP proxies that tunnel with CONNECT, as ``http://[user:password@]host:port``."""

    ws_proxy: Optional[str] = None
    wss_proxy: Optional[str] = None
    no_proxy: Optional[str] = None
    use_environment: bool = False


@dataclass(frozen=True)
class Tls:
    """Certificate checks of wss:// sessions (off by default)."""

    verify: bool = False
    ca_file: Optional[PathLike] = None
    ca_path: Optional[PathLike] = None


@dataclass(frozen=True)
class Resume:
    """Resumption of sessions started afterwards (off unless configured): a
    session whose connection is lost, or whose server goes away, is carried
    over to a new session on the same URL with the audio after the last final
    result sent again; results keep one timeline and no final comes twice.
    None keeps the library's default (5 attempts, 200 ms back-off doubling to
    2000 ms, 20 % jitter, 30 s of audio kept)."""

    enabled: bool = True
    attempts: Optional[int] = None
    backoff_ms: Optional[int] = None
    backoff_max_ms: Optional[int] = None
    jitter_percent: Optional[int] = None
    replay_ms: Optional[int] = None


_lock = threading.RLock()
_initialised = False
_atexit_registered = False
_log_file: Optional[bytes] = None
_loop_threads: Optional[int] = None
_limits: Optional[Limits] = None
_proxy: Optional[Proxy] = None
_tls: Optional[Tls] = None
_resume: Optional[Resume] = None
class Client:
    """One library client. Calls on it may overlap each other (a send on one
    thread, a wait for events on another) but never its destruction, which
    happens once. Held by its owner rather than looked up by address: the
    library may give a freed client's address to the next one."""

    def __init__(self, handle: int) -> None:
        self.handle = handle
        self.freed = False
        self._changed = threading.Condition(threading.Lock())
        self._calls: Set[object] = set()
        self._closing = False

    def begin(self, call: object) -> bool:
        with self._changed:
            self._calls.add(call)
            return not (self._closing or self.freed)

    def end(self, call: object) -> None:
        with self._changed:
            self._calls.discard(call)
            if not self._calls:
                self._changed.notify_all()

    def close(self) -> int:
        """_DESTROY: the caller destroys it now (calls that begin meanwhile
        return at once), then says how it went with closed(); _FREED: it is
        gone; _BUSY: calls still in progress after _CLOSE_WAIT seconds."""
        deadline = time.monotonic() + _CLOSE_WAIT
        with self._changed:
            while self._closing:  # another thread destroys it: its outcome decides
                if not self._changed.wait(max(0.0, deadline - time.monotonic())):
                    return _BUSY
            if self.freed:
                return _FREED
            self._closing = True
            while self._calls:
                if not self._changed.wait(max(0.0, deadline - time.monotonic())) and self._calls:
                    self._closing = False
                    self._changed.notify_all()
                    return _BUSY
            return _DESTROY

    def closed(self, freed: bool) -> None:
        with self._changed:
            self._closing = False
            self.freed = freed
            self._changed.notify_all()


_DESTROY, _FREED, _BUSY = range(3)
# Calls on a client return at once (events are waited for on its descriptor);
# a destruction waits this long for one whose thread was held up meanwhile.
_CLOSE_WAIT = 5.0

# Clients not yet destroyed; one whose owner was collected while it was busy
# waits in _orphans until its session has ended.
_live: Set[Client] = set()
_orphans: List[Client] = []
_shut_down = False


_C_INT_MAX = 2**31 - 1


def c_int(name: str, value: int) -> int:
    """A setting as the library takes it (a C int): never silently cut."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if not 0 <= value <= _C_INT_MAX:
        raise ValueError(f"{name} must be 0 to {_C_INT_MAX}, not {value}")
    return value


def _encode(value: Optional[PathLike]) -> Optional[bytes]:
    return None if value is None else os.fsencode(value)


def _apply_limits(limits: Optional[Limits]) -> None:
    record = native.sized(native.ClientLimits)
    for field in fields(Limits):
        setattr(record, field.name, c_int(field.name, getattr(limits, field.name) or 0) if limits else 0)
    if native.lib().qv_set_client_limits(ctypes.byref(record)) != native.OK:
        raise ValueError(f"limits refused by the library: {limits}")


def _apply_proxy(proxy: Optional[Proxy]) -> None:
    if proxy is None:
        result = native.lib().qv_set_proxy_settings(None)
    else:
        record = native.sized(native.ProxySettings, ws_proxy=_encode(proxy.ws_proxy),
                              wss_proxy=_encode(proxy.wss_proxy), no_proxy=_encode(proxy.no_proxy),
                              use_environment=int(proxy.use_environment))
        result = native.lib().qv_set_proxy_settings(ctypes.byref(record))
    if result != native.OK:
        raise ValueError(f"proxy settings refused by the library (a URL that does not parse): {proxy}")


def _apply_tls(tls: Optional[Tls]) -> None:
    if tls is None:
        result = native.lib().qv_set_tls_settings(None)
    else:
        record = native.sized(native.TlsSettings, verify=int(tls.verify), ca_file=_encode(tls.ca_file),
                              ca_path=_encode(tls.ca_path))
        result = native.lib().qv_set_tls_settings(ctypes.byref(record))
    if result != native.OK:
        raise ValueError(f"TLS settings refused by the library (an unreadable CA file or folder, "
                         f"or CAs without verify): {tls}")


def _apply_resume(resume: Resume) -> None:
    numbers = {name: c_int(name, getattr(resume, name) or 0)
               for name in ("attempts", "backoff_ms", "backoff_max_ms", "jitter_percent", "replay_ms")}
    record = native.sized(native.ResumeSettings, enabled=int(resume.enabled), **numbers)
    if native.lib().qv_set_resume_settings(ctypes.byref(record)) != native.OK:
        raise ValueError(f"resumption settings refused by the library (a negative value, jitter over 100, "
                         f"a maximum below the back-off, or past a bound): {resume}")


def _init_locked() -> None:
    global _initialised, _atexit_registered
    library = native.lib()
    if _loop_threads is not None and library.qv_set_loop_threads(_loop_threads) != native.OK:
        raise ValueError(f"loop_threads must be 1 to 16, not {_loop_threads}")
    if _log_file is None:
        result = library.qv_init(None)
    else:
        log = native.sized(native.LogSettings, enable=1, path=_log_file, no_stdout=1)
        result = library.qv_init(ctypes.byref(log))
    if result == native.ERROR:
        library.qv_release()  # as the library asks before another try
        raise OSError(f"the library could not start (log file {_log_file!r}, or an event loop; "
                      "it printed why on standard output)")
    # QV_BUSY: something else in the process initialised it; it is used as it is.
    _initialised = True
    if not _atexit_registered:
        atexit.register(shutdown)
        _atexit_registered = True
    # A restarted library starts from its defaults: what was set applies again.
    if _limits is not None:
        _apply_limits(_limits)
    if _proxy is not None:
        _apply_proxy(_proxy)
    if _tls is not None:
        _apply_tls(_tls)
    if _resume is not None:
        _apply_resume(_resume)


def ensure_initialised() -> None:
    with _lock:
        if not _initialised:
            _init_locked()


def configure(*, log_file: Optional[PathLike] = None, loop_threads: Optional[int] = None,
              limits: Optional[Limits] = None, proxy: Optional[Proxy] = None, tls: Optional[Tls] = None,
              resume: Optional[Resume] = None) -> None:
    """Library-wide settings; each argument left None keeps its current value.

    ``log_file``: the library's log goes to this file (created if missing,
    overwritten from its start), and nowhere else; logging is off unless it
    is set.
    ``loop_threads``: event-loop threads, 1 to 16 (default 1).
    Both take effect by restarting the library, so they may only change
    while no session exists (RuntimeError otherwise).
    ``limits``, ``proxy``, ``tls``, ``resume``: apply to sessions started afterwards.

    There is deliberately no Python log callback: the library calls its log
    callback on its event-loop threads, and a Python function there would
    have to take the interpreter lock, so a Python thread busy for a while
    would hold up every session's loop. Log to a file and read it instead.
    """
    global _log_file, _loop_threads, _limits, _proxy, _tls, _resume
    with _lock:
        if _shut_down:
            raise RuntimeError("the interpreter is exiting: the library is released")
        log_path, threads = _log_file, _loop_threads
        if log_file is not None:
            log_path = os.fsencode(log_file)
            with open(log_path, "ab"):
                pass  # the library opens only a file that exists
        if loop_threads is not None:
            if not 1 <= loop_threads <= 16:
                raise ValueError(f"loop_threads must be 1 to 16, not {loop_threads}")
            threads = loop_threads
        restart = log_path != _log_file or threads != _loop_threads
        if restart and _initialised:
            reap_orphans()
            if _live:
                raise RuntimeError("log_file and loop_threads can change only while no session exists")
            _release_locked()
        _log_file, _loop_threads = log_path, threads
        if not _initialised:
            _init_locked()
        # Kept only once the library took them, so that a restart cannot fail on them.
        if limits is not None:
            _apply_limits(limits)
            _limits = limits
        if proxy is not None:
            _apply_proxy(proxy)
            _proxy = proxy
        if tls is not None:
            _apply_tls(tls)
            _tls = tls
        if resume is not None:
            _apply_resume(resume)
            _resume = resume


def version() -> str:
    """The library's version, for example ``"v1.0.0"``."""
    return str(native.lib().qv_version().decode())


def create_client(queue_capacity: int = 0) -> Client:
    with _lock:
        if _shut_down:
            raise RuntimeError("the interpreter is exiting: no new session")
        if not _initialised:
            _init_locked()
        reap_orphans()
        options = native.sized(native.ClientOptions, queue_capacity=c_int("queue_capacity", queue_capacity))
        handle: Optional[int] = native.lib().qv_client_create(ctypes.byref(options))
        if not handle:
            raise RuntimeError("the library could not create a client")
        client = Client(handle)
        _live.add(client)
        return client


def destroy_client(client: Client) -> int:
    """qv_client_destroy once no other call on the client is in progress,
    and only once; QV_OK when it is freed (now or before), QV_BUSY while its
    session goes on."""
    step = client.close()
    if step != _DESTROY:
        return native.OK if step == _FREED else native.BUSY
    result = native.BUSY
    try:
        result = int(native.lib().qv_client_destroy(client.handle))
    finally:
        freed = result != native.BUSY
        if freed:
            _live.discard(client)
        client.closed(freed)
    return result


def call(client: Client, function: str, *arguments: object, gone: int = native.BUSY) -> int:
    """A qv_client_* function, never on a client being destroyed; ``gone``
    when the client has been freed. Counted in inside the try, so that an
    exception (Ctrl-C) at any point leaves no call counted."""
    token = object()
    try:
        if not client.begin(token):
            return gone
        return int(getattr(native.lib(), function)(client.handle, *arguments))
    finally:
        client.end(token)


def abandon(client: Client) -> None:
    """A client whose owner is gone: destroyed now if idle, otherwise its
    session is stopped and the client destroyed once it has ended. Never
    waits for the server."""
    if destroy_client(client) == native.BUSY:
        call(client, "qv_client_stop")
        with _lock:
            _orphans.append(client)


def reap_orphans() -> None:
    """Frees the abandoned clients whose sessions have ended (each new client
    and each restart tries; exit frees the rest). The stop is asked again:
    a session abandoned while it was starting could not be stopped then."""
    with _lock:
        waiting = list(_orphans)
        _orphans.clear()
        for client in waiting:
            call(client, "qv_client_stop")
            drain(client)
            if destroy_client(client) == native.BUSY:
                _orphans.append(client)


def drain(client: Client) -> None:
    """Drops what an abandoned client has queued, so its cap holds nothing."""
    event = native.sized(native.Event)
    while call(client, "qv_client_next_event", 0, ctypes.byref(event), gone=0) == 1:
        pass


def _release_locked() -> None:
    global _initialised
    native.lib().qv_release()
    _initialised = False


def shutdown(grace: float = 1.0) -> None:
    """At interpreter exit: stops the sessions still open, destroys what has
    ended within ``grace`` seconds, releases the library (which ends every
    connection), then frees the rest. Never waits longer than that."""
    global _shut_down
    with _lock:
        _shut_down = True  # a daemon thread's next session must not start the library again
        if not _initialised:
            return
        clients = list(_live)
        for client in clients:
            call(client, "qv_client_stop")
        deadline = time.monotonic() + grace
        waiting = clients
        while True:
            for client in waiting:
                drain(client)
            waiting = [client for client in waiting if destroy_client(client) == native.BUSY]
            left = deadline - time.monotonic()
            if not waiting or left <= 0:
                break
            # Readable once a stop answer (or any event) is queued.
            poller = select.poll()
            for client in waiting:
                fd = call(client, "qv_client_event_fd", gone=-1)
                if fd >= 0:
                    poller.register(fd, select.POLLIN)
            poller.poll(min(left, 0.1) * 1000)
        _release_locked()
        for client in list(_live):
            destroy_client(client)
        _orphans.clear()
