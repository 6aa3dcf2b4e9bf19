// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include "transport/client/url.h"

using quorvex::transport::parseWsUrl;

TEST(WsUrl, ParsesSchemesHostsPortsAndPaths) {
    auto plain = parseWsUrl("ws://example.org/asr/v1?x=1");
    ASSERT_TRUE(plain);
    EXPECT_FALSE(plain->tls);
    EXPECT_EQ(plain->host, "example.org");
    EXPECT_EQ(plain->port, 80);
    EXPECT_EQ(plain->path, "/asr/v1?x=1");
    EXPECT_EQ(plain->hostHeader, "example.org");

    auto secure = parseWsUrl("WSS://10.0.0.1:8443");
    ASSERT_TRUE(secure);
    EXPECT_TRUE(secure->tls);
    EXPECT_EQ(secure->port, 8443);
    EXPECT_EQ(secure->path, "/");
    EXPECT_EQ(secure->hostHeader, "10.0.0.1:8443");

    auto v6 = parseWsUrl("ws://[::1]:9000/p#frag");
    ASSERT_TRUE(v6);
    EXPECT_EQ(v6->host, "::1");
    EXPECT_EQ(v6->path, "/p");
    EXPECT_EQ(v6->hostHeader, "[::1]:9000");

    auto query = parseWsUrl("ws://h?token=a");
    ASSERT_TRUE(query);
    EXPECT_EQ(query->path, "/?token=a");
}

TEST(WsUrl, RejectsWhatCannotBeConnectedSafely) {
    for (const char* bad : {"", "http://host/", "ws:/host", "ws://", "ws://:80/", "ws://host:0/", "ws://host:65536/",
                            "ws://host:12ab/", "ws://host:/", "ws://[::1/", "ws://[nothex]:80/", "ws://user@host/",
                            "ws://host/a b", "ws://host/\r\nX-Evil: 1", "wss://host\t/", "ftp://host"}) {
        EXPECT_FALSE(parseWsUrl(bad)) << bad;
    }
}
