// SPDX-License-Identifier: Apache-2.0
#include "log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "runtime.h"
#include "runtime_gate.h"

namespace QUORVEX {

void sdkLog(const char* format, ...) {
    // Asked first: a session's life logs several lines, mostly with the log off.
    GateUse reading(logGate);
    if (!reading) return;
    const QvAsrSdkLogParam* settings = logSettings;
    if (!settings || !settings->enableLog) return;

    char text[kLogBufferSize];
    va_list args;
    va_start(args, format);
    int formatted = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (formatted < 0) text[0] = '\0'; // unformattable: log nothing rather than garbage
    if (settings->logPath && logFile) std::fwrite(text, 1, std::strlen(text), logFile);
    if (settings->logCallback) {
        settings->logCallback(kModuleName, text);
    } else {
        std::printf("[%s]:%s\n", kModuleName, text);
    }
}

int sdkLogInit() {
    if (!logSettings || !logSettings->logPath) return 0;
    logFile = std::fopen(logSettings->logPath, "rb+");
    if (!logFile) {
        std::printf("[%s]:init logpath %s error \n", kModuleName, logSettings->logPath);
        return -1;
    }
    return 0;
}

} // namespace QUORVEX
