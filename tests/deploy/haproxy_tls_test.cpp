// SPDX-License-Identifier: Apache-2.0
// The shipped configuration's TLS frontend: clients speak wss:// to haproxy,
// which speaks ws:// to a quorvex-server behind it.
#include "haproxy_fixture.h"

using namespace quorvex::test;

TEST(TlsAtHaproxy, AVerifiedWssSessionIsRecognisedAndAClientWithoutTheCaIsRefused) {
    CertAuthority authority;
    KeyPair certificate = authority.issue("haproxy", "localhost", "127.0.0.1");
    QUORVEX::QvAsrSdkLogParam log{false, nullptr, nullptr};
    QUORVEX::QvAsrSdkInitParam params{};
    ASSERT_EQ(QUORVEX::init(&log, &params), 0);
    struct Release {
        ~Release() {
            QUORVEX::setTlsSettings(nullptr);
            QUORVEX::release();
        }
    } release;
    ServerProcess server;
    ASSERT_TRUE(server.port());
    Haproxy haproxy({server.port()}, "100ms", &certificate);
    ASSERT_TRUE(haproxy.running());

    QUORVEX::QvAsrTlsSettings trusted{true, authority.caFile().c_str(), nullptr};
    ASSERT_EQ(QUORVEX::setTlsSettings(&trusted), 0);
    {
        EchoSession session(7);
        ASSERT_TRUE(session.start(haproxy.url())) << session.heard() << haproxy.output();
        session.send(25);
        EXPECT_TRUE(session.stopAndConfirm()) << session.heard() << haproxy.output();
    }

    QUORVEX::QvAsrTlsSettings systemStore{true, nullptr, nullptr};
    ASSERT_EQ(QUORVEX::setTlsSettings(&systemStore), 0);
    EchoSession refused(8);
    EXPECT_FALSE(refused.start(haproxy.url()));
    EXPECT_EQ(refused.startResult(), -2) << refused.heard();
    EXPECT_EQ(server.metric("quorvex_sessions_total"), 1) << "the refused client reached the server";
}
