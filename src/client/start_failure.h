// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_CLIENT_START_FAILURE_H
#define QUORVEX_CLIENT_START_FAILURE_H

#include <string>

#include "quorvex/quorvex.h"
#include "transport/transport_control.h"

namespace QUORVEX {

// One failed start as the application's failure listener hears it; owns its text.
struct StartFailureReport {
    QvAsrStartFailureCategory category = QvAsrStartFailureCategory::Other;
    int status = 0;
    int retryAfterSeconds = 0;
    std::string text;

    QvAsrStartFailure view() const { return {category, status, retryAfterSeconds, text.c_str()}; }
};

// The connection attempt failed (onStartResult -2).
StartFailureReport connectFailureReport(const quorvex::transport::ConnectFailure& failure);
// The server upgraded but sent no start answer in time (-2).
StartFailureReport startTimeoutReport(int timeoutMs);
// The server's start answer carried a msg_code other than 0 (-4); the text
// is its msg_desc as it came, empty too.
StartFailureReport sessionRefusedReport(int msgCode, const std::string& description);

} // namespace QUORVEX

#endif
