// SPDX-License-Identifier: Apache-2.0
#include "lws_log.h"

#include <libwebsockets.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace quorvex::test {
namespace {
std::mutex logLock; // guards logLines
std::vector<std::string> logLines;

void emit(int level, const char* line) {
    {
        std::lock_guard<std::mutex> guard(logLock);
        logLines.emplace_back(line);
    }
    if (std::getenv("QUORVEX_TEST_LWS_LOG")) std::fprintf(stderr, "lws[%d] %s", level, line);
}
} // namespace

void captureLwsLog() { lws_set_log_level(LLL_ERR | LLL_WARN | LLL_NOTICE, &emit); }

std::vector<std::string> lwsLogLines() {
    std::lock_guard<std::mutex> guard(logLock);
    return logLines;
}

void clearLwsLog() {
    std::lock_guard<std::mutex> guard(logLock);
    logLines.clear();
}

bool lwsLogContains(const std::string& text) {
    for (const auto& line : lwsLogLines())
        if (line.find(text) != std::string::npos) return true;
    return false;
}

} // namespace quorvex::test
