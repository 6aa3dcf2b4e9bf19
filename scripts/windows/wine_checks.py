#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""The Windows programs of a windows-preset build, run under Wine against
servers on 127.0.0.1 that stay Linux programs: quorvex-server (echo and
pocketsphinx engines), a TLS front with a certificate of a CA made here, a
port that refuses, a listener that never answers, tinyproxy. Every wait has a
deadline; every check says what it expected. Run by scripts/windows-test.sh.
  wine_checks.py BUILD SERVER WINE   (WINEPREFIX set by the caller)"""
import os
import re
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import wave

build, server_program, wine = sys.argv[1:4]
tests = os.path.join(build, "tests", "windows")
librivox = "/usr/share/pocketsphinx/test/data/librivox"
started = []
failures = []


def check(name, ok, detail=""):
    print(("ok   " if ok else "FAIL ") + name + ("" if ok else "\n" + detail), flush=True)
    if not ok:
        failures.append(name)


def wine_run(name, args, timeout, stdin=None):
    """Output goes to a file: services Wine starts on demand (its network
    driver host among them) inherit the program's handles, and a pipe would
    stay open after the program ended."""
    began = time.monotonic()
    with tempfile.TemporaryFile(mode="w+") as output_file:
        process = subprocess.Popen([wine] + args, stdin=stdin, stdout=output_file, stderr=subprocess.STDOUT)
        try:
            code = process.wait(timeout=timeout)
            ended = ""
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            code, ended = -1, f"no end within {timeout} s\n"
        output_file.seek(0)
        output = ended + output_file.read()
    print(f"--   {name}: exit {code} in {time.monotonic() - began:.1f} s", flush=True)
    return code, output


def line_within(process, pattern, seconds):
    """The first group of the first output line matching pattern; None at the deadline."""
    found = []
    def read():
        for line in process.stdout:
            match = re.search(pattern, line)
            if match:
                found.append(match.group(1))
                return
    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    reader.join(seconds)
    return found[0] if found else None


def quorvex_server(*options):
    process = subprocess.Popen([server_program, "--port", "0", "--workers", "2", *options],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    started.append(process)
    port = line_within(process, r"listening on ws://127\.0\.0\.1:(\d+)", 30)
    if not port:
        sys.exit(f"quorvex-server {' '.join(options)} did not start")
    # Its log is read on, or a full pipe would stall it.
    threading.Thread(target=lambda: [None for _ in process.stdout], daemon=True).start()
    return process, int(port)


def listener(backlog):
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    if backlog:
        sock.listen(backlog)
    return sock, sock.getsockname()[1]


def tls_front(cert, key, target_port):
    """TLS on a port of its own, the plain bytes forwarded to target_port."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    sock, port = listener(64)

    def pump(source, sink):
        try:
            while data := source.recv(65536):
                sink.sendall(data)
        except OSError:
            pass
        for end in (source, sink):
            try:
                end.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def serve(raw):
        try:
            secure = context.wrap_socket(raw, server_side=True)
        except (ssl.SSLError, OSError):
            raw.close()  # a client that rejects the certificate ends here
            return
        plain = socket.create_connection(("127.0.0.1", target_port))
        threading.Thread(target=pump, args=(plain, secure), daemon=True).start()
        pump(secure, plain)

    def accept():
        while True:
            raw, _ = sock.accept()
            threading.Thread(target=serve, args=(raw,), daemon=True).start()
    threading.Thread(target=accept, daemon=True).start()
    return port


def certificates(folder):
    def openssl(*args):
        subprocess.run(["openssl", *args], check=True, capture_output=True)
    ca, ca_key = f"{folder}/ca.pem", f"{folder}/ca.key"
    openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2",
            "-subj", "/CN=quorvex-wine-test-ca", "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign", "-keyout", ca_key, "-out", ca)
    cert, key, request = f"{folder}/server.pem", f"{folder}/server.key", f"{folder}/server.csr"
    openssl("req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
            "-subj", "/CN=localhost", "-keyout", key, "-out", request)
    with open(f"{folder}/ext.cnf", "w") as ext:
        ext.write("subjectAltName=DNS:localhost,IP:127.0.0.1\n")
    openssl("x509", "-req", "-in", request, "-CA", ca, "-CAkey", ca_key, "-CAcreateserial", "-days", "2",
            "-extfile", f"{folder}/ext.cnf", "-out", cert)
    return ca, cert, key


