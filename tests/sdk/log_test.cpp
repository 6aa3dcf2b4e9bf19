// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>
#include <libwebsockets.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "quorvex/quorvex.h"
#include "scratch_file.h"
#include "sdk/log.h"

using namespace QUORVEX;

namespace {

std::mutex callbackLock;
std::vector<std::pair<std::string, std::string>> callbackLines;

void collect(const char* module, const char* text) {
    std::lock_guard<std::mutex> guard(callbackLock);
    callbackLines.emplace_back(module, text);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

class Log : public ::testing::Test {
protected:
    void SetUp() override {
        path = quorvex::test::scratchPath("log.txt");
        writeFile(path, "");
        std::lock_guard<std::mutex> guard(callbackLock);
        callbackLines.clear();
    }
    void TearDown() override {
        release();
        std::remove(path.c_str());
    }
    // Runs init + action + release and returns what reached standard output.
    std::string run(QvAsrSdkLogParam param, const std::function<void()>& action) {
        QvAsrSdkInitParam initParam{};
        ::testing::internal::CaptureStdout();
        init(&param, &initParam);
        action();
        release();
        std::fflush(stdout);
        return ::testing::internal::GetCapturedStdout();
    }
    std::vector<std::pair<std::string, std::string>> lines() {
        std::lock_guard<std::mutex> guard(callbackLock);
        return callbackLines;
    }
    std::string path;
};

} // namespace

TEST_F(Log, DisabledLoggingOutputsNothingAnywhere) {
    std::string out = run({false, path.c_str(), &collect}, [] { getVersion(); });
    EXPECT_EQ(out, "");
    EXPECT_EQ(readFile(path), "");
    EXPECT_TRUE(lines().empty());
}

TEST_F(Log, StandardOutputWhenNoPathAndNoCallback) {
    std::string out = run({true, nullptr, nullptr}, [] { getVersion(); });
    EXPECT_EQ(out, "[quorvex]:QUORVEX::getVersion\n[quorvex]:QUORVEX::release\n");
}

TEST_F(Log, FileAndStandardOutputWhenPathWithoutCallback) {
    std::string out = run({true, path.c_str(), nullptr}, [] { getVersion(); });
    EXPECT_EQ(out, "[quorvex]:QUORVEX::getVersion\n[quorvex]:QUORVEX::release\n");
    EXPECT_EQ(readFile(path), "QUORVEX::getVersionQUORVEX::release");
}

TEST_F(Log, CallbackReplacesStandardOutput) {
    std::string out = run({true, nullptr, &collect}, [] { getVersion(); });
    EXPECT_EQ(out, "");
    auto seen = lines();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], std::make_pair(std::string("quorvex"), std::string("QUORVEX::getVersion")));
    EXPECT_EQ(seen[1].second, "QUORVEX::release");
}

TEST_F(Log, FileAndCallbackTogetherLeaveStandardOutputAlone) {
    std::string out = run({true, path.c_str(), &collect}, [] {
        sdkLog("%s %s suc", "sid-1", "START_SESSION_RES");
        sdkLog("second");
    });
    EXPECT_EQ(out, "");
    EXPECT_EQ(readFile(path), "sid-1 START_SESSION_RES sucsecondQUORVEX::release");
    EXPECT_EQ(lines().size(), 3u);
}

// libwebsockets' own lines take the library's road, not standard error.
TEST_F(Log, LibwebsocketsLinesVanishWhenLoggingIsDisabled) {
    ::testing::internal::CaptureStderr();
    std::string out = run({false, path.c_str(), &collect}, [] {
        lwsl_err("from libwebsockets %d\n", 1);
        lwsl_warn("from libwebsockets %d\n", 2);
        lwsl_notice("from libwebsockets %d\n", 3);
    });
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(out, "");
    EXPECT_EQ(readFile(path), "");
    EXPECT_TRUE(lines().empty());
}

TEST_F(Log, LibwebsocketsLinesReachTheCallbackWithoutTheirNewline) {
    ::testing::internal::CaptureStderr();
    run({true, nullptr, &collect}, [] { lwsl_err("from libwebsockets %d\n", 1); });
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    auto seen = lines();
    ASSERT_EQ(seen.size(), 2u) << "the libwebsockets line did not arrive, or start-up notices did";
    EXPECT_EQ(seen[0], std::make_pair(std::string("quorvex"), std::string("from libwebsockets 1")));
}

