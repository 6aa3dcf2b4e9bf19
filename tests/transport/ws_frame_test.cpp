// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <set>

#include "transport/io/ws_frame.h"

using namespace quorvex::transport;
using namespace quorvex::transport::detail;

namespace {
// Reads one frame back the way a server would.
std::vector<unsigned char> unframe(const std::vector<unsigned char>& frame, bool& binary, bool& masked) {
    binary = (frame.at(0) & 0x0f) == 2;
    EXPECT_EQ(frame[0] & 0x80, 0x80) << "FIN";
    masked = frame[1] & 0x80;
    std::size_t size = frame[1] & 0x7f, at = 2;
    if (size == 126) {
        size = (std::size_t(frame[2]) << 8) | frame[3];
        at = 4;
    } else if (size == 127) {
        size = 0;
        for (int i = 0; i < 8; ++i) size = (size << 8) | frame[2 + i];
        at = 10;
    }
    const unsigned char* key = masked ? &frame[at] : nullptr;
    at += masked ? 4 : 0;
    EXPECT_EQ(frame.size(), at + size);
    std::vector<unsigned char> payload(frame.begin() + static_cast<long>(at), frame.end());
    for (std::size_t i = 0; key && i < payload.size(); ++i) payload[i] ^= key[i & 3];
    return payload;
}
} // namespace

TEST(WsFrame, LengthEncodingsAndMaskingRoundTrip) {
    MaskKeys keys;
    for (std::size_t size : {0u, 1u, 125u, 126u, 65535u, 65536u, 70000u}) {
        std::vector<unsigned char> payload(size);
        for (std::size_t i = 0; i < size; ++i) payload[i] = static_cast<unsigned char>(i * 7);
        for (bool mask : {true, false}) {
            std::uint8_t key[4];
            keys.next(key);
            std::vector<unsigned char> frame;
            appendFrame(frame, dataOpcode(size % 2 == 0), payload.data(), size, mask ? key : nullptr);
            bool binary = false, masked = false;
            EXPECT_EQ(unframe(frame, binary, masked), payload) << size;
            EXPECT_EQ(binary, size % 2 == 0);
            EXPECT_EQ(masked, mask);
        }
    }
}

TEST(WsFrame, MaskKeysVary) {
    MaskKeys keys;
    std::set<std::uint32_t> seen;
    for (int i = 0; i < 1000; ++i) {
        std::uint8_t key[4];
        keys.next(key);
        seen.insert(std::uint32_t(key[0]) | std::uint32_t(key[1]) << 8 | std::uint32_t(key[2]) << 16 |
                    std::uint32_t(key[3]) << 24);
    }
    EXPECT_GT(seen.size(), 990u);
}
