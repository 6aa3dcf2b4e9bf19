// SPDX-License-Identifier: Apache-2.0
// libwebsockets 4.3's texts for a failed attempt, which the loopback tests
// on Debian 12 (4.1) never see: each must land in its category on 4.3 too.
#include <gtest/gtest.h>

#include <cerrno>

#include "transport/client/failure_classifier.h"

using namespace quorvex::transport;
using namespace quorvex::transport::detail;

TEST(FailureClassifier, TextsOfLibwebsockets43LandInTheirCategory) {
    tagWSSRoute direct, proxied;
    proxied.proxyHost = "127.0.0.1";
    proxied.proxyPort = 3128;
    AttemptProgress none, connected;
    connected.tcpConnected = true;

    ConnectFailure refused = classifyLwsFailure("conn fail: 111", none, direct, false);
    EXPECT_EQ(refused.kind, ConnectFailureKind::Refused);
    EXPECT_EQ(refused.text, "connection refused");
    std::string unreachable = "conn fail: " + std::to_string(EHOSTUNREACH);
    EXPECT_EQ(classifyLwsFailure(unreachable.c_str(), none, proxied, false).kind, ConnectFailureKind::Proxy);

    ConnectFailure asked{ConnectFailureKind::Proxy, 407, 0, "answered 407"};
    EXPECT_EQ(describeAttempt(asked, proxied), "connection attempt through the proxy 127.0.0.1:3128 failed: answered 407");
    EXPECT_EQ(asked.text, "proxy 127.0.0.1:3128: answered 407");

    ConnectFailure tls = classifyLwsFailure("tls: wrong version number", connected, direct, true);
    EXPECT_EQ(tls.kind, ConnectFailureKind::Tls);
    EXPECT_EQ(classifyLwsFailure("closed before established", connected, direct, false).kind,
              ConnectFailureKind::Other)
        << "a peer that hung up after TCP connected did not refuse the connection";
}
