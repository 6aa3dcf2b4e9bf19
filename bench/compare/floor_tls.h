// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_BENCH_COMPARE_FLOOR_TLS_H
#define QUORVEX_BENCH_COMPARE_FLOOR_TLS_H

#include <cstddef>
#include <string>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

namespace quorvex::bench {

// The least TLS a client can speak: OpenSSL directly, the peer verified
// against the bench's CA and its address, one SSL_write per message.
class FloorTls {
public:
    explicit FloorTls(const std::string& caFile);
    ~FloorTls();
    FloorTls(const FloorTls&) = delete;
    FloorTls& operator=(const FloorTls&) = delete;

    // A connection on a connected non-blocking socket, its handshake begun.
    SSL* open(int fd) const;

private:
    SSL_CTX* context_;
};

enum class TlsStep { Done, Again, Failed };

// Non-blocking; Again: wait until the socket is readable.
TlsStep continueHandshake(SSL* ssl);
// The whole buffer, waiting out a full socket; false when the peer is gone.
bool tlsWriteAll(SSL* ssl, int fd, const unsigned char* data, std::size_t size);
// > 0 bytes read; 0 nothing now; -1 closed or failed.
long tlsRead(SSL* ssl, char* buffer, std::size_t size);

} // namespace quorvex::bench

#endif
