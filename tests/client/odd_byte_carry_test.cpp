// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "client/odd_byte_carry.h"

using QUORVEX::OddByteCarry;

// Writers on several threads cut their bytes at random lengths: every frame
// handed on is whole samples, and every byte leaves exactly once.
TEST(OddByteCarry, ConcurrentWritersLoseAndDoubleNoByte) {
    OddByteCarry carry;
    constexpr int kWriters = 4, kFrames = 20000;
    std::vector<std::vector<int>> sent(kWriters, std::vector<int>(256, 0));
    std::vector<std::thread> writers;
    std::atomic<bool> oddFrame{false};
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            std::mt19937 random(static_cast<unsigned>(w));
            std::vector<unsigned char> frame(9, static_cast<unsigned char>(w));
            for (int i = 0; i < kFrames; ++i) {
                OddByteCarry::Pieces pieces;
                carry.take(frame.data(), random() % frame.size(), pieces);
                std::size_t size = 0;
                for (std::size_t p = 0; p < pieces.count; ++p) {
                    size += pieces.spans[p].size;
                    for (std::size_t b = 0; b < pieces.spans[p].size; ++b) ++sent[w][pieces.spans[p].data[b]];
                }
                if (size % 2 != 0) oddFrame = true;
            }
        });
    }
    for (auto& writer : writers) writer.join();
    EXPECT_FALSE(oddFrame.load()) << "a frame split a sample";
    // Writer w's bytes all have the value w: count each value out against in.
    int missing = 0;
    for (int w = 0; w < kWriters; ++w) {
        std::mt19937 random(static_cast<unsigned>(w));
        long long in = 0, out = 0;
        for (int i = 0; i < kFrames; ++i) in += random() % 9;
        for (auto& counts : sent) out += counts[w];
        EXPECT_LE(out, in) << "a byte of writer " << w << " left twice";
        missing += static_cast<int>(in - out);
    }
    EXPECT_EQ(missing, carry.drop() ? 1 : 0) << "bytes were lost beyond the one still waiting";
}
