// quorvex-transcribe: streams WAV files through the library and prints what
// the recogniser heard. Without --url it runs an embedded reference server.
//   quorvex-transcribe [--url ws://...] [--token T] [--realtime] [--json] FILE.wav...
// Exit codes: 0 done, 2 usage or unusable file, 3 connection refused,
// 4 session refused, 5 session error.
#include <libwebsockets.h>
#include <quorvex/quorvex.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../server/asr_server.h"
#include "wav.h"

namespace {

enum Exit { kDone = 0, kUsage = 2, kConnectionRefused = 3, kSessionRefused = 4, kSessionError = 5 };

struct Options {
    std::string url, token;
    bool realtime = false, json = false;
    std::vector<std::string> files;
};

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
            continue;
        }
        if (c == '"' || c == '\\') out += '\\';
        out += static_cast<char>(c);
    }
    return out + "\"";
}

// Prints results as they come; the main thread waits on it for the session's milestones.
class Printer : public QUORVEX::QvAsrClientListener {
public:
    Printer(const Options& options, std::string file) : options_(options), file_(std::move(file)) {}

    void onMessageError(int, const char* text) override { std::fprintf(stderr, "\n%s: %s\n", file_.c_str(), text); }
    void onSessionError(int, const char* text) override {
        std::fprintf(stderr, "\n%s: session error: %s\n", file_.c_str(), text);
        finish(kSessionError);
    }
    void onDestroyed(int) override {}
    void onStartResult(int code, const char* sessionId) override {
        std::lock_guard<std::mutex> guard(lock_);
        startCode_ = code;
        if (code == 0) sessionId_ = sessionId;
        changed_.notify_all();
    }
    void onRecognitionText(const QUORVEX::QvAsrRecognitionResult* result) override {
        std::lock_guard<std::mutex> guard(lock_);
        if (options_.json) {
            std::printf("{\"file\":%s,\"session_id\":%s,\"text\":%s,\"bg\":%d,\"ed\":%d,\"fin\":%d}\n",
                        jsonString(file_).c_str(), jsonString(sessionId_).c_str(), jsonString(result->text).c_str(),
                        result->bg, result->ed, result->fin);
        } else if (result->fin) {
            std::printf("%s%s\n", terminal_ ? "\r\033[K" : "", result->text);
            finals_ += (finals_.empty() ? "" : " ") + std::string(result->text);
        } else if (terminal_) {
            std::printf("\r\033[K%s", result->text); // a partial result, replaced in place
        }
        std::fflush(stdout);
    }
    void onStopResult(int) override { finish(kDone); }

    int waitStarted() {
        std::unique_lock<std::mutex> guard(lock_);
        changed_.wait(guard, [&] { return startCode_ != 1; });
        return startCode_;
    }
    // The outcome, or kSessionError when the deadline passed first.
    int waitFinished(std::chrono::steady_clock::duration deadline) {
        std::unique_lock<std::mutex> guard(lock_);
        if (!changed_.wait_for(guard, deadline, [&] { return finished_; })) {
            std::fprintf(stderr, "\n%s: no stop result from the server in time\n", file_.c_str());
            return kSessionError;
        }
        return outcome_;
    }
    bool failed() {
        std::lock_guard<std::mutex> guard(lock_);
        return finished_ && outcome_ != kDone;
    }
    std::string sessionId() {
        std::lock_guard<std::mutex> guard(lock_);
        return sessionId_;
    }

private:
    void finish(int outcome) {
        std::lock_guard<std::mutex> guard(lock_);
        if (finished_) return;
        finished_ = true;
        outcome_ = outcome;
        changed_.notify_all();
    }
    const Options& options_;
    std::string file_;
    bool terminal_ = isatty(STDOUT_FILENO) != 0;
    std::mutex lock_; // guards everything below
    std::condition_variable changed_;
    int startCode_ = 1; // not answered yet
    std::string sessionId_, finals_;
    bool finished_ = false;
    int outcome_ = kDone;
};

