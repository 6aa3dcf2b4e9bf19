// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <string>

#include "transport/client/tls_sessions.h"

using quorvex::transport::detail::TlsSessionStore;

namespace {

SSL_SESSION* resumable(unsigned char id) {
    SSL_SESSION* session = SSL_SESSION_new();
    unsigned char bytes[8] = {id, 1, 2, 3, 4, 5, 6, 7};
    SSL_SESSION_set1_id(session, bytes, sizeof bytes);
    return session;
}

// Whether a session is kept for server at now, dropping the reference found.
bool kept(TlsSessionStore& store, const std::string& server, TlsSessionStore::Clock::time_point now) {
    SSL_SESSION* found = store.find(server, now);
    SSL_SESSION_free(found);
    return found != nullptr;
}

} // namespace

TEST(TlsSessionStore, KeepsAFewServersForALimitedTimeAndOnlyResumableSessions) {
    TlsSessionStore store;
    auto t0 = TlsSessionStore::Clock::now();
    store.save("unresumable", SSL_SESSION_new(), t0);
    EXPECT_EQ(store.size(), 0u) << "a session without an id or ticket was kept";

    for (std::size_t i = 0; i <= TlsSessionStore::kServers; ++i)
        store.save("server " + std::to_string(i), resumable(static_cast<unsigned char>(i)), t0 + std::chrono::seconds(i));
    EXPECT_EQ(store.size(), TlsSessionStore::kServers);
    auto last = t0 + std::chrono::seconds(TlsSessionStore::kServers);
    EXPECT_FALSE(kept(store, "server 0", last)) << "the oldest stayed past the cap";
    EXPECT_TRUE(kept(store, "server 1", last));

    store.save("server 1", resumable(99), last); // a newer ticket replaces the old one, and its age
    EXPECT_EQ(store.size(), TlsSessionStore::kServers);
    EXPECT_TRUE(kept(store, "server 1", last + TlsSessionStore::kLifetime));
    EXPECT_FALSE(kept(store, "server 2", t0 + std::chrono::seconds(3) + TlsSessionStore::kLifetime))
        << "a session outlived its lifetime";
    EXPECT_EQ(store.size(), TlsSessionStore::kServers - 1) << "an expired session stays held";
}
