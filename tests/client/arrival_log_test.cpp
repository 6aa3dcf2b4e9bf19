// SPDX-License-Identifier: Apache-2.0
// A final result's latency, told from its ed: audio sent as it is spoken,
// sent in a burst, and older than the log.
#include <gtest/gtest.h>

#include "client/arrival_log.h"

using QUORVEX::ArrivalLog;

TEST(ArrivalLog, LatencyIsExactToAFrameAndUnknownPastTheLog) {
    ArrivalLog log;
    const std::int64_t start = 50000;
    log.reset(start);
    EXPECT_EQ(log.latencyOf(0, start), -1) << "a latency before any audio";
    // 30 s of 20 ms frames, each handed over as it ends, 3 ms late.
    for (std::uint64_t end = 20; end <= 30000; end += 20) log.note(end, start + static_cast<std::int64_t>(end) + 3);
    const std::int64_t now = start + 30000 + 500;
    // The frame that ends at 29,960 ms was handed over at 29,963; points
    // between kept frames are within a frame of the one that held them.
    EXPECT_EQ(log.latencyOf(29960, now), 537);
    EXPECT_NEAR(log.latencyOf(29950, now), 537, 20);
    EXPECT_NEAR(log.latencyOf(25010, now), 5477, 20);
    EXPECT_EQ(log.latencyOf(10000, now), -1) << "audio older than the log was given a latency";
    EXPECT_EQ(log.latencyOf(30020, now), -1) << "audio not yet sent was given a latency";

    // A file sent at once: every frame at the same moment.
    log.reset(start);
    for (std::uint64_t end = 20; end <= 5000; end += 20) log.note(end, start + 7);
    EXPECT_EQ(log.latencyOf(4321, start + 1007), 1000);
}
