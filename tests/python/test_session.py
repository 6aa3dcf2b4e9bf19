# SPDX-License-Identifier: Apache-2.0
"""The synchronous API, numpy input, transcribe and the command line."""
from __future__ import annotations

import subprocess
import sys
import wave

import numpy as np
import pytest

import quorvex
from conftest import DEADLINE, TOKEN, child_env, echo_text, pcm


def finals(session: quorvex.Session) -> list:
    return [r.text for r in session.results(timeout=DEADLINE) if r.final]


def test_a_stream_in_odd_pieces_arrives_whole(server):
    audio = pcm(2.5)
    pieces, at, size = [], 0, 1
    while at < len(audio):
        pieces.append(audio[at:at + size])
        at += size
        size = size * 7 % 4093 + 1  # odd and even lengths, one byte to four kilobytes
    with quorvex.Session(server.url, token=TOKEN) as s:
        assert s.session_id
        for piece in pieces:
            s.send(bytearray(piece) if len(piece) % 3 else piece)
        s.stop()
        results = list(s.results())
    assert [r.final for r in results] == [False, False, True]
    assert results[-1] == quorvex.Result(echo_text(audio), 0, 2500, True)


def test_numpy_int16_in_every_layout(server):
    samples = np.frombuffer(pcm(1.0, seed=2), dtype="<i2")
    with quorvex.Session(server.url, token=TOKEN) as s:
        s.send(samples[:4000])
        s.send(samples[4000:8000].reshape(-1, 1))             # one column: one channel
        s.send(samples[8000:12000].astype(">i2"))             # big-endian: converted to the wire's order
        s.send(memoryview(samples[12000:].copy()))            # a memoryview of int16 items
        s.stop()
        assert finals(s) == [echo_text(samples.tobytes())]


@pytest.mark.parametrize("audio", [np.zeros(320, dtype=np.float32), np.zeros(320, dtype=np.int32),
                                   np.zeros((320, 2), dtype=np.int16), memoryview(np.zeros(4, dtype=np.float64))])
def test_audio_that_is_not_16_bit_mono_is_refused(server, audio):
    with quorvex.Session(server.url, token=TOKEN) as s:
        with pytest.raises(ValueError):
            s.send(audio)
        s.send(pcm(0.1))  # the session goes on
        s.stop()
        assert finals(s) == [echo_text(pcm(0.1))]


def test_transcribe_takes_a_wav_file_bytes_or_chunks(server, tmp_path):
    audio = pcm(1.2, seed=3)
    path = tmp_path / "a.wav"
    with wave.open(str(path), "wb") as wav:
        wav.setnchannels(1)
        wav.setsampwidth(2)
        wav.setframerate(16000)
        wav.writeframes(audio)
    expected = [echo_text(audio)]
    assert quorvex.transcribe(path, url=server.url, token=TOKEN) == expected
    assert quorvex.transcribe(audio, url=server.url, token=TOKEN) == expected
    assert quorvex.transcribe(path.read_bytes(), url=server.url, token=TOKEN) == expected
    assert quorvex.transcribe(memoryview(path.read_bytes()), url=server.url, token=TOKEN) == expected
    chunks = (audio[at:at + 999] for at in range(0, len(audio), 999))
    assert quorvex.transcribe(chunks, url=server.url, token=TOKEN) == expected
    printed = subprocess.run([sys.executable, "-m", "quorvex", str(path), "--url", server.url, "--token", TOKEN],
                             env=child_env(), capture_output=True, text=True, timeout=DEADLINE)
    assert (printed.returncode, printed.stdout) == (0, expected[0] + "\n"), printed.stderr


def test_start_errors_carry_the_library_reasons(server, own_server):
    with pytest.raises(quorvex.StartError) as refused:
        quorvex.Session(server.url, token="wrong")
    assert (refused.value.code, refused.value.category, refused.value.status) == \
        (-4, quorvex.FailureCategory.SESSION_REFUSED, 401)
    assert "wrong" not in str(refused.value)
    closed_url = own_server.url
    own_server.kill()
    with pytest.raises(quorvex.StartError) as nobody:
        quorvex.Session(closed_url)
    assert (nobody.value.code, nobody.value.category) == (-2, quorvex.FailureCategory.CONNECTION_REFUSED)
    with pytest.raises(quorvex.StartError) as malformed:
        quorvex.Session("http:/nowhere")
    assert malformed.value.code == -1
    assert isinstance(quorvex.FailureCategory.OTHER, int)


def test_a_session_that_breaks_off_raises_session_error(own_server):
    with quorvex.Session(own_server.url) as s:
        s.send(pcm(1.0))
        assert next(s.results(timeout=DEADLINE)).text == echo_text(pcm(1.0))
        own_server.kill()
        with pytest.raises(quorvex.SessionError, match="disconnect from server"):
            list(s.results(timeout=DEADLINE))
        with pytest.raises(quorvex.SessionError):
            s.send(pcm(0.1))


def test_results_dropped_at_the_cap_are_counted(server):
    audio = pcm(6.0, seed=4)
    with quorvex.Session(server.url, token=TOKEN, queue_capacity=1) as s:
        for at in range(0, len(audio), 640):
            s.send(audio[at:at + 640])  # a text after each whole second
        s.stop(wait=False)
        # Once the server has ended the session, its texts have all been sent.
        server.wait_for_line(rf"session {s.session_id} .*ended", "the server ending the session")
        kept, lost = [], 0
        while True:
            try:
                kept.extend(s.results(timeout=DEADLINE))
                break
            except quorvex.QueueFull as full:
                lost += full.lost
        assert lost > 0
        assert len(kept) + lost == 7  # six texts, one a second, and the final one
        assert kept[0].text == echo_text(audio[:32000])


def test_a_missing_library_is_named():
    env = dict(child_env(), QUORVEX_LIBRARY="/nonexistent/libquorvex.so.1")
    run = subprocess.run([sys.executable, "-c", "import quorvex; quorvex.Session('ws://127.0.0.1:1/asr')"],
                         env=env, capture_output=True, text=True, timeout=DEADLINE)
    assert run.returncode != 0
    assert "LibraryNotFound" in run.stderr and "/nonexistent/libquorvex.so.1" in run.stderr


def test_large_sends_and_calls_on_a_closed_session(server):
    # Seconds in one call leave as messages a server takes; more than the
    # send queue holds is refused before anything is sent.
    with quorvex.Session(server.url, token=TOKEN) as a:
        a.send(pcm(3.0))
        with pytest.raises(ValueError, match="more than the send queue holds"):
            a.send(bytes(3 * 1024 * 1024))
        a.stop()
        assert finals(a) == [echo_text(pcm(3.0))]
    # The next client may get the closed one's address: nothing of the closed
    # session may reach it.
    with quorvex.Session(server.url, token=TOKEN) as b:
        with pytest.raises(quorvex.SessionError, match="closed"):
            a.send(pcm(0.5))
        with pytest.raises(quorvex.SessionError, match="closed"):
            a.stats()
        b.stop()
        assert finals(b) == [echo_text(b"")]


@pytest.mark.parametrize("arguments, error", [
    ({"url": None}, TypeError), ({"token": "a\0b"}, ValueError), ({"queue_capacity": 2**32 + 1}, ValueError)])
def test_arguments_the_library_would_cut_are_refused(server, arguments, error):
    with pytest.raises(error):
        quorvex.Session(**{"url": server.url, "token": TOKEN, **arguments})
