// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TOOLS_TRANSCRIBE_PRINTER_H
#define QUORVEX_TOOLS_TRANSCRIBE_PRINTER_H

#include <quorvex/quorvex.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>

namespace quorvex::tools {

// What of a partial result fits on one terminal line of `columns`: the
// text, or its end after "…" (a partial grows at its end), one column per
// UTF-8 character; the last column stays free so the terminal never wraps.
std::string fitToWidth(const std::string& text, std::size_t columns);

// What is printed after a partial result that a session breaking off left
// unsettled, so that a reader of the transcript can tell it from a final one.
constexpr const char* kNotFinalMark = " [not final]";

// The line on standard error when a session resumed on a new one after
// `afterMs` without results: "resumed: session A -> B after N ms, replayed
// M ms", then the attempt when it was not the first, and the audio that
// could not be replayed, when some could not.
std::string resumedLine(const std::string& previous, const std::string& next, int attempt, long long afterMs,
                        int replayedMs, int unreplayableMs);

// Why a session did not start, as the library told it.
struct StartFailureNote {
    QUORVEX::QvAsrStartFailureCategory category = QUORVEX::QvAsrStartFailureCategory::Other;
    int status = 0;
    int retryAfterSeconds = 0;
    std::string text;
};

// Prints one session's results as they come (on the library's loop thread);
// the main thread waits on it for the session's milestones.
class Printer : public QUORVEX::QvAsrClientListener,
                public QUORVEX::QvAsrStartFailureListener,
                public QUORVEX::QvAsrResumeListener {
public:
    Printer(bool json, std::string input);

    void onMessageError(int code, const char* text) override;
    void onSessionError(int code, const char* text) override;
    void onDestroyed(int) override {}
    void onStartResult(int code, const char* sessionId) override;
    void onRecognitionText(const QUORVEX::QvAsrRecognitionResult* result) override;
    void onStopResult(int) override;
    void onStartFailure(const QUORVEX::QvAsrStartFailure* failure) override;
    void onResumed(const QUORVEX::QvAsrResumeInfo* info) override {
        noteResumed(info->previousSessionId, info->newSessionId, info->attempt, info->replayedMs, info->unreplayableMs);
    }
    // The library's resumption, told: a line on standard error, and the new
    // session's id on what follows. The resumption listener's call lands here.
    void noteResumed(const char* previousSessionId, const char* newSessionId, int attempt, int replayedMs,
                     int unreplayableMs);
    // A session that ends without its stop result: its last partial result,
    // if one is unsettled, on standard output with kNotFinalMark (once;
    // --json printed it already). A session error does this by itself.
    void showUnsettled();

    // The start result (0, -2, -4), or nothing when the session broke off
    // first (already reported) or no answer came before the deadline.
    std::optional<int> waitStarted(std::chrono::seconds deadline);
    bool brokeOff();
    // True once the server confirmed the stop; false when the session broke
    // off or nothing came before the deadline.
    bool waitStopped(std::chrono::milliseconds deadline);
    std::string sessionId();
    // Why the start failed; nothing when it did not, or the library did not say.
    std::optional<StartFailureNote> startFailure();
    // How far into the audio the recogniser's results have reached (the
    // largest `ed` heard), in ms; waits up to `deadline` for it to reach `atLeastMs`.
    long long waitHeard(long long atLeastMs, std::chrono::milliseconds deadline);

private:
    void finish(bool stopped);
    void showUnsettledLocked();

    const bool json_;
    const std::string input_;
    const bool terminal_;
    std::mutex lock_; // guards everything below, and stdout between results
    std::condition_variable changed_;
    std::optional<int> startCode_;
    std::optional<StartFailureNote> startFailure_;
    std::string sessionId_;
    bool finished_ = false, stopped_ = false;
    long long heardMs_ = 0;
    std::string unsettled_; // the last partial result since the last final one
    std::chrono::steady_clock::time_point lastNews_; // the start, or the last result
};

} // namespace quorvex::tools

#endif
