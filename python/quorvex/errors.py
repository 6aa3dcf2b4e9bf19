# SPDX-License-Identifier: Apache-2.0
"""The exceptions quorvex raises, with the library's own reasons."""
from __future__ import annotations

import enum


class FailureCategory(enum.IntEnum):
    """Why a start failed: the values of the C interface's qv_failure_category."""

    OTHER = 0
    CONNECTION_REFUSED = 1
    NAME_NOT_RESOLVED = 2
    CONNECT_TIMEOUT = 3
    ANSWER_TIMEOUT = 4
    TLS_HANDSHAKE_FAILED = 5
    CERTIFICATE_REJECTED = 6
    PROXY_FAILED = 7
    UPGRADE_REFUSED = 8
    SESSION_REFUSED = 9


class QuorvexError(Exception):
    """Base of the errors of a session."""


class StartError(QuorvexError):
    """A session did not start.

    ``code`` is the start result (-2 connection failed, -4 refused by the
    server, -1 the request itself was refused: a malformed URL);
    ``category`` a :class:`FailureCategory`; ``status`` the HTTP status or the
    server's msg_code (0 where none); ``retry_after`` the seconds of the
    server's Retry-After (0 when none). ``str()`` says what failed, never the
    credentials.
    """

    def __init__(self, message: str, code: int, category: FailureCategory = FailureCategory.OTHER,
                 status: int = 0, retry_after: int = 0) -> None:
        super().__init__(message)
        self.code = code
        self.category = category
        self.status = status
        self.retry_after = retry_after

    def __repr__(self) -> str:
        return (f"StartError({str(self)!r}, code={self.code}, category={self.category.name}, "
                f"status={self.status}, retry_after={self.retry_after})")


class SessionError(QuorvexError):
    """A started session broke off: the connection dropped, the server
    reported an error, or the send queue filled because the server stopped
    reading. The message is the library's (for example
    ``"disconnect from server! state:4"``)."""

    def __init__(self, message: str, code: int = 1) -> None:
        super().__init__(message)
        self.code = code


class QueueFull(QuorvexError):
    """The session's event queue reached its cap because results were not
    taken fast enough, and ``lost`` texts were dropped. The session goes on:
    iterate again for the texts that follow."""

    def __init__(self, lost: int) -> None:
        super().__init__(f"{lost} result(s) dropped: the event queue was full")
        self.lost = lost


class TimeoutExpired(QuorvexError, TimeoutError):
    """Nothing expected arrived before the deadline the caller gave."""
