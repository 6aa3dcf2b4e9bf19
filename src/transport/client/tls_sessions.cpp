// SPDX-License-Identifier: Apache-2.0
#include "transport/client/tls_sessions.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/x509_vfy.h>

#include <memory>

#include "platform/net.h"

namespace quorvex::transport::detail {

namespace {

struct FreeSession {
    void operator()(SSL_SESSION* session) const { SSL_SESSION_free(session); }
};
using SessionRef = std::unique_ptr<SSL_SESSION, FreeSession>;

// What one connection's handshake knows: the server it is for, whether it
// has been found trustworthy, and a session that came before that.
struct Handshake {
    std::string server;
    bool trusted = false;
    SessionRef early;
};

void freeStore(void*, void* store, CRYPTO_EX_DATA*, int, long, void*) { delete static_cast<TlsSessionStore*>(store); }
void freeHandshake(void*, void* handshake, CRYPTO_EX_DATA*, int, long, void*) {
    delete static_cast<Handshake*>(handshake);
}
// A copied connection (SSL_dup) starts without one rather than sharing it.
int copyNoHandshake(CRYPTO_EX_DATA*, const CRYPTO_EX_DATA*, void** from, int, long, void*) {
    *from = nullptr;
    return 1;
}

int storeIndex() {
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, freeStore);
    return index;
}

int handshakeIndex() {
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, copyNoHandshake, freeHandshake);
    return index;
}

TlsSessionStore* storeOf(const SSL* tls) {
    return static_cast<TlsSessionStore*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(tls), storeIndex()));
}

Handshake* handshakeOf(const SSL* tls) { return static_cast<Handshake*>(SSL_get_ex_data(tls, handshakeIndex())); }

// Everything resuming would take on trust: the peer's address and port, the
// name sent, and the name or address the certificate is checked against
// (none when libwebsockets skips that check and the loop checks the address
// itself, which is then the peer's). Empty for a peer without an IP address.
std::string serverOf(SSL* tls) {
    std::string address;
    unsigned short port = 0;
    int socket = SSL_get_fd(tls);
    if (socket < 0 || !platform::endpointOf(static_cast<platform::Socket>(socket), false, address, port) ||
        address.empty())
        return std::string();
    X509_VERIFY_PARAM* param = SSL_get0_param(tls);
    const char* sent = SSL_get_servername(tls, TLSEXT_NAMETYPE_host_name);
    const char* host = X509_VERIFY_PARAM_get0_host(param, 0);
    // Without an address to check OpenSSL queues an error, which the handshake would take for its own.
    ERR_set_mark();
    char* ip = X509_VERIFY_PARAM_get1_ip_asc(param);
    ERR_pop_to_mark();
    std::string server = address + " " + std::to_string(port) + "\n" + (sent ? sent : "") + "\n" +
                         (host ? host : "") + "\n" + (ip ? ip : "");
    OPENSSL_free(ip);
    return server;
}

// OpenSSL hands over each session the server grants (TLS 1.3: its tickets,
// which may come after the handshake). Returning 1 keeps the reference.
int onNewSession(SSL* tls, SSL_SESSION* session) {
    Handshake* handshake = handshakeOf(tls);
    TlsSessionStore* store = storeOf(tls);
    if (!handshake || !store) return 0;
    if (handshake->trusted)
        store->save(handshake->server, session, TlsSessionStore::Clock::now());
    else
        handshake->early.reset(session);
    return 1;
}

} // namespace

TlsSessionStore::~TlsSessionStore() {
    for (auto& entry : saved_) SSL_SESSION_free(entry.second.session);
}

void TlsSessionStore::save(const std::string& server, SSL_SESSION* session, Clock::time_point now) {
    if (!session) return;
    if (!SSL_SESSION_is_resumable(session)) {
        SSL_SESSION_free(session);
        return;
    }
    std::lock_guard<std::mutex> guard(lock_);
    auto found = saved_.find(server);
    if (found != saved_.end()) {
        SSL_SESSION_free(found->second.session);
        found->second = Saved{session, now};
        return;
    }
    if (saved_.size() >= kServers) dropOldest();
    saved_.emplace(server, Saved{session, now});
}

SSL_SESSION* TlsSessionStore::find(const std::string& server, Clock::time_point now) {
    std::lock_guard<std::mutex> guard(lock_);
    auto found = saved_.find(server);
    if (found == saved_.end()) return nullptr;
    if (now - found->second.at > kLifetime) {
        SSL_SESSION_free(found->second.session);
        saved_.erase(found);
        return nullptr;
    }
    SSL_SESSION_up_ref(found->second.session);
    return found->second.session;
}

std::size_t TlsSessionStore::size() const {
    std::lock_guard<std::mutex> guard(lock_);
    return saved_.size();
}

void TlsSessionStore::dropOldest() {
    auto oldest = saved_.begin();
    for (auto it = saved_.begin(); it != saved_.end(); ++it)
        if (it->second.at < oldest->second.at) oldest = it;
    if (oldest == saved_.end()) return;
    SSL_SESSION_free(oldest->second.session);
    saved_.erase(oldest);
}

void enableTlsResumption(SSL_CTX* tls) {
    if (SSL_CTX_get_ex_data(tls, storeIndex())) return;
    SSL_CTX_set_ex_data(tls, storeIndex(), new TlsSessionStore());
    SSL_CTX_set_session_cache_mode(tls, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(tls, onNewSession);
}

void offerSavedSession(SSL* tls) {
    TlsSessionStore* store = storeOf(tls);
    // Only before the first handshake: a renegotiation keeps what it has.
    if (!store || !SSL_in_before(tls) || handshakeOf(tls)) return;
    auto handshake = std::make_unique<Handshake>();
    handshake->server = serverOf(tls);
    if (handshake->server.empty()) return;
    SessionRef saved(store->find(handshake->server, TlsSessionStore::Clock::now()));
    // A session refused here is a full handshake, not a failed one: nothing may stay queued.
    ERR_set_mark();
    if (saved) SSL_set_session(tls, saved.get());
    ERR_pop_to_mark();
    SSL_set_ex_data(tls, handshakeIndex(), handshake.release());
}

void trustTlsSessions(SSL* tls) {
    Handshake* handshake = tls ? handshakeOf(tls) : nullptr;
    TlsSessionStore* store = tls ? storeOf(tls) : nullptr;
    if (!handshake || !store || handshake->trusted) return;
    handshake->trusted = true;
    SSL_SESSION* session = handshake->early ? handshake->early.release() : SSL_get1_session(tls);
    store->save(handshake->server, session, TlsSessionStore::Clock::now());
}

} // namespace quorvex::transport::detail
