// SPDX-License-Identifier: Apache-2.0
#include "server_log.h"

#include <libwebsockets.h>

#include <cstdarg>
#include <cstdio>

namespace quorvex::server {

namespace {
std::mutex sinkLock; // guards sink and the order of lines
LogSink sink;
} // namespace

void logLine(const char* format, ...) {
    char text[1024];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    std::lock_guard<std::mutex> guard(sinkLock);
    if (sink) {
        sink(text);
        return;
    }
    std::fprintf(stderr, "quorvex-server: %s\n", text);
    std::fflush(stderr);
}

namespace {

void emitLibraryLine(int, const char* line) {
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    for (const char* said : {"ERROR on binding", "init server failed", "cannot listen on"})
        if (text.find(said) != std::string::npos) return;
    auto start = text.find(": "); // after libwebsockets' time stamp and level
    logLine("libwebsockets: %s", text.c_str() + (start != std::string::npos && text[0] == '[' ? start + 2 : 0));
}

} // namespace

void routeLibraryLog() { lws_set_log_level(LLL_ERR | LLL_WARN, emitLibraryLine); }

std::string displayAddress(const std::string& address) {
    const std::string mapped = "::ffff:";
    if (address.size() > mapped.size() && address.compare(0, mapped.size(), mapped) == 0 &&
        address.find('.') != std::string::npos)
        return address.substr(mapped.size());
    return address;
}

void setLogSink(LogSink newSink) {
    std::lock_guard<std::mutex> guard(sinkLock);
    sink = std::move(newSink);
}

void RateLimitedLog::log(const char* kind, const std::string& text) {
    auto now = std::chrono::steady_clock::now();
    unsigned long held = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        Kind& entry = kinds_[kind];
        if (entry.logged && now - entry.last < interval_) {
            ++entry.held;
            return;
        }
        held = entry.held;
        entry = Kind{now, 0, true};
    }
    if (held)
        logLine("%s (%lu more like it not shown)", text.c_str(), held);
    else
        logLine("%s", text.c_str());
}

} // namespace quorvex::server
