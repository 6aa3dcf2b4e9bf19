// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TOOLS_SERVER_SERVER_LOG_H
#define QUORVEX_TOOLS_SERVER_SERVER_LOG_H

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace quorvex::server {

// One line, "quorvex-server: " and the text, to standard error at once, so
// that no line is lost when the process is killed.
void logLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A peer address as an operator reads it: an IPv4 peer of a dual-stack
// socket (::ffff:a.b.c.d) as a.b.c.d.
std::string displayAddress(const std::string& address);

// Where log lines go instead (tests, a program that embeds the server);
// null restores standard error. Process-wide, like the log itself.
using LogSink = std::function<void(const std::string& line)>;
void setLogSink(LogSink sink);

// libwebsockets' errors and warnings as log lines, "libwebsockets: " and
// the text; a failure to bind is said in words by the server itself. Before
// any context exists: libwebsockets reads its log settings without a lock.
void routeLibraryLog();

// Lines whose rate a client controls: at most one per kind per interval; the
// next one that passes says how many were held back. Kinds are fixed names,
// never client data, so the table stays small. Any thread.
class RateLimitedLog {
public:
    explicit RateLimitedLog(std::chrono::milliseconds interval = std::chrono::seconds(1)) : interval_(interval) {}
    void log(const char* kind, const std::string& text);

private:
    struct Kind {
        std::chrono::steady_clock::time_point last{};
        unsigned long held = 0;
        bool logged = false;
    };
    std::chrono::milliseconds interval_;
    std::mutex lock_; // guards kinds_
    std::map<std::string, Kind> kinds_;
};

} // namespace quorvex::server

#endif
