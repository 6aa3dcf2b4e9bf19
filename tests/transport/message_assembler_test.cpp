// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <string>

#include "transport/io/message_assembler.h"

using quorvex::transport::detail::MessageAssembler;
using Outcome = MessageAssembler::Outcome;

TEST(MessageAssembler, JoinsFragmentsAndHonoursTheLimitExactly) {
    MessageAssembler rx(1024);
    std::string half(512, 'a');
    EXPECT_EQ(rx.add(true, false, true, half.data(), half.size()), Outcome::Partial);
    EXPECT_EQ(rx.add(false, true, false, half.data(), half.size()), Outcome::Complete) << "1024 bytes fit a 1 KiB limit";
    EXPECT_TRUE(rx.binary()) << "the type is the first fragment's";
    EXPECT_EQ(rx.take(), half + half);

    EXPECT_EQ(rx.add(true, false, false, half.data(), half.size()), Outcome::Partial);
    EXPECT_EQ(rx.add(false, false, false, half.data(), half.size()), Outcome::Partial);
    EXPECT_EQ(rx.add(false, false, false, "x", 1), Outcome::TooBig) << "byte 1025 crosses the limit";
    EXPECT_EQ(rx.add(false, true, false, half.data(), half.size()), Outcome::Partial)
        << "the rest of a dropped message is ignored, never delivered";

    EXPECT_EQ(rx.add(true, true, false, "ok", 2), Outcome::Complete) << "the next message starts clean";
    EXPECT_EQ(rx.take(), "ok");
    EXPECT_EQ(rx.add(true, true, true, nullptr, 0), Outcome::Complete) << "an empty message is still a message";
    EXPECT_EQ(rx.take(), "");
}

TEST(MessageAssembler, KeepsOrdinaryBuffersAndGivesHugeOnesBack) {
    MessageAssembler rx(1u << 20);
    std::string big(512 * 1024, 'b');
    ASSERT_EQ(rx.add(true, true, true, big.data(), big.size()), Outcome::Complete);
    std::string delivered = rx.take();
    rx.recycle(std::move(delivered));
    ASSERT_EQ(rx.add(true, true, true, "s", 1), Outcome::Complete);
    EXPECT_LT(rx.take().capacity(), big.size()) << "a 512 KiB buffer must not be kept per connection";

    std::string small(100, 's');
    ASSERT_EQ(rx.add(true, true, false, small.data(), small.size()), Outcome::Complete);
    std::string kept = rx.take();
    const char* storage = kept.data();
    rx.recycle(std::move(kept));
    ASSERT_EQ(rx.add(true, true, false, "t", 1), Outcome::Complete);
    EXPECT_EQ(rx.take().data(), storage) << "an ordinary buffer is reused";
}
