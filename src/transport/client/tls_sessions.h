// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_CLIENT_TLS_SESSIONS_H
#define QUORVEX_TRANSPORT_CLIENT_TLS_SESSIONS_H

#include <openssl/ssl.h>

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>

namespace quorvex::transport::detail {

// TLS session resumption for client connections. A full handshake costs
// both ends the certificate chain and its signatures; a reconnect to a
// server verified a moment ago need not pay that again. A session is kept
// only once its connection was established with verification on, and is
// offered only to a connection made through the same TLS context (the same
// CA settings) that checks the same name or address at the same peer
// address and port: resuming skips the certificate check, so nothing else
// may share it. Proxied connections (a local tunnel) are never resumed.
//
// The sessions of one client TLS context, by server, bounded in number and
// age. Its connections live on one loop thread, but OpenSSL does not promise
// that of its callbacks: hence the lock.
class TlsSessionStore {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t kServers = 32; // the oldest goes first
    static constexpr std::chrono::seconds kLifetime{600};

    TlsSessionStore() = default;
    ~TlsSessionStore();
    TlsSessionStore(const TlsSessionStore&) = delete;
    TlsSessionStore& operator=(const TlsSessionStore&) = delete;

    // Takes the reference; a session that cannot be resumed is dropped.
    void save(const std::string& server, SSL_SESSION* session, Clock::time_point now);
    // A new reference, or null when none is kept for server or it is too old.
    SSL_SESSION* find(const std::string& server, Clock::time_point now);
    std::size_t size() const;

private:
    struct Saved {
        SSL_SESSION* session;
        Clock::time_point at;
    };
    void dropOldest();

    mutable std::mutex lock_;
    std::map<std::string, Saved> saved_;
};

// Gives a client context a store of its own, freed with it.
void enableTlsResumption(SSL_CTX* tls);
// From the context's info callback as a handshake starts: offers the stored
// session for this connection's server, if there is one.
void offerSavedSession(SSL* tls);
// The connection's server passed verification and the connection is
// established: its sessions, now and later, may serve the next connections.
void trustTlsSessions(SSL* tls);

} // namespace quorvex::transport::detail

#endif