void showProgress(const std::string& file, std::size_t sent, std::size_t total) {
    int width = 30, done = total ? static_cast<int>(width * sent / total) : width;
    std::fprintf(stderr, "\r%s [%s%s] %3zu%%", file.c_str(), std::string(static_cast<std::size_t>(done), '#').c_str(),
                 std::string(static_cast<std::size_t>(width - done), ' ').c_str(), total ? 100 * sent / total : 100);
    if (sent == total) std::fprintf(stderr, "\n");
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

int transcribe(const Options& options, const std::string& file, const quorvex::tools::WavAudio& audio) {
    Printer printer(options, file);
    QUORVEX::QvAsrClient* client = QUORVEX::createAsrInstance();
    client->init(&printer);
    QUORVEX::QvAsrStartParam start{options.url.c_str(), options.token.c_str()};
    int outcome = kDone;
    if (client->start(&start) != 0) {
        std::fprintf(stderr, "%s: cannot connect to %s\n", file.c_str(), options.url.c_str());
        outcome = kConnectionRefused;
    } else if (int started = printer.waitStarted(); started != 0) {
        std::fprintf(stderr, "%s: %s\n", file.c_str(),
                     started == -2 ? ("connection to " + options.url + " refused").c_str()
                                   : "the server refused the session (check --token)");
        outcome = started == -2 ? kConnectionRefused : kSessionRefused;
    } else {
        if (!options.json) std::fprintf(stderr, "%s: session %s\n", file.c_str(), printer.sessionId().c_str());
        constexpr std::size_t kFrame = 640; // 20 ms
        const std::size_t total = audio.pcm.size();
        const bool progress = isatty(STDERR_FILENO) && total > 10 * 32000; // longer than ten seconds
        auto next = std::chrono::steady_clock::now();
        for (std::size_t at = 0; at < total && !printer.failed(); at += kFrame) {
            int length = static_cast<int>(std::min(kFrame, total - at));
            QUORVEX::QvAsrAudioFrame frame{audio.pcm.data() + at, length, 1, 16000, 16};
            if (client->sendAudio(&frame) != 0) break;
            if (progress && (at / kFrame) % 50 == 0) showProgress(file, at, total);
            if (options.realtime) std::this_thread::sleep_until(next += std::chrono::milliseconds(20));
        }
        if (progress) showProgress(file, total, total);
        client->stop();
        // The server may still be recognising a backlog: twice the audio's length, and a margin.
        outcome = printer.waitFinished(std::chrono::seconds(30) + std::chrono::milliseconds(audio.pcm.size() / 16));
    }
    if (destroyWhenIdle(client) != 0) {
        // The client, and this file's printer that it calls, must outlive the library's use of them: stop here.
        std::fprintf(stderr, "%s: the client is still busy after 1 s; giving up\n", file.c_str());
        std::fflush(nullptr);
        std::_Exit(kSessionError);
    }
    delete client;
    return outcome;
}

[[noreturn]] void usage(const char* problem) {
    std::fprintf(stderr,
                 "quorvex-transcribe: %s\n"
                 "usage: quorvex-transcribe [--url ws://host:port/path] [--token T] [--realtime] [--json] FILE.wav...\n",
                 problem);
    std::exit(kUsage);
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--realtime") options.realtime = true;
        else if (arg == "--json") options.json = true;
        else if ((arg == "--url" || arg == "--token") && i + 1 < argc) (arg == "--url" ? options.url : options.token) = argv[++i];
        else if (arg.rfind("--", 0) == 0) usage(("unknown option " + arg).c_str());
        else options.files.push_back(arg);
    }
    if (options.files.empty()) usage("no WAV file given");

    lws_set_log_level(LLL_ERR | LLL_WARN, nullptr); // libwebsockets' notices are not for users of a tool
    std::vector<quorvex::tools::WavAudio> audio(options.files.size());
    for (std::size_t i = 0; i < options.files.size(); ++i) {
        std::string error;
        if (!quorvex::tools::readWav(options.files[i], audio[i], error) ||
            !(error = quorvex::tools::checkRecognisable(options.files[i], audio[i])).empty()) {
            std::fprintf(stderr, "quorvex-transcribe: %s\n", error.c_str());
            return kUsage;
        }
    }

    std::unique_ptr<quorvex::server::AsrServer> embedded;
    if (options.url.empty()) {
        std::string error;
        auto engine = quorvex::server::makePocketsphinxEngine(quorvex::server::kDefaultModelDir, error);
        if (engine) {
            quorvex::server::ServerOptions embeddedOptions;
            // One client of its own, streaming faster than real time: its backlog is the whole file.
            embeddedOptions.maxBacklogMs = 3600 * 1000;
            embedded = std::make_unique<quorvex::server::AsrServer>(embeddedOptions, std::move(engine));
            if (!embedded->start(error)) embedded.reset();
        }
        if (!embedded) {
            std::fprintf(stderr, "quorvex-transcribe: no --url and no embedded server: %s\n", error.c_str());
            return kConnectionRefused;
        }
        options.url = embedded->url();
    }

    QUORVEX::QvAsrSdkLogParam log{false, nullptr, nullptr};
    QUORVEX::QvAsrSdkInitParam params{};
    QUORVEX::init(&log, &params);
    int outcome = kDone;
    for (std::size_t i = 0; i < options.files.size() && outcome == kDone; ++i)
        outcome = transcribe(options, options.files[i], audio[i]);
    QUORVEX::release();
    return outcome;
}
