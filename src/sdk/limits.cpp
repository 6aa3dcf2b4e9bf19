// SPDX-License-Identifier: Apache-2.0
#include "limits.h"

#include <mutex>

#include "log.h"

namespace QUORVEX {

namespace {

constexpr QvAsrClientLimits kDefaults{10000, 10000, 10000, 10, 20, 2 << 20};

std::mutex limitsLock; // guards limitsInForce: set and read by application threads
QvAsrClientLimits limitsInForce = kDefaults;

int orDefault(int value, int fallback) { return value > 0 ? value : fallback; }

QvAsrClientLimits resolved(const QvAsrClientLimits& wanted) {
    return QvAsrClientLimits{orDefault(wanted.connectTimeoutMs, kDefaults.connectTimeoutMs),
                             orDefault(wanted.startTimeoutMs, kDefaults.startTimeoutMs),
                             orDefault(wanted.stopTimeoutMs, kDefaults.stopTimeoutMs),
                             orDefault(wanted.pingAfterSeconds, kDefaults.pingAfterSeconds),
                             orDefault(wanted.hangUpAfterSeconds, kDefaults.hangUpAfterSeconds),
                             orDefault(wanted.sendQueueBytes, kDefaults.sendQueueBytes)};
}

const char* problemWith(const QvAsrClientLimits& wanted, const QvAsrClientLimits& limits) {
    if (wanted.connectTimeoutMs < 0 || wanted.startTimeoutMs < 0 || wanted.stopTimeoutMs < 0 ||
        wanted.pingAfterSeconds < 0 || wanted.hangUpAfterSeconds < 0 || wanted.sendQueueBytes < 0)
        return "a limit is negative";
    if (limits.pingAfterSeconds > 65535 || limits.hangUpAfterSeconds > 65535) return "seconds over 65535";
    if (limits.hangUpAfterSeconds <= limits.pingAfterSeconds) return "the hang-up must come after the ping";
    return nullptr;
}

} // namespace

int setClientLimits(const QvAsrClientLimits* wanted) {
    sdkLog("QUORVEX::setClientLimits");
    if (!wanted) {
        sdkLog("QUORVEX::setClientLimits refused: null record");
        return -1;
    }
    QvAsrClientLimits limits = resolved(*wanted);
    if (const char* problem = problemWith(*wanted, limits)) {
        sdkLog("QUORVEX::setClientLimits refused: %s", problem);
        return -1;
    }
    std::lock_guard<std::mutex> guard(limitsLock);
    limitsInForce = limits;
    return 0;
}

QvAsrClientLimits currentClientLimits() {
    std::lock_guard<std::mutex> guard(limitsLock);
    return limitsInForce;
}

} // namespace QUORVEX
