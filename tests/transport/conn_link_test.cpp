// SPDX-License-Identifier: Apache-2.0
// One connection's lifecycle on the loop, without a socket.
#include <gtest/gtest.h>

#include "transport/conn/conn_link.h"

using namespace quorvex::transport;
using namespace quorvex::transport::detail;

namespace {
lws* const kSocket = reinterpret_cast<lws*>(0x10);
}

TEST(ConnLink, ClosingFollowsItsTableAndOnlyAHarderWayOverridesIt) {
    ConnLink link(ConnLink::Kind::Client, nullptr, nullptr, 1024);
    EXPECT_FALSE(link.close(Closing::Now, 1000, "")) << "a connection not yet open closed";
    ASSERT_TRUE(link.opened(kSocket, 100));
    EXPECT_FALSE(link.opened(kSocket, 200)) << "opened twice";
    EXPECT_TRUE(link.sending());

    ASSERT_TRUE(link.close(Closing::AfterSending, 1001, std::string(200, 'r')));
    EXPECT_TRUE(link.sending()) << "what is queued must still leave";
    EXPECT_TRUE(link.closeFrameDue());
    EXPECT_EQ(link.closeReason().size(), 123u) << "the reason must fit a close frame";
    EXPECT_FALSE(link.close(Closing::AfterSending, 1011, "")) << "asked twice";
    ASSERT_TRUE(link.close(Closing::Now, 1011, ""));
    EXPECT_FALSE(link.sending());
    EXPECT_EQ(link.closeCode(), 1001) << "the first code is the one sent";
    link.markCloseFrameWritten();
    EXPECT_FALSE(link.closeFrameDue()) << "a second close frame";
    ASSERT_TRUE(link.close(Closing::AtOnce, 1000, ""));
    EXPECT_FALSE(link.close(Closing::Now, 1000, "")) << "a softer way after cutting";

    EXPECT_TRUE(link.closed());
    EXPECT_FALSE(link.closed());
    EXPECT_FALSE(link.close(Closing::AtOnce, 1000, "")) << "a closed connection cut";
}

TEST(ConnLink, APeersCloseStopsOurFrameAndPingsAndAPongTimesOnlyOurPing) {
    ConnLink link(ConnLink::Kind::WebSocket, nullptr, nullptr, 1024);
    ASSERT_TRUE(link.opened(kSocket, 1000));
    EXPECT_EQ(link.ponged(1500), -1) << "a pong nobody asked for was timed";
    link.pinged(2000);
    EXPECT_EQ(link.ponged(2040), 40);
    EXPECT_EQ(link.silentFor(2100), 60u);
    link.peerClosed();
    EXPECT_FALSE(link.open()) << "pinged after the peer's close";
    EXPECT_FALSE(link.closeFrameDue()) << "our close frame after the peer's";
}
