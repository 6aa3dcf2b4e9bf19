// SPDX-License-Identifier: Apache-2.0
// An audio stream costs no allocation on the writer's thread once it flows.
// In a binary of its own: it replaces the global allocator to count.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "asr_fixture.h"
#include "loop_barrier.h"
#include "recording_client.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QUORVEX_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QUORVEX_SANITIZED 1
#endif
#endif

namespace {
thread_local bool counting = false;
thread_local int allocations = 0;
} // namespace

#ifndef QUORVEX_SANITIZED // the sanitizers bring allocators of their own
void* operator new(std::size_t size) {
    if (counting) ++allocations;
    if (void* block = std::malloc(size ? size : 1)) return block;
    throw std::bad_alloc();
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
#endif

using namespace quorvex::test;

TEST(HandOff, AFlowingAudioStreamAllocatesNothingOnTheWritersThread) {
#ifdef QUORVEX_SANITIZED
    GTEST_SKIP() << "the sanitizers' allocators cannot be counted here";
#endif
    LoopOwner loop;
    TestServer server;
    RecordingClient client(loop.context);
    ASSERT_TRUE(client.connectTo(server.url()));
    ASSERT_TRUE(client.waitEstablished());
    const unsigned char frame[640] = {};
    constexpr int kWarmUp = 20, kFrames = 500;
    // A frame may be written before the loop has recycled the one before
    // it: two buffers are in use then, and the stream is warm once both exist.
    // Both are made while the loop is held; otherwise the loop may recycle the
    // first in time for the second, and the second buffer would be made later,
    // while counting.
    {
        LoopHold hold(loop.context);
        ASSERT_TRUE(hold.held()) << "the loop never ran the timer that holds it";
        client.writeBinary(frame, sizeof frame);
        client.writeBinary(frame, sizeof frame);
    }
    ASSERT_TRUE(server.waitForFrames(2)) << "the first two frames did not arrive";
    for (int i = 3; i <= kWarmUp + kFrames; ++i) {
        counting = i > kWarmUp;
        client.writeBinary(frame, sizeof frame);
        counting = false;
        // Paced as a speaker is: each frame has left before the next.
        ASSERT_TRUE(server.waitForFrames(static_cast<std::size_t>(i))) << "frame " << i << " did not arrive";
    }
    EXPECT_EQ(allocations, 0) << allocations << " allocations in " << kFrames << " hand-offs";
}

// The same through the client with resumption on: each frame also goes into
// the replay ring and the arrival log, which were allocated at start.
TEST(HandOff, SendAudioWithResumptionOnAllocatesNothingOnceAudioFlows) {
#ifdef QUORVEX_SANITIZED
    GTEST_SKIP() << "the sanitizers' allocators cannot be counted here";
#endif
    QUORVEX::QvAsrSdkLogParam log{false, nullptr, nullptr};
    QUORVEX::QvAsrSdkInitParam params{};
    ASSERT_EQ(QUORVEX::init(&log, &params), 0);
    QUORVEX::QvAsrResumeSettings resume{};
    resume.enabled = true;
    ASSERT_EQ(QUORVEX::setResumeSettings(&resume), 0);
    {
        ScriptedServer server;
        RecordingListener listener;
        QUORVEX::QvAsrClient* client = QUORVEX::createAsrInstance();
        client->init(&listener);
        std::string url = server.url();
        QUORVEX::QvAsrStartParam start{url.c_str(), "t"};
        ASSERT_EQ(client->start(&start), 0);
        ASSERT_TRUE(listener.waitFor("start"));
        const unsigned char pcm[640] = {};
        QUORVEX::QvAsrAudioFrame frame{pcm, sizeof pcm, 1, 16000, 16};
        constexpr int kWarmUp = 20, kFrames = 500;
        // A burst first, so that every spare slot holds a frame's buffer and a
        // frame's buffer not yet given back by the loop finds another.
        for (int i = 1; i <= 3; ++i) ASSERT_EQ(client->sendAudio(&frame), 0);
        for (int i = 4; i <= kWarmUp + kFrames; ++i) {
            counting = i > kWarmUp;
            ASSERT_EQ(client->sendAudio(&frame), 0);
            counting = false;
            ASSERT_TRUE(server.raw().waitForFrames(static_cast<std::size_t>(i) + 1)) << "frame " << i << " did not arrive";
        }
        EXPECT_EQ(allocations, 0) << allocations << " allocations in " << kFrames << " frames";
        ASSERT_EQ(client->stop(), 0);
        ASSERT_TRUE(listener.waitFor("stop"));
        while (QUORVEX::destroyAsrInstance(client) == -5) std::this_thread::yield();
        delete client;
    }
    QUORVEX::setResumeSettings(nullptr);
    QUORVEX::release();
}
