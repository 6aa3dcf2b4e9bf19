// SPDX-License-Identifier: Apache-2.0
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <memory>

#include "lws_log.h"
#include "recording_client.h"
#include "scratch_file.h"

using namespace quorvex::test;

namespace {

// What the server-side connections saw, for the test thread to read.
struct Seen {
    Signal signal;
    int alive = 0;
    int closes = 0;
    std::vector<std::string> requests; // "METHOD uri|args|content-type|body"
};
Seen seen;

// Echoes every WebSocket message back.
class EchoConn : public CWSSConn {
public:
    EchoConn() { seen.signal.update([] { ++seen.alive; }); }
    ~EchoConn() override { seen.signal.update([] { --seen.alive; }); }
    void onTextData(const char* data, int len) override { writeText(data, len); }
    void onBinaryData(const unsigned char* data, int len) override { writeBinary(data, len); }
    void onClose() override { seen.signal.update([] { ++seen.closes; }); }
};

// Answers plain HTTP requests by path.
class HttpConn : public CWSSConn {
public:
    HttpConn() { seen.signal.update([] { ++seen.alive; }); }
    ~HttpConn() override { seen.signal.update([] { --seen.alive; }); }
    bool processRequest() override {
        std::string record = std::string(method == 0 ? "GET " : "POST ") + requestUri + "|" + uriArgs + "|" +
                             contentType + "|" + requestBody;
        seen.signal.update([&] { seen.requests.push_back(record); });
        if (requestUri == "/missing") return false;
        responseStatus = 200;
        responseContentType = "text/plain";
        std::string body = requestUri == "/empty" ? "" : "hello " + uriArgs + " " + std::to_string(requestBody.size());
        response = std::string(16, '\0') + body;
        if (requestUri == "/created") responseStatus = 201;
        return true;
    }
};

// A server context whose factory picks the connection class by path.
struct Server {
    CWSSContext context;
    Server() {
        tagWSSvrConfig config;
        config.listenPort = 0;
        std::snprintf(config.bindInterface, sizeof config.bindInterface, "127.0.0.1");
        bool ok = context.startServer(config, [](const std::string& path) -> CWSSConn* {
            if (path == "/refuse") return nullptr;
            if (path == "/ws") return new EchoConn();
            return new HttpConn();
        });
        EXPECT_TRUE(ok);
    }
    std::string url(const std::string& path) const {
        return "127.0.0.1:" + std::to_string(context.listenPort()) + path;
    }
};

std::string run(const std::string& command) {
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        std::array<char, 4096> chunk{};
        while (std::size_t got = std::fread(chunk.data(), 1, chunk.size(), pipe)) output.append(chunk.data(), got);
        pclose(pipe);
    }
    return output;
}

// status, a blank, the body.
std::string curl(const std::string& arguments) {
    return run("curl -s --max-time 10 -w ' %{http_code}' " + arguments);
}

class ServerContext : public ::testing::Test {
protected:
    void SetUp() override {
        seen.signal.update([] {
            seen.closes = 0;
            seen.requests.clear();
        });
    }
    std::vector<std::string> requests() {
        std::lock_guard<std::mutex> guard(seen.signal.lock());
        return seen.requests;
    }
    Server server;
};

} // namespace

TEST_F(ServerContext, ListensOnAnEphemeralPortAndEchoesWebSocketMessages) {
    ASSERT_GT(server.context.listenPort(), 0);
    LoopOwner loop;
    RecordingClient client(loop.context);
    ASSERT_TRUE(client.connectTo("ws://" + server.url("/ws")));
    ASSERT_TRUE(client.waitEstablished());
    std::string big(300000, 'b');
    client.writeText("ping", 4);
    client.writeBinary(reinterpret_cast<const unsigned char*>(big.data()), static_cast<int>(big.size()));
    ASSERT_TRUE(client.waitMessages(2)) << "echoes did not arrive";
    EXPECT_EQ(client.read(client.received)[0].data, "ping");
    EXPECT_EQ(client.read(client.received)[1].data, big);
    client.close();
    ASSERT_TRUE(seen.signal.waitUntil([] { return seen.closes == 1 && seen.alive == 0; }))
        << "the server connection was not closed and released";
}

TEST_F(ServerContext, RefusedPathsFailTheHandshake) {
    LoopOwner loop;
    RecordingClient client(loop.context);
    ASSERT_TRUE(client.connectTo("ws://" + server.url("/refuse")));
    ASSERT_TRUE(client.waitFor([&] { return client.connectErrors == 1; }));
}

TEST_F(ServerContext, GetIsAnsweredByProcessRequest) {
    // The URI arguments as the request had them, on every libwebsockets release.
    EXPECT_EQ(curl("'" + server.url("/hello?name=ada&x=1") + "'"), "hello name=ada&x=1 0 200");
    EXPECT_EQ(curl("-o /dev/null " + server.url("/missing")), " 404");
    EXPECT_EQ(curl("-o /dev/null -X PUT " + server.url("/hello")), " 405");
    EXPECT_TRUE(lwsLogContains("unsupport method \n"));
    EXPECT_TRUE(lwsLogContains("processHttp /hello 0 \n"));
    std::string longArgument = "long=" + std::string(1500, 'a'); // longer than any fixed buffer of the path
    EXPECT_EQ(curl("'" + server.url("/hello?" + longArgument + "&x=2") + "'"), "hello " + longArgument + "&x=2 0 200");
    auto seenRequests = requests();
    ASSERT_EQ(seenRequests.size(), 3u);
    EXPECT_EQ(seenRequests[0], "GET /hello|name=ada&x=1||");
}

