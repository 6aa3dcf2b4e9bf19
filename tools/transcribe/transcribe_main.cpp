// SPDX-License-Identifier: Apache-2.0
// quorvex-transcribe: streams audio files, or live PCM from standard input,
// through the library and prints what the recogniser heard. Without --url it
// runs an embedded reference server. --help lists the options and exit codes.
#include <quorvex/quorvex.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audio_source.h"
#include "flow_control.h"
#include "options.h"
#include "printer.h"
#include "server/embedded_server.h"
#include "server_url.h"
#include "start_failure.h"

using namespace quorvex::tools;

namespace {

constexpr std::size_t kFrameBytes = 640; // 20 ms
constexpr std::chrono::seconds kStartMargin{5};
// The server may still be recognising a backlog: twice the audio's length, and this margin.
constexpr std::chrono::seconds kStopMargin{30};
// Eight minutes of audio: a server that falls that far behind real time ends
// the session with "send queue full" rather than holding the tool forever.
constexpr int kSendQueueBytes = 16 << 20;

volatile std::sig_atomic_t interrupted = 0;
void onInterrupt(int) { interrupted = 1; }

// Ctrl-C while reading standard input ends the input, so the session still
// gets its final result; a second Ctrl-C stops the tool at once. Only the main
// thread takes the signal, so that its read is the one interrupted.
void takeInterruptAsEndOfInput() {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    action.sa_flags = SA_RESETHAND; // no SA_RESTART: the blocked read must return
    sigaction(SIGINT, &action, nullptr);
}

void blockInterrupt(bool block) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    pthread_sigmask(block ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

void showProgress(const std::string& input, std::uint64_t sent, std::uint64_t total) {
    int width = 30, done = static_cast<int>(width * std::min(sent, total) / total);
    std::fprintf(stderr, "\r%s [%s%s] %3d%%", input.c_str(), std::string(static_cast<std::size_t>(done), '#').c_str(),
                 std::string(static_cast<std::size_t>(width - done), ' ').c_str(), done * 100 / width);
    if (sent >= total) std::fprintf(stderr, "\n");
}

int reportStartFailure(const std::string& input, Printer& printer, const Options& options) {
    Verdict verdict = explainStartFailure(printer.startFailure(), options);
    std::fprintf(stderr, "%s: %s\n", input.c_str(), verdict.message.c_str());
    return verdict.exitCode;
}

// Holds the sender back while the audio sent (sentMs) is too far ahead.
void waitForRecognition(Printer& printer, long long sentMs, std::chrono::steady_clock::time_point began) {
    using namespace std::chrono;
    for (;;) {
        long long elapsedMs = duration_cast<milliseconds>(steady_clock::now() - began).count();
        long long heardMs = printer.waitHeard(0, milliseconds(0));
        if (sentMs < mayHaveSentMs(heardMs, elapsedMs) || printer.brokeOff()) return;
        // A result moves the mark at once; real time moves it every 20 ms.
        printer.waitHeard(sentMs - kAheadMs + 1, milliseconds(20));
    }
}

// Sends the input in 20 ms frames; the bytes sent, or nothing when the input
// failed (reported).
std::optional<std::uint64_t> stream(QUORVEX::QvAsrClient& client, Printer& printer, AudioSource& audio,
                                    const Options& options, const std::string& input) {
    const std::uint64_t total = audio.expectedBytes();
    const bool progress = !options.json && isatty(STDERR_FILENO) && total > 10 * 32000; // longer than ten seconds
    const bool paced = options.realtime && input != kStandardInput; // a live input paces itself
    std::uint64_t sent = 0;
    const auto began = std::chrono::steady_clock::now();
    auto next = began;
    auto send = [&](const unsigned char* bytes, std::size_t length) {
        waitForRecognition(printer, static_cast<long long>(sent / 32), began);
        QUORVEX::QvAsrAudioFrame frame{bytes, static_cast<int>(length), 1, kRecogniserRate, 16};
        if (client.sendAudio(&frame) != 0) return false; // the session ended under us
        sent += length;
        if (progress && (sent / kFrameBytes) % 50 == 0) showProgress(input, sent, total);
        if (paced) std::this_thread::sleep_until(next += std::chrono::milliseconds(20));
        return true;
    };
    std::vector<unsigned char> chunk, pending;
    bool sending = true;
    while (sending && !printer.brokeOff() && audio.next(chunk)) {
        pending.insert(pending.end(), chunk.begin(), chunk.end());
        std::size_t at = 0;
        for (; sending && pending.size() - at >= kFrameBytes; at += kFrameBytes) sending = send(&pending[at], kFrameBytes);
        pending.erase(pending.begin(), pending.begin() + static_cast<long>(at));
    }
    if (sending && !pending.empty() && !printer.brokeOff()) send(pending.data(), pending.size());
    if (progress) showProgress(input, total, total);
    if (!audio.error().empty()) {
        std::fprintf(stderr, "quorvex-transcribe: %s\n", audio.error().c_str());
        return std::nullopt;
    }
    return sent;
}

int runSession(QUORVEX::QvAsrClient& client, Printer& printer, AudioSource& audio, const Options& options,
               const std::string& input) {
    // The library answers within its connect and start deadlines; a margin on top.
    auto startDeadline = std::chrono::seconds(2 * options.timeoutSeconds) + kStartMargin;
    std::optional<int> started = printer.waitStarted(startDeadline);
    if (!started && !printer.brokeOff())
        std::fprintf(stderr, "%s: no answer to the session start within %lld s\n", input.c_str(),
                     static_cast<long long>(startDeadline.count()));
    if (!started) return kSessionError;
    if (*started != 0) return reportStartFailure(input, printer, options);
    if (!options.json) std::fprintf(stderr, "%s: session %s\n", input.c_str(), printer.sessionId().c_str());
    std::optional<std::uint64_t> sent = stream(client, printer, audio, options, input);
    if (client.stop() != 0) return sent ? kSessionError : kUsage; // already broken off, and reported
    auto twiceTheAudio = std::chrono::milliseconds(sent.value_or(0) / 16); // 32 bytes a millisecond
    if (!printer.waitStopped(kStopMargin + twiceTheAudio)) {
        if (!printer.brokeOff()) {
            printer.showUnsettled();
            std::fprintf(stderr, "%s: the server did not finish the session\n", input.c_str());
        }
        return kSessionError;
    }
    return sent ? kDone : kUsage;
}

// Every wait of the library bounded by --timeout; a file sent faster than
// real time also gives the server twice its length to catch up after the stop.
QUORVEX::QvAsrClientLimits clientLimits(const Options& options, std::uint64_t longestBytes) {
    QUORVEX::QvAsrClientLimits limits{};
    int timeoutMs = options.timeoutSeconds * 1000;
    std::uint64_t catchUpMs = options.realtime ? 0 : std::min<std::uint64_t>(longestBytes / 16, 7200 * 1000);
    catchUpMs = std::max<std::uint64_t>(catchUpMs, 2 * kAheadMs); // standard input's length is unknown
    limits.connectTimeoutMs = timeoutMs;
    limits.startTimeoutMs = timeoutMs;
    limits.stopTimeoutMs = timeoutMs + static_cast<int>(catchUpMs);
    limits.sendQueueBytes = kSendQueueBytes;
    return limits;
}

// 0 at once, or once an ending session's connection has closed; -5 while the
// client is still connecting or streaming, which ends on its own: retry briefly.
int destroyWhenIdle(QUORVEX::QvAsrClient* client) {
    int result = QUORVEX::destroyAsrInstance(client);
    for (int retry = 0; retry < 10 && result == -5; ++retry) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        result = QUORVEX::destroyAsrInstance(client);
    }
    return result;
}

int transcribe(const Options& options, const std::string& input, AudioSource& audio) {
    Printer printer(options.json, input);
    QUORVEX::QvAsrClient* client = QUORVEX::createAsrInstance();
    client->init(&printer);
    QUORVEX::setResumeListener(client, &printer);
    QUORVEX::QvAsrStartParam start{options.url.c_str(), options.token.c_str()};
    int outcome = kConnectionFailed;
    if (client->start(&start) == 0) {
        outcome = runSession(*client, printer, audio, options, input);
    } else {
        // The URL was checked: what is left is a proxy in the environment that is no proxy URL.
        std::fprintf(stderr, "%s: cannot start a session on %s; are http_proxy and https_proxy proxy URLs?\n",
                     input.c_str(), options.url.c_str());
    }
    if (destroyWhenIdle(client) != 0) {
        // The client, and this file's printer that it calls, must outlive the library's use of them: stop here.
        std::fprintf(stderr, "%s: the client is still busy after 1 s; giving up\n", input.c_str());
        std::fflush(nullptr);
        std::_Exit(kSessionError);
    }
    delete client;
    return outcome;
}

// Every input is checked before any connection is made.
bool openInputs(const Options& options, std::vector<std::unique_ptr<AudioSource>>& sources) {
    for (const std::string& input : options.inputs) {
        std::string error;
        if (input == kStandardInput && isatty(STDIN_FILENO)) {
            error = "standard input is a terminal; pipe raw 16 kHz 16-bit mono PCM into it (see --help)";
        } else {
            sources.push_back(input == kStandardInput ? openRawPcm(STDIN_FILENO, interrupted)
                                                      : openAudioFile(input, error));
        }
        if (!error.empty()) {
            std::fprintf(stderr, "quorvex-transcribe: %s\n", error.c_str());
            return false;
        }
    }
    return true;
}

// Proxies and certificate checks as the options ask: wss:// servers are
// verified unless --insecure. The embedded server on loopback is always
// reached directly: a proxy in the environment is not for it.
bool applyNetworkSettings(const Options& options, bool embedded, std::string& problem) {
    QUORVEX::QvAsrTlsSettings tls{};
    tls.verify = !options.insecure;
    tls.caFile = options.caFile.empty() ? nullptr : options.caFile.c_str();
    if (QUORVEX::setTlsSettings(&tls) != 0) {
        problem = "cannot read --ca-file " + options.caFile + " as PEM certificates";
        return false;
    }
    const char* proxy = options.proxy.empty() || embedded ? nullptr : options.proxy.c_str();
    // As curl does, the environment decides unless an option does.
    QUORVEX::QvAsrProxySettings proxies{};
    proxies.wsProxy = proxies.wssProxy = proxy;
    proxies.useEnvironment = !proxy && !options.noProxy && !embedded;
    if (QUORVEX::setProxySettings(&proxies) != 0) {
        problem = "--proxy takes an http://[USER:PASSWORD@]HOST:PORT URL";
        return false;
    }
    return true;
}

// Its operator lines are for --verbose only: on a terminal they would break
// into the transcript.
std::unique_ptr<quorvex::server::EmbeddedServer> startEmbeddedServer(const Options& options, std::string& error) {
    quorvex::server::EmbeddedServer::LogSink log;
    if (options.verbose)
        log = [](const std::string& line) { std::fprintf(stderr, "quorvex-server: %s\n", line.c_str()); };
    return quorvex::server::EmbeddedServer::start(std::move(log), error);
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    std::string problem;
    switch (parseOptions(argc, argv, options, problem)) {
    case Request::Help: std::fputs(helpText(), stdout); return kDone;
    case Request::Version: std::fputs(versionText(QUORVEX::getVersion()).c_str(), stdout); return kDone;
    case Request::Usage:
        std::fprintf(stderr,
                     "quorvex-transcribe: %s\nusage: quorvex-transcribe [OPTION]... INPUT...\n"
                     "Try 'quorvex-transcribe --help' for more information.\n",
                     problem.c_str());
        return kUsage;
    case Request::Run: break;
    }
    std::string why;
    if (!options.url.empty() && !parseServerUrl(options.url, why)) {
        std::fprintf(stderr, "quorvex-transcribe: --url '%s': %s\n", options.url.c_str(), why.c_str());
        return kUsage;
    }
    if (!applyNetworkSettings(options, options.url.empty(), problem)) {
        std::fprintf(stderr, "quorvex-transcribe: %s\n", problem.c_str());
        return kUsage;
    }
    std::vector<std::unique_ptr<AudioSource>> sources;
    if (!openInputs(options, sources)) return kUsage;
    std::uint64_t longestBytes = 0;
    for (const auto& source : sources) longestBytes = std::max(longestBytes, source->expectedBytes());

    blockInterrupt(true); // for every thread started from here on
    std::unique_ptr<quorvex::server::EmbeddedServer> embedded;
    if (options.url.empty()) {
        std::string error;
        embedded = startEmbeddedServer(options, error);
        if (!embedded) {
            std::fprintf(stderr, "quorvex-transcribe: no --url and no embedded server: %s\n", error.c_str());
            return kConnectionFailed;
        }
        options.url = embedded->url();
    }

    QUORVEX::QvAsrSdkLogParam log{false, nullptr, nullptr};
    QUORVEX::QvAsrSdkInitParam params{};
    if (QUORVEX::init(&log, &params) != 0) {
        std::fprintf(stderr, "quorvex-transcribe: the library could not start its event loop "
                             "(is libwebsockets-evlib-uv installed?)\n");
        return kConnectionFailed;
    }
    QUORVEX::QvAsrClientLimits limits = clientLimits(options, longestBytes);
    QUORVEX::setClientLimits(&limits);
    // The audio kept for replay covers what the tool may have sent that no
    // final result settled: up to kAheadMs beyond the results, and
    // pocketsphinx settles an utterance (up to a minute) only at its end.
    QUORVEX::QvAsrResumeSettings resume{}; // 0 fields: the library's defaults
    resume.enabled = options.resume;
    resume.replayMs = static_cast<int>(kAheadMs) + 60000;
    QUORVEX::setResumeSettings(&resume);
    blockInterrupt(false);
    bool live = false;
    for (const std::string& input : options.inputs) live = live || input == kStandardInput;
    if (live) takeInterruptAsEndOfInput();

    int outcome = kDone;
    for (std::size_t i = 0; i < options.inputs.size() && outcome == kDone; ++i)
        outcome = transcribe(options, options.inputs[i], *sources[i]);
    QUORVEX::release();
    return outcome;
}
