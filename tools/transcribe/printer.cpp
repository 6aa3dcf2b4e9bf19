// SPDX-License-Identifier: Apache-2.0
#include "printer.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

namespace quorvex::tools {
namespace {

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

// Asked at each partial: the window may have been resized.
std::size_t terminalColumns() {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

bool continuation(unsigned char byte) { return (byte & 0xc0) == 0x80; }

} // namespace

std::string fitToWidth(const std::string& text, std::size_t columns) {
    std::size_t room = columns > 1 ? columns - 1 : 1, characters = 0;
    for (unsigned char byte : text) characters += !continuation(byte);
    if (characters <= room) return text;
    if (room < 2) return "\u2026";
    // Keep the last room - 1 characters, after the ellipsis.
    std::size_t keep = room - 1, at = text.size();
    for (std::size_t kept = 0; at > 0 && kept < keep;) {
        --at;
        if (!continuation(static_cast<unsigned char>(text[at]))) ++kept;
    }
    return "\u2026" + text.substr(at);
}

std::string resumedLine(const std::string& previous, const std::string& next, int attempt, long long afterMs,
                        int replayedMs, int unreplayableMs) {
    std::string line = "resumed: session " + previous + " -> " + next + " after " + std::to_string(afterMs) +
                       " ms, replayed " + std::to_string(replayedMs) + " ms";
    if (attempt > 1) line += " (attempt " + std::to_string(attempt) + ")";
    if (unreplayableMs > 0)
        line += "; " + std::to_string(unreplayableMs) + " ms before it were older than the replay buffer and are lost";
    return line;
}

Printer::Printer(bool json, std::string input)
    : json_(json), input_(std::move(input)), terminal_(isatty(STDOUT_FILENO) != 0) {}

void Printer::onMessageError(int, const char* text) { std::fprintf(stderr, "\n%s: %s\n", input_.c_str(), text); }

void Printer::onSessionError(int, const char* text) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        showUnsettledLocked(); // what was heard, before the error that ends it
    }
    std::fprintf(stderr, "\n%s: session error: %s\n", input_.c_str(), text);
    finish(false);
}

void Printer::showUnsettled() {
    std::lock_guard<std::mutex> guard(lock_);
    showUnsettledLocked();
}

void Printer::showUnsettledLocked() {
    if (unsettled_.empty()) return;
    if (!json_) std::printf("%s%s%s\n", terminal_ ? "\r\033[K" : "", unsettled_.c_str(), kNotFinalMark);
    std::fflush(stdout);
    unsettled_.clear();
}

void Printer::noteResumed(const char* previousSessionId, const char* newSessionId, int attempt, int replayedMs,
                          int unreplayableMs) {
    std::lock_guard<std::mutex> guard(lock_);
    long long afterMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - lastNews_).count();
    sessionId_ = newSessionId ? newSessionId : "";
    // On a terminal the partial's line is still open: the note goes below it.
    std::fprintf(stderr, "%s%s: %s\n", terminal_ && !unsettled_.empty() ? "\n" : "", input_.c_str(),
                 resumedLine(previousSessionId ? previousSessionId : "", sessionId_, attempt, afterMs, replayedMs,
                             unreplayableMs)
                     .c_str());
}

void Printer::onStartResult(int code, const char* sessionId) {
    std::lock_guard<std::mutex> guard(lock_);
    startCode_ = code;
    lastNews_ = std::chrono::steady_clock::now();
    if (code == 0 && sessionId) sessionId_ = sessionId;
    changed_.notify_all();
}

void Printer::onStartFailure(const QUORVEX::QvAsrStartFailure* failure) {
    std::lock_guard<std::mutex> guard(lock_);
    startFailure_ = StartFailureNote{failure->category, failure->status, failure->retryAfterSeconds,
                                     failure->text ? failure->text : ""};
}

std::optional<StartFailureNote> Printer::startFailure() {
    std::lock_guard<std::mutex> guard(lock_);
    return startFailure_;
}

void Printer::onRecognitionText(const QUORVEX::QvAsrRecognitionResult* result) {
    std::lock_guard<std::mutex> guard(lock_);
    if (result->ed > heardMs_) {
        heardMs_ = result->ed;
        changed_.notify_all();
    }
    lastNews_ = std::chrono::steady_clock::now();
    unsettled_ = result->fin ? "" : result->text;
    if (json_) {
        std::printf("{\"file\":%s,\"session_id\":%s,\"text\":%s,\"bg\":%d,\"ed\":%d,\"fin\":%d}\n",
                    jsonString(input_).c_str(), jsonString(sessionId_).c_str(), jsonString(result->text).c_str(),
                    result->bg, result->ed, result->fin);
    } else if (result->fin) {
        std::printf("%s%s\n", terminal_ ? "\r\033[K" : "", result->text);
    } else if (terminal_) {
        // A partial result, replaced in place: on one line, or \r would not reach its start.
        std::printf("\r\033[K%s", fitToWidth(result->text, terminalColumns()).c_str());
    }
    std::fflush(stdout);
}

void Printer::onStopResult(int) { finish(true); }

std::optional<int> Printer::waitStarted(std::chrono::seconds deadline) {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait_for(guard, deadline, [&] { return startCode_ || finished_; });
    return finished_ ? std::nullopt : startCode_;
}

bool Printer::brokeOff() {
    std::lock_guard<std::mutex> guard(lock_);
    return finished_ && !stopped_;
}

bool Printer::waitStopped(std::chrono::milliseconds deadline) {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait_for(guard, deadline, [&] { return finished_; });
    return stopped_;
}

long long Printer::waitHeard(long long atLeastMs, std::chrono::milliseconds deadline) {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait_for(guard, deadline, [&] { return heardMs_ >= atLeastMs || finished_; });
    return heardMs_;
}

std::string Printer::sessionId() {
    std::lock_guard<std::mutex> guard(lock_);
    return sessionId_;
}

void Printer::finish(bool stopped) {
    std::lock_guard<std::mutex> guard(lock_);
    if (finished_) return;
    finished_ = true;
    stopped_ = stopped;
    changed_.notify_all();
}

} // namespace quorvex::tools