TEST_F(ServerContext, PostBodyIsHandedOverWholeOnceComplete) {
    std::string path = scratchPath("body.bin");
    std::string body(200000, 'p'); // far over the 4 KiB receive buffer: it arrives in many chunks
    std::ofstream(path, std::ios::binary) << body;
    std::string answer = curl("-H 'Content-Type: application/octet-stream' --data-binary @" + path + " " +
                              server.url("/created"));
    EXPECT_EQ(answer, "hello  200000 201");
    auto seenRequests = requests();
    ASSERT_EQ(seenRequests.size(), 1u);
    EXPECT_EQ(seenRequests[0], "POST /created||application/octet-stream|" + body);
    std::remove(path.c_str());
}

TEST_F(ServerContext, KeepAliveRequestsShareTheConnectionAndItsContentType) {
    // One curl, one connection, three requests; only the first names a Content-Type.
    std::string answer = run("curl -s --max-time 10 -H 'Content-Type: text/x-first' -d one " + server.url("/a?q=1") +
                             " --next -s -d two " + server.url("/b") + " --next -s " + server.url("/c"));
    EXPECT_EQ(answer, "hello q=1 3hello  3hello  0");
    auto seenRequests = requests();
    ASSERT_EQ(seenRequests.size(), 3u);
    EXPECT_EQ(seenRequests[0], "POST /a|q=1|text/x-first|one");
    // curl -d sends its own form type; the GET sends none and keeps it.
    EXPECT_EQ(seenRequests[1], "POST /b||application/x-www-form-urlencoded|two");
    EXPECT_EQ(seenRequests[2], "GET /c||application/x-www-form-urlencoded|");
}

TEST_F(ServerContext, ReservedBytesOnlyGiveAnEmptyBody) {
    std::string headers = run("curl -s -i --max-time 10 " + server.url("/empty"));
    EXPECT_NE(headers.find("content-length: 0"), std::string::npos) << headers;
    EXPECT_NE(headers.find("200"), std::string::npos);
}

TEST(HttpWrite, ResponseShorterThanItsReservedBytesIsNotSent) {
    class Short : public CWSSConn {
    public:
        void prime() { response = "short"; }
        bool sent() const { return response.empty(); }
    } conn;
    conn.prime();
    clearLwsLog();
    conn.onHttpWrite(); // touches no connection: nothing is sent
    EXPECT_TRUE(lwsLogContains("lacks its 16 reserved bytes"));
    EXPECT_TRUE(conn.sent());
}

TEST(ConnDefaults, EventOperationsDoNothingAndProcessRequestIsFalse) {
    CWSSConn conn;
    conn.onEstablished();
    conn.onTextData("x", 1);
    conn.onBinaryData(nullptr, 0);
    conn.onClose();
    conn.onHeader();
    conn.onHttpClose();
    EXPECT_FALSE(conn.processRequest());
    EXPECT_FALSE(conn.httpProcess());
    EXPECT_EQ(conn.getSndQueueLen(), 0);
    clearLwsLog();
    conn.uninit();
    conn.close();
    EXPECT_TRUE(lwsLogContains("conn already closed \n"));
}

TEST_F(ServerContext, AFailedListenLeavesNoDescriptorBehind) {
    auto descriptors = [] {
        int count = 0;
        if (DIR* dir = opendir("/proc/self/fd")) {
            while (readdir(dir)) ++count;
            closedir(dir);
        }
        return count;
    };
    tagWSSvrConfig taken;
    taken.listenPort = server.context.listenPort(); // in use: every start below fails
    std::snprintf(taken.bindInterface, sizeof taken.bindInterface, "127.0.0.1");
    {
        CWSSContext first;
        ASSERT_FALSE(first.startServer(taken, [](const std::string&) { return nullptr; }));
    }
    int before = descriptors();
    for (int attempt = 0; attempt < 5; ++attempt) {
        CWSSContext context;
        EXPECT_FALSE(context.startServer(taken, [](const std::string&) { return nullptr; }));
    }
    EXPECT_EQ(descriptors(), before) << "a context that could not listen kept descriptors";
}

// A stopping server serves nothing more: a request that arrives while its
// connections close (sent here from one's onClose) is not made into one.
TEST(ServerStop, ARequestArrivingWhileItsConnectionsCloseIsNotServed) {
    static std::atomic<int> raw{-1};
    static std::atomic<bool> stopping{false};
    static std::atomic<int> madeWhileStopping{0};
    stopping = false;
    madeWhileStopping = 0;
    struct RequestOnClose : CWSSConn {
        void onClose() override {
            static const char request[] = "GET /late HTTP/1.1\r\nHost: x\r\n\r\n";
            EXPECT_EQ(write(raw, request, sizeof request - 1), static_cast<ssize_t>(sizeof request - 1));
        }
    };
    CWSSContext context;
    tagWSSvrConfig config;
    config.listenPort = 0;
    std::snprintf(config.bindInterface, sizeof config.bindInterface, "127.0.0.1");
    ASSERT_TRUE(context.startServer(config, [](const std::string& path) -> CWSSConn* {
        if (stopping) ++madeWhileStopping;
        if (path == "/ws") return new RequestOnClose();
        return new HttpConn();
    }));
    raw = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(context.listenPort()));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(raw, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    LoopOwner loop;
    RecordingClient client(loop.context);
    ASSERT_TRUE(client.connectTo("ws://127.0.0.1:" + std::to_string(context.listenPort()) + "/ws"));
    ASSERT_TRUE(client.waitEstablished());
    stopping = true;
    context.stop();
    EXPECT_EQ(madeWhileStopping.load(), 0) << "the stopping server made a connection for a new request";
    close(raw);
}
