// SPDX-License-Identifier: Apache-2.0
// Run by run_with_hung_dns.sh: every DNS lookup in here hangs.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "asr_fixture.h"

using namespace quorvex::test;
using namespace QUORVEX;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

// A name server that takes every query and answers none.
struct DeafNameServer {
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    DeafNameServer() {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(53);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~DeafNameServer() { ::close(fd); }
    bool bound = false;
};

milliseconds since(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

} // namespace

TEST(HungLookup, EndsAtTheConnectDeadlineAndHoldsUpNoOneElse) {
    DeafNameServer dns;
    ASSERT_TRUE(dns.bound) << "cannot listen on 127.0.0.1:53: run this program through run_with_hung_dns.sh";
    QvAsrSdkLogParam log{};
    LogLines::install(log);
    QvAsrSdkInitParam initParam{};
    ASSERT_EQ(init(&log, &initParam), 0);
    QvAsrClientLimits limits{};
    limits.connectTimeoutMs = 500;
    ASSERT_EQ(setClientLimits(&limits), 0);
    ScriptedServer server;
    std::string port = std::to_string(server.raw().port());

    RecordingListener hungListener, localListener, lateListener;
    QvAsrClient* hung = createAsrInstance();
    QvAsrClient* local = createAsrInstance();
    QvAsrClient* late = createAsrInstance();
    hung->init(&hungListener);
    local->init(&localListener);
    late->init(&lateListener);
    std::string hungUrl = "ws://hangs.example.invalid:" + port + "/asr";
    std::string localUrl = "ws://localhost:" + port + "/asr";
    QvAsrStartParam hungStart{hungUrl.c_str(), "t"}, localStart{localUrl.c_str(), "t"};

    auto begun = Clock::now();
    ASSERT_EQ(hung->start(&hungStart), 0);
    ASSERT_EQ(local->start(&localStart), 0);
    ASSERT_TRUE(localListener.waitFor("start", 1, milliseconds(3000))) << "a local name waited behind a hung lookup";
    EXPECT_EQ(localListener.heard("start")[0].code, 0);
    ASSERT_TRUE(hungListener.waitFor("start", 1, milliseconds(3500))) << "a hung lookup outlived the connect deadline";
    EXPECT_EQ(hungListener.heard("start")[0].code, -2);
    EXPECT_GE(since(begun), milliseconds(450));

    ASSERT_EQ(late->start(&hungStart), 0); // its lookup is still running when the library goes
    auto releasing = Clock::now();
    release();
    EXPECT_LT(since(releasing), milliseconds(1000)) << "release waited for a name lookup";
    ASSERT_TRUE(lateListener.waitFor("start")) << "a start cut short by release was not reported";
    EXPECT_EQ(lateListener.heard("start")[0].code, -2);
    delete hung;
    delete local;
    delete late;
}
