// SPDX-License-Identifier: Apache-2.0
#include "floor_tls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>

#include <cstdio>
#include <cstdlib>

namespace quorvex::bench {

FloorTls::FloorTls(const std::string& caFile) : context_(SSL_CTX_new(TLS_client_method())) {
    if (!context_ || SSL_CTX_load_verify_locations(context_, caFile.c_str(), nullptr) != 1) {
        std::fprintf(stderr, "floor: cannot load the CA %s\n", caFile.c_str());
        std::abort();
    }
    SSL_CTX_set_verify(context_, SSL_VERIFY_PEER, nullptr);
    // The write path below may retry from a moved buffer: never, but say so.
    SSL_CTX_set_mode(context_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
}

FloorTls::~FloorTls() { SSL_CTX_free(context_); }

SSL* FloorTls::open(int fd) const {
    SSL* ssl = SSL_new(context_);
    SSL_set_fd(ssl, fd);
    SSL_set1_host(ssl, nullptr);
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), "127.0.0.1");
    SSL_set_connect_state(ssl);
    continueHandshake(ssl);
    return ssl;
}

TlsStep continueHandshake(SSL* ssl) {
    int result = SSL_do_handshake(ssl);
    if (result == 1) return TlsStep::Done;
    int error = SSL_get_error(ssl, result);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return TlsStep::Again;
    ERR_clear_error();
    return TlsStep::Failed;
}

bool tlsWriteAll(SSL* ssl, int fd, const unsigned char* data, std::size_t size) {
    while (size > 0) {
        int written = SSL_write(ssl, data, static_cast<int>(size));
        if (written > 0) {
            data += written;
            size -= static_cast<std::size_t>(written);
            continue;
        }
        int error = SSL_get_error(ssl, written);
        if (error != SSL_ERROR_WANT_WRITE && error != SSL_ERROR_WANT_READ) return false;
        pollfd ready{fd, static_cast<short>(error == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0};
        if (poll(&ready, 1, 5000) <= 0) return false;
    }
    return true;
}

long tlsRead(SSL* ssl, char* buffer, std::size_t size) {
    int got = SSL_read(ssl, buffer, static_cast<int>(size));
    if (got > 0) return got;
    int error = SSL_get_error(ssl, got);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return 0;
    ERR_clear_error();
    return -1;
}

} // namespace quorvex::bench
