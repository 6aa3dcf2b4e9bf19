// SPDX-License-Identifier: Apache-2.0
// The replay ring across sessions: a writer of an ended session that is
// still inside append when the next one starts.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "client/replay_ring.h"

using QUORVEX::ReplayRing;
using quorvex::transport::ByteSpan;

TEST(ReplayRing, AWriterOfAnEndedSessionReservesNothingInTheNext) {
    ReplayRing ring;
    ring.reset(64);
    const unsigned char frame[4] = {1, 2, 3, 4};
    ByteSpan piece{frame, sizeof frame};
    std::uint32_t ended = ring.generation(); // read before its state check, then it lost the processor
    ring.reset(64);
    EXPECT_TRUE(ring.append(&piece, 1, ended).stale);
    std::uint64_t end = 0;
    EXPECT_TRUE(ring.settled(end));
    EXPECT_EQ(end, 0u) << "the ended session's frame took a place in the new one";
    ReplayRing::Claim claim = ring.append(&piece, 1, ring.generation());
    EXPECT_FALSE(claim.stale);
    EXPECT_EQ(claim.end, 4u);
}

// Sessions restarted under writers that never stop: no buffer freed under a
// copy (AddressSanitizer), no count of one session left in the next (the
// replay would wait for bytes that never come).
TEST(ReplayRing, RestartsUnderConcurrentWritersLeaveEachSessionSettled) {
    ReplayRing ring;
    ring.reset(4096);
    std::atomic<bool> running{true};
    std::vector<std::thread> writers;
    for (int w = 0; w < 3; ++w) {
        writers.emplace_back([&] {
            unsigned char frame[640] = {};
            ByteSpan piece{frame, sizeof frame};
            while (running.load()) {
                // Within a lap of the ring, as sessions far shorter than it are.
                if (ring.reserved() < 2048) ring.append(&piece, 1, ring.generation());
            }
        });
    }
    for (int session = 0; session < 2000; ++session) ring.reset(session % 2 ? 4096 : 8192);
    running = false;
    for (auto& writer : writers) writer.join();
    std::uint64_t end = 0;
    EXPECT_TRUE(ring.settled(end)) << "bytes reserved in the last session: " << end;
    ring.reset(4096);
    EXPECT_TRUE(ring.settled(end));
    EXPECT_EQ(end, 0u);
}