TEST_F(Log, LibwebsocketsLinesOnStandardOutputInTheLibrarysForm) {
    ::testing::internal::CaptureStderr();
    std::string out = run({true, nullptr, nullptr}, [] { lwsl_warn("from libwebsockets %d\n", 2); });
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(out, "[quorvex]:from libwebsockets 2\n[quorvex]:QUORVEX::release\n");
}

TEST_F(Log, TextsAreCutAt2047Characters) {
    std::string exact(2047, 'e');
    std::string longer(5000, 'l');
    run({true, path.c_str(), &collect}, [&] {
        sdkLog("%s", exact.c_str());
        sdkLog("%s", longer.c_str());
    });
    auto seen = lines();
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(seen[0].second, exact);
    EXPECT_EQ(seen[1].second, std::string(2047, 'l'));
    EXPECT_EQ(readFile(path), exact + std::string(2047, 'l') + "QUORVEX::release");
}

TEST_F(Log, NothingIsLoggedBeforeInitOrAfterRelease) {
    ::testing::internal::CaptureStdout();
    getVersion();
    sdkLog("orphan");
    release();
    QvAsrSdkLogParam param{true, path.c_str(), &collect};
    QvAsrSdkInitParam initParam{};
    ASSERT_EQ(init(&param, &initParam), 0);
    release();
    getVersion();
    sdkLog("orphan");
    release();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    auto seen = lines();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].second, "QUORVEX::release");
}

TEST_F(Log, FileIsOverwrittenFromItsStartAndKeepsItsTail) {
    writeFile(path, std::string(100, '#'));
    run({true, path.c_str(), &collect}, [] { sdkLog("abc"); });
    std::string expected = "abcQUORVEX::release";
    EXPECT_EQ(readFile(path), expected + std::string(100 - expected.size(), '#'));
}

TEST_F(Log, MissingFileIsNeverCreatedAndInitReportsIt) {
    std::string missing = path + ".missing";
    for (bool enabled : {true, false}) {
        QvAsrSdkLogParam param{enabled, missing.c_str(), &collect};
        QvAsrSdkInitParam initParam{};
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(init(&param, &initParam), -1);
        std::string out = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(out, "[quorvex]:init logpath " + missing + " error \n");
        EXPECT_EQ(init(&param, &initParam), -5) << "the library is initialised despite the file";
        if (enabled) {
            getVersion();
            EXPECT_EQ(lines().back().second, "QUORVEX::getVersion") << "callback still served";
        }
        release();
        EXPECT_FALSE(std::ifstream(missing).good());
    }
}

TEST_F(Log, ConcurrentCallersEachWriteWholeTexts) {
    run({true, path.c_str(), &collect}, [] {
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([t] {
                for (int i = 0; i < 200; ++i) sdkLog("<%d:%03d>", t, i);
            });
        for (auto& thread : threads) thread.join();
    });
    std::string file = readFile(path);
    EXPECT_EQ(file.size(), 800u * 7 + std::string("QUORVEX::release").size());
    EXPECT_EQ(lines().size(), 801u);
}

namespace {
std::atomic<int> hookLines{0};
void countHookLine(const char*, const char*) { hookLines.fetch_add(1, std::memory_order_relaxed); }
} // namespace

// An application's own libwebsockets thread logs all the while the library
// comes and goes: release must not free what that thread is using, and
// must give libwebsockets' logging back as it found it.
TEST_F(Log, ReleaseWaitsForLibwebsocketsLinesInsideAndGivesTheLevelBack) {
    lws_set_log_level(0, nullptr); // the application's choice: nothing
    std::atomic<bool> done{false};
    std::thread application([&] {
        while (!done.load()) _lws_log(LLL_ERR, "application line\n");
    });
    constexpr int kCycles = 30;
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        QvAsrSdkLogParam param{true, nullptr, &countHookLine};
        QvAsrSdkInitParam initParam{};
        ASSERT_EQ(init(&param, &initParam), 0);
        release();
        EXPECT_FALSE(lwsl_visible(LLL_ERR)) << "release left libwebsockets' level as the library set it";
    }
    done = true;
    application.join();
    EXPECT_GT(hookLines.load(), 0) << "the application's lines never reached the library's log while it ran";
    lws_set_log_level(LLL_ERR | LLL_WARN | LLL_NOTICE, nullptr);
}
