// SPDX-License-Identifier: Apache-2.0
#include "client_test_base.h"
#include "refusing_port.h"
#include "scripted_proxy.h"
#include "tinyproxy.h"

using namespace quorvex::test;
using namespace QUORVEX;
using namespace std::chrono_literals;

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
        QvAsrProxySettings settings{ws.c_str(), wss.c_str(), noProxy, true, false};
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

// And its audio, whole and in order: 1.5 MiB, more than the tunnel queues before it pauses a side.
TEST_F(ProxyTest, WssSessionGoesThroughTheProxy) {
    Tinyproxy proxy;
    TestServer::Options tls;
    tls.tls = true;
    ScriptedServer server(tls);
    useProxy("", proxy.url());
    RecordingListener& listener = listen();
    QvAsrClient* client = make(listener);
    ASSERT_NO_FATAL_FAILURE(startSession(client, listener, server.url()));
    EXPECT_TRUE(proxy.waitForTunnels(1)) << "the proxy did not carry the TLS session";
    EXPECT_EQ(proxy.tunnelsOpened(), 1);
    std::vector<unsigned char> pcm(32 * 1024);
    for (int i = 0; i < 48; ++i) {
        for (std::size_t at = 0; at < pcm.size(); ++at) pcm[at] = static_cast<unsigned char>(i + at);
        QvAsrAudioFrame frame = pcmFrame(pcm);
        ASSERT_EQ(client->sendAudio(&frame), 0) << "frame " << i;
    }
    ASSERT_TRUE(server.raw().waitForFrames(49)) << "not every frame came through the tunnel";
    std::vector<Frame> frames = server.raw().framesOf(1);
    for (std::size_t i = 1; i < frames.size(); ++i)
        EXPECT_EQ(frames[i].data[100], static_cast<char>(i - 1 + 100)) << "frame " << i << " out of order or changed";
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

// libwebsockets' own proxy code sets no proxy at all for credentials of 94 bytes or more or with a NUL.
TEST_F(ProxyTest, CredentialsOfAnyLengthAndContentGoThroughTheProxy) {
    ScriptedServer server;
    std::string longPassword(1022, 'k');
    for (std::size_t i = 0; i < longPassword.size(); ++i) longPassword[i] = "abcXYZ019-._~!$&'()*+;="[i % 23];
    std::pair<std::string, std::string> escapedAndSent[] = {
        {"u:" + longPassword, "u:" + longPassword}, {"u:a%00b", std::string("u:a\0b", 5)}, {"%00:x", std::string("\0:x", 3)}};
    for (const auto& [escaped, sent] : escapedAndSent) {
        ScriptedProxy proxy(ScriptedProxy::plainAnswer(), sent);
        useProxy(proxy.url(escaped), "");
        EXPECT_EQ(startResult(server.url()), 0) << escaped.substr(0, 12);
        EXPECT_EQ(proxy.tunnels(), 1) << escaped.substr(0, 12) << ": the session did not go through the proxy";
        EXPECT_EQ(proxy.refusals(), 0) << escaped.substr(0, 12) << ": the credentials did not arrive whole";
    }
}

// A proxy's answer may come in any pieces at any pace within the connect deadline.
TEST_F(ProxyTest, TheProxysAnswerIsReadAsAStream) {
    ScriptedServer server;
    TestServer::Options tls;
    tls.tls = true;
    ScriptedServer tlsServer(tls);
    ScriptedProxy trickle(ScriptedProxy::byteByByte("HTTP/1.0 200 OK\r\nVia: p\r\n\r\n", 20ms));
    useProxy(trickle.url(), "");
    EXPECT_EQ(startResult(server.url()), 0) << "an answer sent a byte every 20 ms";
    ScriptedProxy late({{"HTTP/1.1 200 Connection established\r\n", 0ms}, {"Proxy-Agent: scripted\r\n\r\n", 200ms}});
    useProxy(late.url(), late.url());
    EXPECT_EQ(startResult(server.url()), 0) << "headers 200 ms after the status line";
    EXPECT_EQ(startResult(tlsServer.url()), 0) << "headers 200 ms after the status line, then TLS";
    EXPECT_EQ(trickle.tunnels() + late.tunnels(), 3);
    ScriptedProxy refusing(ScriptedProxy::byteByByte("HTTP/1.1 403 Forbidden\r\n\r\n", 1ms));
    useProxy(refusing.url(), "");
    EXPECT_EQ(startResult(server.url()), -2);
    EXPECT_TRUE(logged("through the proxy 127.0.0.1:" + refusing.url().substr(17) + " failed: answered 403"))
        << "a refusal in pieces is not told as one";
    ScriptedProxy notHttp({{"SSH-2.0-OpenSSH_9.2\r\n\r\n", 0ms}});
    useProxy(notHttp.url(), "");
    EXPECT_EQ(startResult(server.url()), -2);
    EXPECT_TRUE(logged("did not answer the CONNECT request in HTTP")) << "an answer that is no HTTP goes unexplained";
    EXPECT_EQ(server.sessions.load(), 2) << "the refused attempt reached the server";
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

// The environment is read only when asked: an http_proxy that refuses
// must not turn a working server into onStartResult(-2).
TEST_F(ProxyTest, EnvironmentProxyIsFollowedOnlyWhenAskedAndThenPerConnection) {
    RefusingPort dead;
    ScriptedServer server;
    setenv("http_proxy", ("http://127.0.0.1:" + std::to_string(dead.port())).c_str(), 1);
    setProxySettings(nullptr);
    EXPECT_EQ(startResult(server.url()), 0) << "the environment was read without being asked";
    QvAsrProxySettings fromEnvironment{};
    fromEnvironment.useEnvironment = true;
    ASSERT_EQ(setProxySettings(&fromEnvironment), 0);
    EXPECT_EQ(startResult(server.url()), -2) << "http_proxy was not followed";
    setenv("no_proxy", "localhost,127.0.0.1", 1);
    EXPECT_EQ(startResult(server.url()), 0) << "no_proxy was not followed";
    unsetenv("no_proxy");
    fromEnvironment.ignoreEnvironment = true; // an older caller's field still wins
    ASSERT_EQ(setProxySettings(&fromEnvironment), 0);
    EXPECT_EQ(startResult(server.url()), 0) << "the environment was not ignored";
}

TEST_F(ProxyTest, ProxyUrlThatDoesNotParseIsRefused) {
    QvAsrProxySettings settings{"https://127.0.0.1:3128", nullptr, nullptr, true, false};
    EXPECT_EQ(setProxySettings(&settings), -1);
    EXPECT_TRUE(logged("setProxySettings refused"));
}
