// SPDX-License-Identifier: Apache-2.0
#include "client/start_failure.h"

#include "protocol/asr_messages.h"

namespace QUORVEX {

// The key function: the interface's type information lives in the library
// and is exported, so that init's dynamic_cast finds it on an application's class.
QvAsrStartFailureListener::~QvAsrStartFailureListener() {}

namespace {

QvAsrStartFailureCategory categoryOf(quorvex::transport::ConnectFailureKind kind) {
    using Kind = quorvex::transport::ConnectFailureKind;
    using Category = QvAsrStartFailureCategory;
    switch (kind) {
    case Kind::Refused: return Category::ConnectionRefused;
    case Kind::NameUnknown: return Category::NameNotResolved;
    case Kind::ConnectTimeout: return Category::ConnectTimeout;
    case Kind::AnswerTimeout: return Category::AnswerTimeout;
    case Kind::Tls: return Category::TlsHandshakeFailed;
    case Kind::Certificate: return Category::CertificateRejected;
    case Kind::Proxy: return Category::ProxyFailed;
    case Kind::UpgradeRefused: return Category::UpgradeRefused;
    case Kind::Other: break;
    }
    return Category::Other;
}

} // namespace

StartFailureReport connectFailureReport(const quorvex::transport::ConnectFailure& failure) {
    return {categoryOf(failure.kind), failure.httpStatus, failure.retryAfterSeconds, failure.text};
}

StartFailureReport startTimeoutReport(int timeoutMs) {
    return {QvAsrStartFailureCategory::AnswerTimeout, 0, 0,
            std::string(AsrMsgTypeNames[START_SESSION_RES]) + " not received within " + std::to_string(timeoutMs) +
                " ms"};
}

StartFailureReport sessionRefusedReport(int msgCode, const std::string& description) {
    return {QvAsrStartFailureCategory::SessionRefused, msgCode, 0, description};
}

} // namespace QUORVEX
