# SPDX-License-Identifier: Apache-2.0
"""quorvex: stream 16-bit, 16 kHz, mono PCM to a speech-recognition server.

    import quorvex
    with quorvex.Session("ws://127.0.0.1:8080/asr", token="t") as s:
        s.send(pcm)
        s.stop()
        print([r.text for r in s.results() if r.final])

A pure-Python layer over libquorvex's C interface (libquorvex.so.1, loaded
from beside this package, then from the system's library path, or from the
file named by QUORVEX_LIBRARY). The library's event-loop threads never call
into Python: each session's events wait in a queue inside the library until
Python takes them, so a Python thread busy for a while holds up no session's
network traffic.
"""
from ._core import Resumed, Result, Stats
from ._native import LibraryNotFound
from ._runtime import Limits, Proxy, Resume, Tls, configure, version
from .aio import AsyncSession
from .errors import FailureCategory, QueueFull, QuorvexError, SessionError, StartError, TimeoutExpired
from .session import Session
from .transcribe import transcribe

__all__ = ["AsyncSession", "FailureCategory", "LibraryNotFound", "Limits", "Proxy", "QueueFull", "QuorvexError",
           "Result", "Resume", "Resumed", "Session", "Stats", "SessionError", "StartError", "TimeoutExpired", "Tls", "configure", "transcribe",
           "version"]
__version__ = "1.0.0"
