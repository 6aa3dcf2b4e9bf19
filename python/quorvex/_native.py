# SPDX-License-Identifier: Apache-2.0
"""The C interface (quorvex_c.h) through ctypes: loading, records, prototypes.

Only CDLL is used: it releases the interpreter lock for the length of every
foreign call, so a call that waits (next_event, destroy, release) never holds
up another Python thread, and the library's loop threads never wait for Python.
"""
from __future__ import annotations

import ctypes
import ctypes.util
import os
from pathlib import Path
from typing import List, Optional, Type, TypeVar

OK = 0
ERROR = -1
BUSY = -5

EVENT_START_RESULT = 1
EVENT_START_FAILURE = 2
EVENT_TEXT = 3
EVENT_SESSION_ERROR = 4
EVENT_MESSAGE_ERROR = 5
EVENT_STOP_RESULT = 6
EVENT_DESTROYED = 7
EVENT_LOST = 8
EVENT_RESUMED = 9

SONAME = "libquorvex.so.1"
ENV_OVERRIDE = "QUORVEX_LIBRARY"


class LibraryNotFound(OSError):
    """The shared library libquorvex.so.1 could not be loaded."""


class LogSettings(ctypes.Structure):
    _fields_ = [("size", ctypes.c_size_t), ("enable", ctypes.c_int), ("path", ctypes.c_char_p),
                ("callback", ctypes.c_void_p), ("user", ctypes.c_void_p), ("no_stdout", ctypes.c_int)]


class ClientLimits(ctypes.Structure):
    _fields_ = [("size", ctypes.c_size_t), ("connect_timeout_ms", ctypes.c_int),
                ("start_timeout_ms", ctypes.c_int), ("stop_timeout_ms", ctypes.c_int),
                ("ping_after_seconds", ctypes.c_int), ("hang_up_after_seconds", ctypes.c_int),
                ("send_queue_bytes", ctypes.c_int)]


class ProxySettings(ctypes.Structure):
    _fields_ = [("size", ctypes.c_size_t), ("ws_proxy", ctypes.c_char_p), ("wss_proxy", ctypes.c_char_p),
                ("no_proxy", ctypes.c_char_p), ("use_environment", ctypes.c_int)]


class TlsSettings(ctypes.Structure):
    _fields_ = [("size", ctypes.c_size_t), ("verify", ctypes.c_int), ("ca_file", ctypes.c_char_p),
                ("ca_path", ctypes.c_char_p)]


class Event(ctypes.Structure):
    _fields_ = [("size", ctypes.c_size_t), ("type", ctypes.c_int), ("code", ctypes.c_int),
                ("text", ctypes.c_char_p), ("bg", ctypes.c_int), ("ed", ctypes.c_int), ("fin", ctypes.c_int),
                ("category", ctypes.c_int), ("status", ctypes.c_int), ("retry_after_seconds", ctypes.c_int),
                ("previous_session_id", ctypes.c_char_p), ("replayed_ms", ctypes.c_int),
                ("unreplayable_ms", ctypes.c_int)]


class ResumeSettings(ctypes.Structure):
    _fields_ = [("size", ctypes.c_size_t), ("enabled", ctypes.c_int), ("attempts", ctypes.c_int),
                ("backoff_ms", ctypes.c_int), ("backoff_max_ms", ctypes.c_int), ("jitter_percent", ctypes.c_int),
                ("replay_ms", ctypes.c_int)]


class SessionStats(ctypes.Structure):
    _fields_ = [("size", ctypes.c_size_t), ("audio_ms_sent", ctypes.c_longlong), ("bytes_queued", ctypes.c_longlong),
                ("queue_cap_bytes", ctypes.c_longlong), ("texts_received", ctypes.c_longlong),
                ("resumptions", ctypes.c_int), ("last_ping_round_trip_ms", ctypes.c_int),
                ("last_final_latency_ms", ctypes.c_int)]


class ClientOptions(ctypes.Structure):
    _fields_ = [("size", ctypes.c_size_t), ("callback", ctypes.c_void_p), ("user", ctypes.c_void_p),
                ("queue_capacity", ctypes.c_int)]


Record = TypeVar("Record", bound=ctypes.Structure)


def sized(record_type: Type[Record], **members: object) -> Record:
    """A zeroed record with its size member set, as the header asks."""
    record = record_type()
    record.size = ctypes.sizeof(record_type)
    for name, value in members.items():
        setattr(record, name, value)
    return record


def _candidates() -> List[str]:
    override = os.environ.get(ENV_OVERRIDE)
    if override:
        return [override]
    return [str(Path(__file__).resolve().parent / SONAME), SONAME]


def _load() -> ctypes.CDLL:
    tried = []
    for candidate in _candidates():
        if os.sep in candidate and not os.path.exists(candidate):
            tried.append(f"{candidate} (no such file)")
            continue
        try:
            return ctypes.CDLL(candidate)
        except OSError as error:
            tried.append(f"{candidate} ({error})")
    found = ctypes.util.find_library("quorvex")
    if found and ENV_OVERRIDE not in os.environ:
        try:
            return ctypes.CDLL(found)
        except OSError as error:
            tried.append(f"{found} ({error})")
    raise LibraryNotFound(
        f"quorvex could not load its shared library {SONAME}; tried: " + "; ".join(tried)
        + f". Install the libquorvex1 package, put {SONAME} on the loader's path, "
        + f"or name the file in {ENV_OVERRIDE}.")


def _declare(lib: ctypes.CDLL) -> None:
    client = ctypes.c_void_p
    prototypes = {
        "qv_version": (ctypes.c_char_p, []),
        "qv_set_loop_threads": (ctypes.c_int, [ctypes.c_int]),
        "qv_init": (ctypes.c_int, [ctypes.POINTER(LogSettings)]),
        "qv_release": (None, []),
        "qv_set_client_limits": (ctypes.c_int, [ctypes.POINTER(ClientLimits)]),
        "qv_set_proxy_settings": (ctypes.c_int, [ctypes.POINTER(ProxySettings)]),
        "qv_set_tls_settings": (ctypes.c_int, [ctypes.POINTER(TlsSettings)]),
        "qv_client_create": (client, [ctypes.POINTER(ClientOptions)]),
        "qv_client_start": (ctypes.c_int, [client, ctypes.c_char_p, ctypes.c_char_p]),
        "qv_client_send_audio": (ctypes.c_int, [client, ctypes.c_void_p, ctypes.c_int]),
        "qv_client_stop": (ctypes.c_int, [client]),
        "qv_client_destroy": (ctypes.c_int, [client]),
        "qv_client_next_event": (ctypes.c_int, [client, ctypes.c_int, ctypes.POINTER(Event)]),
        "qv_client_event_fd": (ctypes.c_int, [client]),
        "qv_set_resume_settings": (ctypes.c_int, [ctypes.POINTER(ResumeSettings)]),
        "qv_client_stats": (ctypes.c_int, [client, ctypes.POINTER(SessionStats)]),
    }
    missing = []
    for name, (restype, argtypes) in prototypes.items():
        try:
            function = getattr(lib, name)
        except AttributeError:
            missing.append(name)
            continue
        function.restype = restype
        function.argtypes = argtypes
    if missing:
        raise LibraryNotFound(f"{lib._name} lacks the C interface ({', '.join(missing)}): "
                              "it is older than this package")


_lib: Optional[ctypes.CDLL] = None


def lib() -> ctypes.CDLL:
    """The loaded library, loaded at first use so that importing never fails."""
    global _lib
    if _lib is None:
        loaded = _load()
        _declare(loaded)
        _lib = loaded
    return _lib
