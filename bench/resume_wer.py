#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Words lost to a server killed mid-file, with quorvex-transcribe's default resumption.

The five LibriVox recordings of pocketsphinx-testdata, concatenated (24.7 s),
go to quorvex-server (pocketsphinx) through `quorvex-transcribe --url URL FILE`
and no other option: once with no kill, then once for each of N seeded random
points, where the server is SIGKILLed as the recogniser reaches that point of
the file and started again on the same port.

"Reaches the point": the tool sends the file up to 20 s ahead of the results,
so the audio sent says little about where recognition is. A relay in front of
the server reads the `ed` of every text the server sends (its end, in ms of
the session's audio) and kills the server at the first text whose `ed` is at
or past the point; texts come every 0.5 s of audio, so the kill is up to about
0.5 s after the point (the table shows where it was). The relay only copies
bytes; the tool reconnects through it to the restarted server.

The table, a row a run:
  kill at / ed seen  the point drawn, and the `ed` of the text that set off the kill
  WER ref            word error rate against the recordings' reference text
                     (pocketsphinx-testdata's `transcription`)
  WER vs no-kill     against the transcript of the run with no kill
  up again           from the kill to the restarted server's "listening" line
  resumed, attempt   from the kill to the tool's "resumed:" line, and which attempt it was
  replayed           the audio sent again, as the tool says
  tool gap           the tool's "after N ms": its last text before the loss to the resumption
  text gap           the gap the application sees: last text before the kill to the
                     first text after, timed at the relay
The goal: every killed run's WER within 0.01 of the no-kill run's; the exit
status is 1 otherwise.

Together the recordings are one utterance for the recogniser (no second of
silence in them): its only final result comes at the end, and every kill
replays the file from its start. --silence 1.5 puts silence between them,
so that each is an utterance and a kill replays from the last final result.

Usage: /usr/bin/python3 bench/resume_wer.py [--seed 1] [--points 5] [--silence 0] [--build build/default]
"""
from __future__ import annotations

import argparse
import os
import random
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import wave

LIBRIVOX = "/usr/share/pocketsphinx/test/data/librivox"
DEADLINE_S = 300  # one run, on a busy machine


def words(text: str) -> list[str]:
    return [w for w in text.lower().split() if w not in ("<s>", "</s>", "[not", "final]")]


def edit_distance(ref: list[str], hyp: list[str]) -> int:
    row = list(range(len(hyp) + 1))
    for i in range(1, len(ref) + 1):
        diagonal, row[0] = row[0], i
        for j in range(1, len(hyp) + 1):
            above = row[j]
            row[j] = min(row[j] + 1, row[j - 1] + 1, diagonal + (ref[i - 1] != hyp[j - 1]))
            diagonal = above
    return row[len(hyp)]


def wer(ref: list[str], hyp: list[str]) -> float:
    return edit_distance(ref, hyp) / len(ref)


def reference_and_wav(directory: str, silence_s: float) -> tuple[list[str], str, float]:
    """The reference words in file order, and the recordings concatenated into one WAV."""
    ids, ref = [], []
    with open(os.path.join(LIBRIVOX, "transcription")) as lines:
        for line in lines:
            match = re.match(r"(.*)\((\S+)\)\s*$", line)
            if match:
                ref += words(match.group(1))
                ids.append(match.group(2))
    path = os.path.join(directory, "librivox.wav")
    with wave.open(path, "wb") as out:
        for i, name in enumerate(ids):
            with wave.open(os.path.join(LIBRIVOX, name + ".wav"), "rb") as part:
                if i == 0:
                    out.setparams(part.getparams())
                else:
                    out.writeframes(b"\0" * (int(silence_s * part.getframerate()) * part.getsampwidth()))
                out.writeframes(part.readframes(part.getnframes()))
    with wave.open(path, "rb") as whole:
        seconds = whole.getnframes() / whole.getframerate()
    return ref, path, seconds


class TextSniffer:
    """Reads the server's side of one WebSocket connection: the 101 answer,
    then unmasked frames; calls on_ed(ed) for each text frame with an "ed"."""

    def __init__(self, on_ed):
        self.on_ed = on_ed
        self.buffer = b""
        self.upgraded = False

    def feed(self, data: bytes) -> None:
        self.buffer += data
        if not self.upgraded:
            end = self.buffer.find(b"\r\n\r\n")
            if end < 0:
                return
            self.buffer = self.buffer[end + 4:]
            self.upgraded = True
        while len(self.buffer) >= 2:
            opcode, length, at = self.buffer[0] & 0x0F, self.buffer[1] & 0x7F, 2
            if length == 126:
                if len(self.buffer) < 4:
                    return
                length, at = int.from_bytes(self.buffer[2:4], "big"), 4
            elif length == 127:
                if len(self.buffer) < 10:
                    return
                length, at = int.from_bytes(self.buffer[2:10], "big"), 10
            if len(self.buffer) < at + length:
                return
            payload, self.buffer = self.buffer[at:at + length], self.buffer[at + length:]
            found = re.search(rb'"ed"\s*:\s*(\d+)', payload) if opcode == 1 else None
            if found:
                self.on_ed(int(found.group(1)))


class Relay:
    """127.0.0.1:port to the server's port, each connection copied both ways;
    a connection the server refuses is closed. Texts are timed as they pass."""

    def __init__(self, backend_port: int):
        self.backend_port = backend_port
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.lock = threading.Lock()
        self.texts: list[tuple[float, int, int]] = []  # (time, connection, ed)
        self.connections = 0
        self.kill_at_ms: int | None = None  # armed: the first text at or past it trips `tripped`
        self.tripped = threading.Event()
        self.ed_at_trip = -1
        threading.Thread(target=self._accept, daemon=True).start()

    def arm(self, point_ms: int | None) -> None:
        with self.lock:
            self.texts, self.kill_at_ms, self.ed_at_trip = [], point_ms, -1
            self.tripped.clear()

    def _accept(self) -> None:
        while True:
            client, _ = self.listener.accept()
            try:
                server = socket.create_connection(("127.0.0.1", self.backend_port), timeout=2)
                server.settimeout(None)
            except OSError:
                client.close()
                continue
            with self.lock:
                self.connections += 1
                number = self.connections
            sniffer = TextSniffer(lambda ed, n=number: self._heard(n, ed))
            threading.Thread(target=self._pump, args=(client, server, None), daemon=True).start()
            threading.Thread(target=self._pump, args=(server, client, sniffer), daemon=True).start()

    def _heard(self, connection: int, ed: int) -> None:
        with self.lock:
            self.texts.append((time.monotonic(), connection, ed))
            if self.kill_at_ms is not None and ed >= self.kill_at_ms and not self.tripped.is_set():
                self.ed_at_trip = ed
                self.tripped.set()

    @staticmethod
    def _pump(source: socket.socket, target: socket.socket, sniffer: TextSniffer | None) -> None:
        reset = False
        try:
            while data := source.recv(65536):
                target.sendall(data)  # on to the client first: its texts arrive as they would
                if sniffer:
                    sniffer.feed(data)
        except ConnectionResetError:
            reset = True
        except OSError:
            pass
        if reset:  # passed on as a reset too, as a killed server's would be
            target.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\1\0\0\0\0\0\0\0")
        for end in (source, target):  # wakes the other direction's thread: a close alone would not
            try:
                end.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        target.close()


class Server:
    def __init__(self, binary: str, port: int = 0):
        self.process = subprocess.Popen([binary, "--bind", "127.0.0.1", "--port", str(port)],
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        line = self.process.stdout.readline()  # the first line says where it listens, or why not
        found = re.search(r"listening on ws://127\.0\.0\.1:(\d+)", line)
        if not found:
            raise SystemExit(f"quorvex-server did not start: {line}")
        self.port = int(found.group(1))
        threading.Thread(target=self.process.stdout.read, daemon=True).start()  # its pipe never fills

    def kill(self) -> None:
        self.process.send_signal(signal.SIGKILL)
        self.process.wait(timeout=10)


class Transcription:
    """quorvex-transcribe --url URL FILE, its standard error timed line by line."""

    def __init__(self, tool: str, url: str, wav: str):
        self.process = subprocess.Popen([tool, "--url", url, wav], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        text=True)
        self.errors: list[tuple[float, str]] = []
        self.reader = threading.Thread(target=self._read_errors, daemon=True)
        self.reader.start()

    def _read_errors(self) -> None:
        for line in self.process.stderr:
            self.errors.append((time.monotonic(), line.rstrip("\n")))

    def finish(self) -> tuple[int, str]:
        out = self.process.stdout.read()  # to its end: the process has exited or closed it
        code = self.process.wait(timeout=DEADLINE_S)
        self.reader.join(timeout=10)
        return code, out


def run(args, wav, relay, server, point_ms):
    """One transcription; with point_ms, the server killed there and started again."""
    relay.arm(point_ms)
    started = time.monotonic()
    tool = Transcription(args.transcribe, f"ws://127.0.0.1:{relay.port}/asr", wav)
    killed_at = None
    row = {}
    if point_ms is not None:
        if not relay.tripped.wait(DEADLINE_S):
            tool.process.kill()
            raise SystemExit(f"no text reached {point_ms} ms within {DEADLINE_S} s")
        killed_at = time.monotonic()
        server.kill()
        server = Server(args.server, relay.backend_port)
        row["listening_ms"] = (time.monotonic() - killed_at) * 1000
    code, out = tool.finish()
    row.update({"exit": code, "seconds": time.monotonic() - started, "text": out.strip(),
                "err": "\n".join(line for _, line in tool.errors)})
    row["resumed"] = []
    for at, line in tool.errors:
        found = re.search(r"resumed: session \S+ -> \S+ after (\d+) ms, replayed (\d+) ms(?: \(attempt (\d+)\))?", line)
        if found and killed_at is not None:
            row["resumed"].append({"after": int(found.group(1)), "replayed": int(found.group(2)),
                                   "attempt": int(found.group(3) or 1), "since_kill": (at - killed_at) * 1000})
    if killed_at is not None:
        with relay.lock:
            before = [t for t, _, _ in relay.texts if t <= killed_at]
            after = [t for t, _, _ in relay.texts if t > killed_at]
            row["ed_at_kill"] = relay.ed_at_trip
        row["gap_ms"] = (after[0] - before[-1]) * 1000 if before and after else None
    return row, server


def ms(value) -> str:
    return f"{value:.0f} ms" if value is not None else "-"


def load() -> str:
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


def main() -> int:
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--points", type=int, default=5)
    parser.add_argument("--silence", type=float, default=0.0,
                        help="seconds of silence between recordings; 1.5 makes each an utterance of its own, so "
                             "that final results come mid-file and a resumption replays from the last one")
    parser.add_argument("--build", default=os.path.join(here, "..", "build", "default"))
    args = parser.parse_args()
    args.server = os.path.join(args.build, "tools", "quorvex-server")
    args.transcribe = os.path.join(args.build, "tools", "quorvex-transcribe")

    with tempfile.TemporaryDirectory(prefix="resume-wer-") as directory:
        ref, wav, seconds = reference_and_wav(directory, args.silence)
        # From 1 s in to 1.5 s before the end: the last text with an "ed" comes 0.5 s before it.
        rng = random.Random(args.seed)
        points = [round(rng.uniform(1.0, seconds - 1.5), 2) for _ in range(args.points)]
        print(f"{len(ref)} reference words, {seconds:.2f} s of audio; seed {args.seed}, kill points (s): "
              + ", ".join(f"{p:.2f}" for p in points))
        print(f"load average before: {load()}")
        server = Server(args.server)
        relay = Relay(server.port)
        try:
            baseline, server = run(args, wav, relay, server, None)
            if baseline["exit"] != 0:
                raise SystemExit(f"the run with no kill failed ({baseline['exit']}): {baseline['err']}")
            base_words = words(baseline["text"])
            rows = [("no kill", baseline)]
            for point in points:
                row, server = run(args, wav, relay, server, int(point * 1000))
                rows.append((f"{point:.2f} s", row))
        finally:
            server.kill()

    print(f"{'kill at':>8} {'ed seen':>8} {'exit':>4} {'words':>5} {'WER ref':>7} {'WER vs no-kill':>14} "
          f"{'up again':>8} {'resumed':>8} {'attempt':>7} {'replayed':>8} {'tool gap':>8} {'text gap':>8} {'run':>6}")
    base_wer = wer(ref, base_words)
    worst = 0.0
    for label, row in rows:
        hyp = words(row["text"])
        here_wer = wer(ref, hyp)
        worst = max(worst, abs(here_wer - base_wer))
        resumed = row["resumed"][0] if len(row["resumed"]) == 1 else None
        ed = f"{row['ed_at_kill'] / 1000:.2f} s" if "ed_at_kill" in row else "-"
        print(f"{label:>8} {ed:>8} {row['exit']:>4} {len(hyp):>5} {here_wer:>7.3f} {wer(base_words, hyp):>14.3f} "
              f"{ms(row.get('listening_ms')):>8} {ms(resumed and resumed['since_kill']):>8} "
              f"{(resumed['attempt'] if resumed else '-'):>7} {ms(resumed and resumed['replayed']):>8} "
              f"{ms(resumed and resumed['after']):>8} {ms(row.get('gap_ms')):>8} {row['seconds']:>5.1f}s")
    print(f"no-kill WER {base_wer:.3f}; largest difference of a killed run {worst:.3f} (goal: within 0.010)")
    print(f"load average after: {load()}")
    for label, row in rows:
        if row["exit"] != 0 or (label != "no kill" and len(row["resumed"]) != 1):
            print(f"{label}: exit {row['exit']}, {len(row['resumed'])} resumption(s):\n{row['err']}", file=sys.stderr)
    return 0 if worst <= 0.01 and all(r["exit"] == 0 for _, r in rows) else 1


if __name__ == "__main__":
    sys.exit(main())