def tinyproxy(folder):
    """tinyproxy on a port free a moment ago; a lost race is met by another."""
    for _ in range(5):
        sock, port = listener(0)
        sock.close()
        with open(f"{folder}/tinyproxy.conf", "w") as config:
            config.write(f"Port {port}\nListen 127.0.0.1\nTimeout 30\nMaxClients 20\nLogLevel Info\n")
        process = subprocess.Popen(["/usr/bin/tinyproxy", "-d", "-c", f"{folder}/tinyproxy.conf"],
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        started.append(process)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and process.poll() is None:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                return port
            except OSError:
                time.sleep(0.05)  # tinyproxy says nothing when it is ready; its port is asked
    sys.exit("tinyproxy did not start on loopback")


def word_errors(heard, said):
    """Word edit distance."""
    row = list(range(len(said) + 1))
    for i, word in enumerate(heard, 1):
        previous, row[0] = row[0], i
        for j, other in enumerate(said, 1):
            previous, row[j] = row[j], min(row[j] + 1, row[j - 1] + 1, previous + (word != other))
    return row[-1]


def main():
    scratch = tempfile.mkdtemp(prefix="quorvex-wine-")
    echo, echo_port = quorvex_server("--engine", "echo")
    url = f"ws://127.0.0.1:{echo_port}/asr"
    _, token_port = quorvex_server("--engine", "echo", "--token", "right-token")
    refusing, refused_port = listener(0)
    silent, silent_port = listener(64)
    ca, cert, key = certificates(scratch)
    wss_url = f"wss://localhost:{tls_front(cert, key, echo_port)}/asr"
    session_check = os.path.join(tests, "session_check.exe")

    # The client suites whose servers run inside the test process. The one test
    # that makes its certificate with the openssl program cannot run there.
    code, output = wine_run("client_tests", [os.path.join(tests, "client_tests.exe"),
                                             "--gtest_filter=-Session.SecureServerWithSelfSignedCertificate"], 600)
    summary = re.findall(r"^\[  (?:PASSED|FAILED) +\].*$", output, re.M)
    check("client suites (GoogleTest) under Wine: " + "; ".join(summary), code == 0, output[-6000:])

    # The C interface test programs, built against today's header and an older one.
    for program in ("session_c", "session_c_older"):
        code, output = wine_run(program, [os.path.join(tests, program + ".exe"), url], 60)
        lines = output.replace("\r", "").splitlines()
        check(f"{program}: a whole session through the C interface", code == 0 and len(lines) >= 2 and
              lines[0] == lines[1], output)

    # The goals' scenarios through the C interface.
    code, output = wine_run("scenarios", [session_check, "--sessions", "100", url, "--at-once", "50", url,
                                          "--refused", f"ws://127.0.0.1:{refused_port}/asr",
                                          "--silent", f"ws://127.0.0.1:{silent_port}/asr"], 300)
    check("100 sequential sessions, 50 at once (every byte confirmed), a refused connection, a silent server",
          code == 0, output[-4000:])
    code, output = wine_run("wrong token", [session_check, "--token", "wrong-token",
                                            "--rejected", f"ws://127.0.0.1:{token_port}/asr", "9"], 60)
    check("a wrong token: the start is refused (session refused)", code == 0, output)

    vanishing, vanishing_port = quorvex_server("--engine", "echo")
    with tempfile.NamedTemporaryFile(mode="w+") as output_file:
        process = subprocess.Popen([wine, session_check, "--vanish", f"ws://127.0.0.1:{vanishing_port}/asr"],
                                   stdout=output_file, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 60
        while "streaming" not in open(output_file.name).read() and process.poll() is None:
            if time.monotonic() > deadline:
                break
            time.sleep(0.05)  # the file has no readiness to wait on
        vanishing.kill()
        try:
            code = process.wait(timeout=60)
        except subprocess.TimeoutExpired:
            process.kill()
            code = process.wait()
        rest = open(output_file.name).read()
    check("a server that vanishes mid-session: the session error, then destruction", code == 0, rest)

    # wss:// with verification: a CA file trusts the server; the system's roots
    # (the Windows store through crypt32) do not know this CA and reject it,
    # until it is added to them.
    code, output = wine_run("wss with a CA file", [session_check, "--ca", ca, "--sessions", "3", wss_url], 120)
    check("wss:// verified against a CA file", code == 0, output)
    code, output = wine_run("wss against the system's roots", [session_check, "--ca", "system",
                                                               "--rejected", wss_url, "6"], 60)
    check("wss:// verified against the Windows store: an unknown CA is rejected as such", code == 0, output)
    # Once the CA is among the store's roots, the same server is trusted.
    code, output = wine_run("install the CA as a root", [session_check, "--install-root", ca], 60)
    check("the test CA added to the Windows store's roots", code == 0, output)
    code, output = wine_run("wss against the store with the CA", [session_check, "--ca", "system",
                                                                   "--sessions", "2", wss_url], 120)
    check("wss:// verified against the Windows store that holds the CA", code == 0, output)
    code, output = wine_run("wss unverified", [session_check, "--sessions", "1", wss_url], 60)
    check("wss:// without verification", code == 0, output)

    # Proxy tunnels are not there yet on Windows (the tunnel's local socket):
    # a start through a proxy fails at once, as a proxy failure that says so.
    proxy = f"http://127.0.0.1:{tinyproxy(scratch)}"
    code, output = wine_run("proxy", [session_check, "--proxy", proxy, "--rejected", url, "7"], 60)
    check("through tinyproxy: a clean proxy failure (tunnels unsupported on Windows)", code == 0 and
          "tunnel's local socket could not be made" in output, output)

    # 200 sessions from one process, 3 s of audio each in real time.
    code, output = wine_run("200 real-time sessions", [session_check, "--real-time", "3", "--at-once", "200", url],
                            180)
    check("200 real-time sessions at once, every byte confirmed: " +
          "".join(re.findall(r"200 at once:.*", output)), code == 0, output[-3000:])

    # An application of Microsoft's ABI, through the import library and through
    # LoadLibrary, unloading the DLL afterwards.
    msvc = os.path.join(build, "msvc")
    code, output = wine_run("msvc_import", [os.path.join(msvc, "msvc_import.exe"), url], 60)
    check("a Microsoft-ABI program through the import library", code == 0, output)
    code, output = wine_run("msvc_load", [os.path.join(msvc, "msvc_load.exe"), url, "load"], 60)
    check("LoadLibrary, a session, qv_release, FreeLibrary: unloaded, no thread left: " +
          "".join(re.findall(r"threads before.*", output)).strip(), code == 0, output)

    # Real speech: the LibriVox recordings through the C example (stdin in
    # binary mode) and the Linux pocketsphinx server.
    _, speech_port = quorvex_server("--engine", "pocketsphinx")
    said = {}
    with open(f"{librivox}/transcription") as transcription:
        for line in transcription:
            match = re.match(r"<s> (.*) </s> \((.*)\)", line.strip())
            if match:
                said[match.group(2)] = match.group(1).split()
    errors = words = 0
    for name, reference in sorted(said.items()):
        with wave.open(f"{librivox}/{name}.wav") as recording:
            pcm = f"{scratch}/{name}.raw"
            with open(pcm, "wb") as raw:
                raw.write(recording.readframes(recording.getnframes()))
        with open(pcm, "rb") as audio:
            code, output = wine_run(f"transcribe {name}", [os.path.join(build, "examples", "quorvex_c_example.exe"),
                                                           f"ws://127.0.0.1:{speech_port}/asr"], 120, stdin=audio)
        heard = " ".join(output.replace("\r", "").splitlines()).split()
        errors += word_errors(heard, reference) if code == 0 else len(reference)
        words += len(reference)
        print(f"     heard: {' '.join(heard)}\n     said:  {' '.join(reference)}")
    check(f"LibriVox through the C example under Wine: {errors} word errors in {words} words",
          errors <= words * 0.35, "more word errors than pocketsphinx makes on these recordings")
    refusing.close()
    silent.close()
    return 1 if failures else 0


try:
    status = main()
finally:
    for process in started:
        if process.poll() is None:
            process.send_signal(signal.SIGKILL)
            process.wait()
if failures:
    print("failed: " + ", ".join(failures))
sys.exit(status)
