// SPDX-License-Identifier: Apache-2.0
#include <dirent.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <cstring>
#include <thread>

#include "quorvex/quorvex.h"
#include "refusing_port.h"
#include "sdk/runtime.h"
#include "transport/wss_client.h"
#include "transport/wss_context.h"

using namespace QUORVEX;

namespace {

int countEntries(const char* dir) {
    int count = 0;
    if (DIR* d = opendir(dir)) {
        while (dirent* entry = readdir(d))
            if (entry->d_name[0] != '.') ++count;
        closedir(d);
    }
    return count;
}

// A joined thread may stay listed in /proc for a moment after pthread_join
// returns (the kernel reaps it after waking the joiner): the count is read
// again until it matches or the deadline passes.
int settledCount(const char* dir, int expected) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    int count = countEntries(dir);
    while (count != expected && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
        count = countEntries(dir);
    }
    return count;
}

class Runtime : public ::testing::Test {
protected:
    void TearDown() override { release(); }
    QvAsrSdkLogParam quiet{false, nullptr, nullptr};
    QvAsrSdkInitParam params{};
};

} // namespace

TEST_F(Runtime, InitCreatesTheSharedContextAndRejectsASecondInit) {
    ASSERT_EQ(init(&quiet, &params), 0);
    ASSERT_NE(sharedClient, nullptr);
    CWSSContext* context = sharedClient->getContext();
    ASSERT_NE(context, nullptr);
    EXPECT_NE(context->getContext(), nullptr);
    ASSERT_NE(sdkMutex, nullptr);
    ASSERT_NE(sdkCond, nullptr);

    QvAsrSdkLogParam other{true, nullptr, nullptr};
    EXPECT_EQ(init(&other, &params), -5);
    EXPECT_EQ(sharedClient->getContext(), context);
    EXPECT_FALSE(logSettings->enableLog) << "the first call's settings stay";
}

// Two inits at once on two threads: one starts the runtime, the other is
// told it is initialised, and waits for nothing.
TEST_F(Runtime, TwoInitsAtOnceStartOneRuntime) {
    for (int round = 0; round < 20; ++round) {
        std::atomic<bool> go{false};
        int results[2] = {1, 1};
        auto initOnGo = [&](int which) {
            while (!go.load()) std::this_thread::yield();
            results[which] = init(&quiet, &params);
        };
        std::thread first(initOnGo, 0), second(initOnGo, 1);
        go = true;
        first.join();
        second.join();
        EXPECT_EQ(results[0] + results[1], -5) << "round " << round << ": " << results[0] << ", " << results[1];
        release();
    }
}

TEST_F(Runtime, MissingRecordsLeaveAHalfInitialisedLibraryUntilRelease) {
    for (int which = 0; which < 2; ++which) {
        ::testing::internal::CaptureStdout();
        int result = which == 0 ? init(nullptr, &params) : init(&quiet, nullptr);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "quorvex:logparam or initParam is null\n");
        EXPECT_EQ(result, -1);
        EXPECT_NE(sharedClient, nullptr);
        EXPECT_EQ(sdkMutex, nullptr);
        EXPECT_EQ(sdkCond, nullptr);
        ASSERT_NE(logSettings, nullptr);
        EXPECT_FALSE(logSettings->enableLog);
        EXPECT_EQ(init(&quiet, &params), -5);
        release();
        EXPECT_EQ(init(&quiet, &params), 0);
        release();
    }
}

TEST_F(Runtime, ReleaseWithoutInitAndTwiceDoesNothing) {
    ::testing::internal::CaptureStdout();
    release();
    ASSERT_EQ(init(&quiet, &params), 0);
    release();
    release();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(sharedClient, nullptr);
    EXPECT_EQ(logSettings, nullptr);
}

TEST_F(Runtime, VersionIsTheSameInEveryState) {
    EXPECT_STREQ(getVersion(), "v1.0.0");
    ASSERT_EQ(init(&quiet, &params), 0);
    EXPECT_STREQ(getVersion(), "v1.0.0");
    release();
    EXPECT_STREQ(getVersion(), "v1.0.0");
    EXPECT_STREQ(getVersion(), QUORVEX_VERSION_STRING) << "the compile-time version differs from the run-time one";
}

