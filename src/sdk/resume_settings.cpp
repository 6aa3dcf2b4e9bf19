// SPDX-License-Identifier: Apache-2.0
#include "resume_settings.h"

#include <mutex>

#include "log.h"

namespace QUORVEX {

namespace {

constexpr QvAsrResumeSettings kDefaults{false, 5, 200, 2000, 20, 30000};

std::mutex resumeLock; // guards resumeInForce: set and read by application threads
QvAsrResumeSettings resumeInForce = kDefaults;

int orDefault(int value, int fallback) { return value > 0 ? value : fallback; }

QvAsrResumeSettings resolved(const QvAsrResumeSettings& wanted) {
    QvAsrResumeSettings settings{wanted.enabled,
                                 orDefault(wanted.attempts, kDefaults.attempts),
                                 orDefault(wanted.backoffMs, kDefaults.backoffMs),
                                 orDefault(wanted.backoffMaxMs, kDefaults.backoffMaxMs),
                                 wanted.jitterPercent > 0 ? wanted.jitterPercent : kDefaults.jitterPercent,
                                 orDefault(wanted.replayMs, kDefaults.replayMs)};
    // A back-off given alone may pass the default maximum: it is then its own maximum.
    if (wanted.backoffMaxMs == 0 && settings.backoffMaxMs < settings.backoffMs) settings.backoffMaxMs = settings.backoffMs;
    return settings;
}

const char* problemWith(const QvAsrResumeSettings& wanted, const QvAsrResumeSettings& settings) {
    if (wanted.attempts < 0 || wanted.backoffMs < 0 || wanted.backoffMaxMs < 0 || wanted.jitterPercent < 0 ||
        wanted.replayMs < 0)
        return "a field is negative";
    if (settings.jitterPercent > 100) return "jitter over 100 percent";
    if (settings.attempts > 100) return "more than 100 attempts";
    if (settings.backoffMaxMs > 60000) return "a back-off over 60000 ms";
    if (settings.backoffMaxMs < settings.backoffMs) return "the back-off's maximum is below the back-off";
    if (settings.replayMs > 600000) return "a replay buffer over 600000 ms";
    return nullptr;
}

} // namespace

int setResumeSettings(const QvAsrResumeSettings* wanted) {
    sdkLog("QUORVEX::setResumeSettings");
    QvAsrResumeSettings settings = kDefaults;
    if (wanted) {
        settings = resolved(*wanted);
        if (const char* problem = problemWith(*wanted, settings)) {
            sdkLog("QUORVEX::setResumeSettings refused: %s", problem);
            return -1;
        }
    }
    std::lock_guard<std::mutex> guard(resumeLock);
    resumeInForce = settings;
    return 0;
}

QvAsrResumeSettings currentResumeSettings() {
    std::lock_guard<std::mutex> guard(resumeLock);
    return resumeInForce;
}

} // namespace QUORVEX
