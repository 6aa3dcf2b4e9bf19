// SPDX-License-Identifier: Apache-2.0
#include "transport/client/failure_classifier.h"

#include <openssl/x509_vfy.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "transport/client/tls_failure.h"

namespace quorvex::transport::detail {

namespace {

using Kind = ConnectFailureKind;

// OpenSSL's verification errors in the words users search for.
std::string certificateProblem(int error) {
    switch (error) {
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH: return "certificate verification failed: name mismatch";
    case X509_V_ERR_CERT_HAS_EXPIRED: return "certificate verification failed: expired";
    case X509_V_ERR_CERT_NOT_YET_VALID: return "certificate verification failed: not yet valid";
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN: return "certificate verification failed: unknown issuer";
    default: return std::string("certificate verification failed: ") + X509_verify_cert_error_string(error);
    }
}

std::string trimmed(const char* why) {
    std::string text = why && *why ? why : "connection error";
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// Before TCP has connected: "Unable to connect" or "closed before
// established" (4.1, any cause), "conn fail: <errno>" (4.3).
bool isTcpFailure(const std::string& text) {
    return text == "Unable to connect" || text == "closed before established" || startsWith(text, "conn fail: ");
}

std::string tcpProblem(const std::string& text) {
    if (!startsWith(text, "conn fail: ")) return "connection refused or unreachable";
    int error = std::atoi(text.c_str() + std::strlen("conn fail: "));
    return error == ECONNREFUSED ? "connection refused" : std::strerror(error);
}

ConnectFailure upgradeFailure(const std::string& text, const AttemptProgress& progress) {
    if (progress.httpStatus == 0 || progress.httpStatus == 101) return {Kind::Other, 0, 0, text};
    std::string status = std::to_string(progress.httpStatus);
    return {Kind::UpgradeRefused, progress.httpStatus, progress.retryAfterSeconds,
            "the server refused the WebSocket upgrade with HTTP " + status};
}

int retryAfterSeconds(lws* wsi) {
    char value[16];
    if (lws_hdr_copy(wsi, value, sizeof value, WSI_TOKEN_HTTP_RETRY_AFTER) <= 0) return 0;
    if (std::strspn(value, "0123456789") != std::strlen(value) || std::strlen(value) > 6) return 0; // an HTTP date
    return std::atoi(value);
}

} // namespace

void readUpgradeAnswer(lws* wsi, AttemptProgress& progress) {
    progress.httpStatus = static_cast<int>(lws_http_client_http_response(wsi));
    if (progress.httpStatus != 0) progress.retryAfterSeconds = retryAfterSeconds(wsi);
}

ConnectFailure classifyLwsFailure(const char* why, const AttemptProgress& progress, const tagWSSRoute& route,
                                  bool tls) {
    std::string text = trimmed(why);
    if (!progress.tcpConnected) {
        if (!isTcpFailure(text)) return {Kind::Other, 0, 0, text};
        return {route.proxied() ? Kind::Proxy : Kind::Refused, 0, 0, tcpProblem(text)};
    }
    if (progress.upgradeSent) return upgradeFailure(text, progress);
    if (!tls) return {Kind::Other, 0, 0, text};
    // Verification runs inside the handshake: its error explains the failure only here.
    if (progress.certificateError) return {Kind::Certificate, 0, 0, certificateProblem(progress.certificateError)};
    return {Kind::Tls, 0, 0, "TLS handshake failed: " + describeTlsFailure(progress.tlsError, text)};
}

ConnectFailure deadlineFailure(const AttemptProgress* progress, const tagWSSRoute& route, bool tls, unsigned int ms) {
    std::string within = " within " + std::to_string(ms) + " ms";
    if (!progress || !progress->tcpConnected) return {Kind::ConnectTimeout, 0, 0, "no connection" + within};
    const char* step = progress->upgradeSent ? "answer to the WebSocket upgrade"
                       : route.proxied()     ? (tls ? "tunnel or TLS handshake" : "tunnel")
                       : tls                 ? "TLS handshake"
                                             : "answer to the WebSocket upgrade";
    return {Kind::AnswerTimeout, 0, 0, std::string("connected, but no ") + step + within};
}

std::string describeAttempt(ConnectFailure& failure, const tagWSSRoute& route) {
    if (!route.proxied()) return "connection attempt failed: " + failure.text;
    std::string line = "connection attempt through the proxy " + route.proxyLabel() + " failed: " + failure.text;
    if (failure.kind == Kind::Proxy) failure.text = "proxy " + route.proxyLabel() + ": " + failure.text;
    return line;
}

} // namespace quorvex::transport::detail