TEST_F(Runtime, RepeatedCyclesLeaveNoThreadOrDescriptorBehind) {
    // A first cycle lets the runtime (and any sanitizer) start its lazy threads.
    ASSERT_EQ(init(&quiet, &params), 0);
    int threadsWhileInitialised = countEntries("/proc/self/task");
    release();
    int threadsBefore = settledCount("/proc/self/task", threadsWhileInitialised - 1);
    int fdsBefore = countEntries("/proc/self/fd");
    CWSSContext* previous = nullptr;
    for (int cycle = 0; cycle < 8; ++cycle) {
        ASSERT_EQ(init(&quiet, &params), 0);
        EXPECT_EQ(countEntries("/proc/self/task"), threadsBefore + 1) << "one loop thread while initialised";
        EXPECT_NE(sharedClient->getContext(), nullptr);
        previous = sharedClient->getContext();
        release();
        EXPECT_EQ(settledCount("/proc/self/task", threadsBefore), threadsBefore) << "the loop thread outlived release";
    }
    (void)previous;
    EXPECT_EQ(countEntries("/proc/self/fd"), fdsBefore);
}

// init prints its own failures to standard output, whatever the log
// settings say: here, a process without a free descriptor for its loop.
TEST(RuntimeInitFailure, ALoopThatCannotStartIsPrintedToStandardOutput) {
#ifdef QUORVEX_SANITIZED_BUILD
    GTEST_SKIP() << "the sanitizer's runtime needs descriptors too";
#endif
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) { // only the test's own thread exists here
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        rlimit none{3, 3}; // descriptors 0 to 2 only: no epoll set, no eventfd, no plugin
        setrlimit(RLIMIT_NOFILE, &none);
        QvAsrSdkLogParam log{true, nullptr, [](const char*, const char*) {}};
        QvAsrSdkInitParam params{};
        int result = init(&log, &params);
        std::fflush(stdout);
        _exit(result == -1 ? 0 : 1);
    }
    close(out[1]);
    std::string printed;
    char chunk[512];
    for (ssize_t got; (got = read(out[0], chunk, sizeof chunk)) > 0;) printed.append(chunk, static_cast<std::size_t>(got));
    close(out[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "init did not fail with -1: " << printed;
    EXPECT_NE(printed.find("quorvex:init: "), std::string::npos) << "not on standard output: " << printed;
}

// release while other calls are inside (a misuse) still ends them all:
// each returns one of its codes, nothing freed is touched (ASan and TSan
// run this too), and what the calls made can be deleted afterwards.
TEST(RuntimeRelease, CallsOverlappingReleaseReturnAndTouchNothingFreed) {
    quorvex::test::RefusingPort refusing;
    std::string url = refusing.url("/asr");
    constexpr int kRounds = 200;
    for (int round = 0; round < kRounds; ++round) {
        QvAsrSdkLogParam log{true, nullptr, [](const char*, const char*) {}};
        QvAsrSdkInitParam params{};
        ASSERT_EQ(init(&log, &params), 0);
        QvAsrClient* client = createAsrInstance();
        ASSERT_NE(client, nullptr);
        std::atomic<bool> go{false};
        int destroyed = 99, started = 99;
        QvAsrClient* made = nullptr;
        std::thread racer([&] {
            while (!go.load()) std::this_thread::yield();
            destroyed = destroyAsrInstance(client);
            made = createAsrInstance();
            QvAsrStartParam start{url.c_str(), "t"};
            started = made ? made->start(&start) : -1;
        });
        go = true;
        if (round % 2) std::this_thread::yield(); // vary where the two meet
        release();
        racer.join();
        EXPECT_TRUE(destroyed == 0 || destroyed == -5) << "round " << round << ": " << destroyed;
        EXPECT_TRUE(started == 0 || started == -1) << "round " << round << ": " << started;
        delete client;
        delete made;
    }
}

namespace {
long residentKib() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
}
} // namespace

// Every loop's context gives back its TLS context (the system store, near a
// megabyte) at release, not only the last one made.
TEST(RuntimeRelease, CyclesWithSeveralLoopsLeaveMemoryFlat) {
#ifdef QUORVEX_SANITIZED_BUILD
    GTEST_SKIP() << "a sanitizer holds freed memory back";
#endif
    ASSERT_EQ(setLoopThreads(4), 0);
    QvAsrSdkLogParam quiet{false, nullptr, nullptr};
    QvAsrSdkInitParam params{};
    auto cycle = [&] {
        ASSERT_EQ(init(&quiet, &params), 0);
        release();
    };
    for (int settle = 0; settle < 5; ++settle) cycle();
    long before = residentKib();
    constexpr int kCycles = 30;
    for (int round = 0; round < kCycles; ++round) cycle();
    long grown = residentKib() - before;
    setLoopThreads(1);
    EXPECT_LT(grown, 8 * 1024) << "KiB after " << kCycles << " cycles of four loops";
}
