// SPDX-License-Identifier: Apache-2.0
#include "transport/client/tls_failure.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cstdlib>
#include <cstring>

#include "transport/client/tls_sessions.h"

namespace quorvex::transport::detail {

namespace {

// One per loop thread: the handshake's failure and its error callback come
// within one libwebsockets call on that thread.
struct Kept {
    const SSL* tls = nullptr;
    unsigned long error = 0;
};
thread_local Kept kept;

// OpenSSL calls this as SSL_connect returns; the queue still holds its error then.
// Each return replaces the last, so what is kept is never an earlier handshake's.
// As a handshake starts, before its hello is written, a saved session may be offered.
void onTlsInfo(const SSL* tls, int where, int ret) {
    if (where & SSL_CB_HANDSHAKE_START) offerSavedSession(const_cast<SSL*>(tls));
    if (where & SSL_CB_CONNECT_EXIT) kept = {tls, ret > 0 ? 0 : ERR_peek_error()};
}

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// Without an OpenSSL error, libwebsockets' "connect SYSCALL <errno>": the
// socket ended or failed during the handshake.
std::string socketProblem(const std::string& lwsText) {
    if (!startsWith(lwsText, "connect SYSCALL ")) return lwsText;
    int error = std::atoi(lwsText.c_str() + std::strlen("connect SYSCALL "));
    if (error == 0) return "the server closed the connection during the handshake";
    return std::string("the connection failed during the handshake: ") + std::strerror(error);
}

} // namespace

void watchTlsFailures(SSL_CTX* tls) { SSL_CTX_set_info_callback(tls, onTlsInfo); }

unsigned long takeTlsFailure(lws* wsi) {
    Kept found = kept;
    kept = {};
    return found.tls && found.tls == lws_get_ssl(wsi) ? found.error : 0;
}

std::string describeTlsFailure(unsigned long error, const std::string& lwsText) {
    if (error == 0) return socketProblem(lwsText);
    if (ERR_GET_LIB(error) != ERR_LIB_SSL) {
        const char* reason = ERR_reason_error_string(error);
        return reason ? reason : lwsText;
    }
    switch (ERR_GET_REASON(error)) {
    case SSL_R_WRONG_VERSION_NUMBER:
    case SSL_R_UNKNOWN_PROTOCOL:
    case SSL_R_PACKET_LENGTH_TOO_LONG:
    case SSL_R_RECORD_LENGTH_MISMATCH:
        return "the server does not speak TLS (a plain ws:// server behind a wss:// URL?)";
    case SSL_R_EXCESSIVE_MESSAGE_SIZE:
        return "the server's certificate chain (or another handshake message) is larger than the 100 KiB accepted";
    case SSL_R_UNSUPPORTED_PROTOCOL:
    case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
    case SSL_R_NO_PROTOCOLS_AVAILABLE:
        return "no TLS version in common with the server";
    case SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE:
    case SSL_R_NO_CIPHERS_AVAILABLE:
        return "the server refused the handshake: no cipher or parameters in common";
    default: {
        const char* reason = ERR_reason_error_string(error);
        return reason ? reason : lwsText;
    }
    }
}

} // namespace quorvex::transport::detail
