// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>
#include <winsock2.h>

#include <cstdio>

#include "asr_fixture.h"
#include "lws_log.h"

namespace {

// Under Wine a failure is read from the stage's log alone: the library's own
// lines of a failed test are printed with it.
class PrintLogOfFailures : public ::testing::EmptyTestEventListener {
    void OnTestEnd(const ::testing::TestInfo& test) override {
        if (!test.result()->Failed()) return;
        for (const std::string& line : quorvex::test::LogLines::lines()) std::printf("  log: %s\n", line.c_str());
    }
};

} // namespace

// Tests open sockets of their own (a refusing port) before any library call
// has started Winsock.
int main(int argc, char** argv) {
    WSADATA winsock;
    if (WSAStartup(MAKEWORD(2, 2), &winsock) != 0) return 2;
    quorvex::test::captureLwsLog();
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new PrintLogOfFailures);
    int failed = RUN_ALL_TESTS();
    WSACleanup();
    return failed;
}
