// SPDX-License-Identifier: Apache-2.0
// A reconnect resumes the TLS session of a server verified before, and a
// session never stands in for a check that the new connection would fail.
#include "tls_client_test.h"

using namespace quorvex::test;
using namespace QUORVEX;

namespace {
class TlsResumption : public TlsClientTest {};
} // namespace

TEST_F(TlsResumption, AReconnectToTheSameServerResumesItsSession) {
    KeyPair pair = authority().issue("resumed", "localhost", "127.0.0.1");
    ScriptedServer server(pair.cert, pair.key);
    verifyWith(authority().caFile().c_str());
    for (const std::string& url : {byName(server), server.url()}) {
        int resumedBefore = server.raw().resumed();
        EXPECT_EQ(startResult(url), 0) << url;
        EXPECT_EQ(server.raw().resumed(), resumedBefore) << url << ": the first connection to it resumed a session";
        EXPECT_EQ(startResult(url), 0) << url;
        EXPECT_EQ(server.raw().resumed(), resumedBefore + 1) << url << ": the reconnect made a full handshake";
    }
}

// The same server, whose tickets would be taken: only the check the client makes decides.
TEST_F(TlsResumption, ASessionServesOnlyTheNameOrAddressItWasVerifiedFor) {
    KeyPair pair = authority().issue("name-only", "localhost", "127.0.0.2");
    ScriptedServer server(pair.cert, pair.key);
    verifyWith(authority().caFile().c_str());
    ASSERT_EQ(startResult(byName(server)), 0);
    EXPECT_EQ(startResult(server.url()), -2) << "127.0.0.1 is not in the certificate, yet the session was resumed";
    EXPECT_EQ(server.raw().resumed(), 0);
}

TEST_F(TlsResumption, ASessionServesOnlyTheCaSettingsItWasVerifiedUnder) {
    KeyPair pair = authority().issue("ca-bound", "localhost", "127.0.0.1");
    ScriptedServer server(pair.cert, pair.key);
    verifyWith(authority().caFile().c_str());
    ASSERT_EQ(startResult(byName(server)), 0);
    CertAuthority other;
    verifyWith(other.caFile().c_str());
    EXPECT_EQ(startResult(byName(server)), -2) << "a CA that does not sign the server let a resumed session through";
    verifyWith(nullptr);
    EXPECT_EQ(startResult(byName(server)), -2) << "the system store let a resumed session through";
    EXPECT_EQ(server.raw().resumed(), 0);
}

// Verification off and the system store share one TLS context, and an address gets the same
// session key with either: only a verified connection may leave a session behind.
TEST_F(TlsResumption, AnUnverifiedConnectionLeavesNoSessionBehind) {
    KeyPair pair = authority().issue("unverified", "localhost", "127.0.0.1");
    ScriptedServer server(pair.cert, pair.key);
    QvAsrTlsSettings off{false, nullptr, nullptr};
    for (const std::string& url : {byName(server), server.url()}) {
        ASSERT_EQ(setTlsSettings(&off), 0);
        ASSERT_EQ(startResult(url), 0) << url;
        verifyWith(nullptr);
        EXPECT_EQ(startResult(url), -2) << url << ": resumed the session of an unverified connection";
    }
    EXPECT_EQ(server.raw().resumed(), 0);
}
