// SPDX-License-Identifier: Apache-2.0
#include "client_test_base.h"
#include "refusing_port.h"
#include "tinyproxy.h"

using namespace quorvex::test;
using namespace QUORVEX;

namespace {

// Settings set by a test are put back, so that the next test starts from the environment.
class ProxyTest : public ClientTest {
protected:
    void SetUp() override {
        if (!Tinyproxy::installed()) GTEST_SKIP() << "tinyproxy is not installed (scripts/deps.sh)";
        ClientTest::SetUp();
    }
    void TearDown() override {
        setProxySettings(nullptr);
        setTlsSettings(nullptr);
        unsetenv("http_proxy");
        unsetenv("no_proxy");
        ClientTest::TearDown();
    }
    static void useProxy(const std::string& ws, const std::string& wss, const char* noProxy = nullptr) {
        QvAsrProxySettings settings{ws.c_str(), wss.c_str(), noProxy, true};
        ASSERT_EQ(setProxySettings(&settings), 0);
    }
};

bool logged(const std::string& text) {
    for (const std::string& line : LogLines::lines())
        if (line.find(text) != std::string::npos) return true;
    return false;
}

} // namespace

TEST_F(ProxyTest, WsSessionGoesThroughTheProxy) {
    Tinyproxy proxy;
    ScriptedServer server;
    useProxy(proxy.url(), "");
    EXPECT_EQ(startResult(server.url()), 0);
    EXPECT_TRUE(proxy.waitForTunnels(1)) << "the proxy did not carry the session";
    EXPECT_EQ(proxy.tunnelsOpened(), 1);
}

TEST_F(ProxyTest, WssSessionGoesThroughTheProxy) {
    Tinyproxy proxy;
    TestServer::Options tls;
    tls.tls = true;
    ScriptedServer server(tls);
    useProxy("", proxy.url());
    EXPECT_EQ(startResult(server.url()), 0);
    EXPECT_TRUE(proxy.waitForTunnels(1)) << "the proxy did not carry the TLS session";
    EXPECT_EQ(proxy.tunnelsOpened(), 1);
}

TEST_F(ProxyTest, ProxyAskingForCredentialsEndsTheAttemptAndNamesTheProxy) {
    Tinyproxy proxy("alice", "s3cret");
    ScriptedServer server;
    useProxy(proxy.url(), "");
    EXPECT_EQ(startResult(server.url()), -2);
    EXPECT_TRUE(logged("through the proxy 127.0.0.1:" + std::to_string(proxy.port()) + " failed"))
        << "no log line names the proxy";
    EXPECT_EQ(server.sessions.load(), 0);
}

TEST_F(ProxyTest, CredentialsInTheProxyUrlAreSentAndNeverLogged) {
    Tinyproxy proxy("alice", "s3cret");
    ScriptedServer server;
    useProxy(proxy.url("alice:s3cret"), "");
    EXPECT_EQ(startResult(server.url()), 0);
    for (const std::string& line : LogLines::lines()) EXPECT_EQ(line.find("s3cret"), std::string::npos) << line;
}

// The proxy refuses every tunnel, so a session that went through it would fail.
TEST_F(ProxyTest, NoProxyHostGoesDirect) {
    Tinyproxy proxy("alice", "s3cret");
    ScriptedServer server;
    std::string byName = "ws://localhost:" + std::to_string(server.port()) + "/asr";
    for (auto [list, url] : {std::pair{"localhost,127.0.0.1", server.url()}, {"127.0.0.0/8", server.url()},
                             {"::1/128 127.0.0.1/32", server.url()}, {"localhost.", byName}}) {
        useProxy(proxy.url(), proxy.url(), list);
        EXPECT_EQ(startResult(url), 0) << list << " for " << url;
    }
    EXPECT_EQ(proxy.tunnelsOpened(), 0) << "a no-proxy host went through the proxy";
}

TEST_F(ProxyTest, DeadProxyEndsTheAttemptAndNamesTheProxy) {
    RefusingPort dead;
    ScriptedServer server;
    std::string deadUrl = "http://127.0.0.1:" + std::to_string(dead.port());
    useProxy(deadUrl, "");
    EXPECT_EQ(startResult(server.url()), -2);
    EXPECT_TRUE(logged("through the proxy 127.0.0.1:" + std::to_string(dead.port()) + " failed"));
    EXPECT_EQ(server.sessions.load(), 0);
}

TEST_F(ProxyTest, EnvironmentProxyIsDecidedPerConnection) {
    RefusingPort dead;
    ScriptedServer server;
    setenv("http_proxy", ("http://127.0.0.1:" + std::to_string(dead.port())).c_str(), 1);
    EXPECT_EQ(startResult(server.url()), -2) << "http_proxy was not followed";
    setenv("no_proxy", "localhost,127.0.0.1", 1);
    EXPECT_EQ(startResult(server.url()), 0) << "no_proxy was not followed";
    QvAsrProxySettings ignoring{nullptr, nullptr, nullptr, true};
    ASSERT_EQ(setProxySettings(&ignoring), 0);
    unsetenv("no_proxy");
    EXPECT_EQ(startResult(server.url()), 0) << "the environment was not ignored";
}

TEST_F(ProxyTest, ProxyUrlThatDoesNotParseIsRefused) {
    QvAsrProxySettings settings{"https://127.0.0.1:3128", nullptr, nullptr, true};
    EXPECT_EQ(setProxySettings(&settings), -1);
    EXPECT_TRUE(logged("setProxySettings refused"));
}
