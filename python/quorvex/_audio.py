# SPDX-License-Identifier: Apache-2.0
"""Audio a caller hands over, as the bytes of 16-bit, 16 kHz, mono PCM."""
from __future__ import annotations

import os
import wave
from typing import Any, BinaryIO, Union

Pcm = Union[bytes, bytearray, memoryview, Any]  # Any: a numpy int16 array

_BYTE_FORMATS = {"B", "b", "c"}
_INT16_FORMATS = {"h", "<h", "=h", "@h"}


def as_bytes_view(pcm: Pcm) -> Union[bytes, memoryview]:
    """A flat byte view of pcm without copying where possible.

    ValueError for audio that cannot be 16-bit mono PCM: a numpy array of
    another dtype or with more than one channel, or a buffer of wider items.
    """
    if isinstance(pcm, bytes):
        return pcm
    if isinstance(pcm, (bytearray, memoryview)):
        view = memoryview(pcm)
        if view.format not in _BYTE_FORMATS | _INT16_FORMATS:
            raise ValueError(f"audio must be bytes or 16-bit samples, not items of format {view.format!r}")
        if view.ndim > 1:
            raise ValueError("audio must be one channel: a flat buffer")
        if not view.c_contiguous:
            return memoryview(view.tobytes())
        if view.format == "B":
            return view
        try:
            return view.cast("B")
        except TypeError:  # an explicit byte order ("<h") cannot be cast
            return memoryview(view.tobytes())
    dtype = getattr(pcm, "dtype", None)
    if dtype is None:
        raise TypeError(f"audio must be bytes, bytearray, memoryview or a numpy int16 array, "
                        f"not {type(pcm).__name__}")
    if dtype.kind != "i" or dtype.itemsize != 2:
        raise ValueError(f"a numpy array of audio must have dtype int16, not {dtype}")
    shape = pcm.shape
    if len(shape) > 2 or (len(shape) == 2 and 1 not in shape):
        raise ValueError(f"audio must be one channel; this array has shape {shape}")
    if dtype.byteorder == ">" or (dtype.byteorder == "=" and not _little_endian()):
        pcm = pcm.astype("<i2")
    flat = pcm.reshape(-1)
    if not flat.flags["C_CONTIGUOUS"]:
        flat = flat.copy()
    return memoryview(flat).cast("B")


def _little_endian() -> bool:
    import sys
    return sys.byteorder == "little"


def read_wav(path: Union[str, "os.PathLike[str]", BinaryIO]) -> bytes:
    """The samples of a 16-bit, 16 kHz, mono WAV file."""
    with wave.open(path if hasattr(path, "read") else os.fspath(path), "rb") as wav:  # type: ignore
        channels, width, rate = wav.getnchannels(), wav.getsampwidth(), wav.getframerate()
        if (channels, width, rate) != (1, 2, 16000):
            raise ValueError(f"{path}: {channels} channel(s), {width * 8}-bit, {rate} Hz; quorvex takes "
                             "16-bit, 16 kHz mono PCM (convert it first, for example with sox)")
        return bytes(wav.readframes(wav.getnframes()))
