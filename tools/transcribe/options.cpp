// SPDX-License-Identifier: Apache-2.0
#include "options.h"

#ifndef QUORVEX_TOOLS_VERSION
#error "the build gives the project's version"
#endif

namespace quorvex::tools {

namespace {

// Where an option that takes a value keeps it; null for other arguments.
std::string* valueOf(const std::string& arg, Options& options) {
    if (arg == "--url") return &options.url;
    if (arg == "--token") return &options.token;
    if (arg == "--proxy") return &options.proxy;
    if (arg == "--ca-file") return &options.caFile;
    return nullptr;
}

} // namespace

Request parseOptions(int argc, char** argv, Options& options, std::string& problem) {
    bool onlyInputs = false;
    int standardInputs = 0;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (onlyInputs || arg == kStandardInput || arg.empty() || arg[0] != '-') {
            standardInputs += arg == kStandardInput;
            options.inputs.push_back(arg);
        } else if (arg == "--") {
            onlyInputs = true;
        } else if (arg == "-h" || arg == "--help") {
            return Request::Help;
        } else if (arg == "--version") {
            return Request::Version;
        } else if (arg == "--realtime") {
            options.realtime = true;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--no-proxy") {
            options.noProxy = true;
        } else if (arg == "--insecure") {
            options.insecure = true;
        } else if (arg == "--no-resume") {
            options.resume = false;
        } else if (arg == "--verbose") {
            options.verbose = true;
        } else if (arg == "--timeout") {
            std::string value = i + 1 < argc ? argv[++i] : "";
            bool digits = !value.empty() && value.size() <= 4 &&
                          value.find_first_not_of("0123456789") == std::string::npos;
            options.timeoutSeconds = digits ? std::stoi(value) : 0;
            if (options.timeoutSeconds < 1 || options.timeoutSeconds > 3600) {
                problem = "--timeout takes whole seconds from 1 to 3600";
                return Request::Usage;
            }
        } else if (std::string* value = valueOf(arg, options)) {
            if (i + 1 >= argc) {
                problem = arg + " needs a value";
                return Request::Usage;
            }
            *value = argv[++i];
        } else {
            problem = "unknown option " + arg;
            return Request::Usage;
        }
    }
    if (!options.proxy.empty() && options.noProxy) problem = "--proxy and --no-proxy exclude each other";
    if (!options.caFile.empty() && options.insecure) problem = "--ca-file and --insecure exclude each other";
    if (options.inputs.empty()) problem = "no input given (an audio file, or - for standard input)";
    if (standardInputs > 1) problem = "standard input (-) can be given once";
    return problem.empty() ? Request::Run : Request::Usage;
}

const char* helpText() {
    return R"(usage: quorvex-transcribe [OPTION]... INPUT...
Streams speech to a quorvex recognition server and prints what it heard:
final results as lines (partial ones replaced in place on a terminal).

Inputs, transcribed one after the other, one session each:
  FILE           an audio file in any format libsndfile reads (WAV of any
                 sample width, integer or float, FLAC, Ogg/Vorbis, MP3, ...),
                 mixed down to mono and resampled to 16 kHz
  -              raw 16 kHz 16-bit little-endian mono PCM from standard input,
                 streamed as it arrives; the session ends at the end of the
                 input or at Ctrl-C. A microphone, live:
                   arecord -q -f S16_LE -r 16000 -c 1 -t raw | quorvex-transcribe -

Options:
  --url URL      the server: ws://HOST:PORT/PATH, or wss://... for TLS.
                 Without it, an embedded server (pocketsphinx, US English)
                 runs on loopback for the duration of the command.
  --token TOKEN  the access token sent when a session starts (default empty)
  --proxy URL    an HTTP proxy for ws:// and wss:// alike, which tunnels with
                 CONNECT: http://[USER:PASSWORD@]HOST:PORT. Without it the
                 environment decides, as for curl: http_proxy for ws://,
                 https_proxy for wss://, no_proxy for the hosts that go direct
  --no-proxy     go direct, whatever the environment says (curl's
                 --noproxy '*'); it takes no list: the tool talks to one
                 server, and no_proxy still names hosts to exempt
  --ca-file FILE trust the CAs in this PEM file instead of the system's, for
                 a server whose certificate a private CA signed
  --insecure     accept any certificate from a wss:// server. Without it,
                 the server's chain must lead to a trusted CA, be in date and
                 name the URL's host, as curl checks
  --realtime     send files at the pace of speech, 20 ms of audio every 20 ms.
                 Without it, inputs go as fast as the server recognises them:
                 never more than 20 s of audio ahead of the results heard
                 back (or of real time), so files of any length finish
  --timeout S    how long to wait for each answer of the server: the
                 connection, the session start, and any sign of life after
                 the end of the input (default 10; 1 to 3600). A file sent
                 faster than real time also gets twice its length for the
                 server to catch up.
  --json         print one JSON object per result, partial and final:
                 {"file","session_id","text","bg","ed","fin"}
  --no-resume    end a session whose connection is lost, or whose server
                 goes away, with exit code 5. Without it the session resumes
                 on a new connection to the same URL (behind a balancer,
                 another server), sends again the audio after the last final
                 result, and says so on standard error:
                   FILE: resumed: session A -> B after N ms, replayed M ms
  --verbose      also show the embedded server's log lines (quorvex-server:
                 ...) on standard error
  -h, --help     show this help and exit
  --version      show the tool's and the library's versions and exit
  --             everything after it is an input, even if it starts with '-'

A session that breaks off still leaves what was recognised on standard
output: its final results, then its last partial result followed by
" [not final]" (with --json every partial is printed anyway, "fin":0).

Exit codes:
  0  every input transcribed
  2  bad arguments, or an input that cannot be read
  3  cannot connect: refused, unreachable, the WebSocket upgrade failed, or
     the server takes no new sessions now (503: draining; retry elsewhere)
  4  the server refused the session (401: check --token)
  5  the session broke off, or the server stopped answering
  6  the server's host name does not resolve
  7  the TLS handshake failed (a wss:// URL for a plain server?)
  8  the server took the connection but did not answer within --timeout
     (or refused the WebSocket upgrade: is the path right?)
  9  the server's certificate failed verification (a private CA: --ca-file)
 10  the proxy failed: unreachable, or it refused the tunnel (407: give
     its credentials in --proxy); not the server's fault
 11  the server is busy (503) or asks to slow down (429): retry later
)";
}

std::string versionText(const char* libraryVersion) {
    return std::string("quorvex-transcribe ") + QUORVEX_TOOLS_VERSION + " (libquorvex " + libraryVersion + ")\n";
}

} // namespace quorvex::tools
