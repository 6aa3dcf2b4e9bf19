// SPDX-License-Identifier: Apache-2.0
// quorvex-server against clients that break the rules: sessions, control
// messages, audio and tokens. Each case checks the answer, the bound, and that
// a well-behaved session alongside loses nothing.
#include "hostile_fixture.h"

using namespace quorvex::test;
using namespace quorvex::server;

TEST_F(HostileClients, StartsBeyondTheSessionCapAreRefusedAtOnceAndSlotsComeBack) {
    ServerOptions options;
    options.maxSessions = 2;
    serve(options);
    EchoSession first(port(), 1), second(port(), 2);
    ASSERT_TRUE(first.start());
    ASSERT_TRUE(second.start());
    first.sendAudio(40000);

    WsPeer third;
    ASSERT_EQ(third.open(port()), 101);
    third.sendStart();
    std::string refusal = third.textWith("START_SESSION_RES");
    EXPECT_TRUE(hasCode(refusal, kBusy)) << refusal;
    EXPECT_EQ(third.closeCode(), 1013) << "a refused START ends the connection: try again later";
    EXPECT_EQ(metrics().refusalCount(Refusal::Busy), 1);
    EXPECT_TRUE(logged("session slots in use"));

    second.sendAudio(33000);
    EXPECT_TRUE(first.finish());
    EchoSession fourth(port(), 4);
    ASSERT_TRUE(fourth.start()) << "the slot of a stopped session is free once its STOP_SESSION_RES arrived";
    fourth.sendAudio(6400);
    EXPECT_TRUE(fourth.finish());
    EXPECT_TRUE(second.finish());
    EXPECT_LE(metrics().sessionSlotsUsed.load(), 2);
}

TEST_F(HostileClients, RecognisersArePooledUpToTheCapAndReleasedAfterIdling) {
    std::string error;
    std::shared_ptr<Engine> engine = makePocketsphinxEngine(kDefaultModelDir, error);
    ASSERT_TRUE(engine) << error;
    ServerOptions options;
    options.maxSessions = 2;
    options.recogniserIdleMs = 300;
    serve(options, engine);
    for (int round = 0; round < 2; ++round) {
        WsPeer a, b, over;
        for (WsPeer* peer : {&a, &b}) {
            ASSERT_EQ(peer->open(port()), 101);
            peer->sendStart();
            ASSERT_TRUE(hasCode(peer->textWith("START_SESSION_RES", std::chrono::seconds(60)), kOk));
        }
        ASSERT_EQ(over.open(port()), 101);
        over.sendStart();
        EXPECT_TRUE(hasCode(over.textWith("START_SESSION_RES"), kBusy)) << "beyond the cap: refused, not queued";
        EXPECT_LE(engine->loaded(), 2u) << "never more recognisers than the cap";
        for (WsPeer* peer : {&a, &b}) {
            peer->sendStop();
            EXPECT_FALSE(peer->textWith("STOP_SESSION_RES", std::chrono::seconds(30)).empty());
        }
    }
    EXPECT_EQ(metrics().refusalCount(Refusal::Busy), 2);
    EXPECT_TRUE(eventually([&] { return metrics().recognisersLoaded == 0; }))
        << "idle recognisers were not released: " << metrics().recognisersLoaded;
}

TEST_F(HostileClients, ControlMessagesAreBoundedStrictAndNeverEchoed) {
    ServerOptions options;
    options.maxMessageBytes = 2048;
    options.maxJsonDepth = 8;
    serve(options);
    EchoSession good(port());
    ASSERT_TRUE(good.start());
    good.sendAudio(20000);

    WsPeer peer;
    ASSERT_EQ(peer.open(port()), 101);
    peer.sendText(std::string(100, '[') + std::string(100, ']'));
    std::string deep = peer.textWith("EXCEPTION_NTF");
    EXPECT_TRUE(hasCode(deep, kBadRequest)) << deep;
    EXPECT_NE(deep.find("nested deeper than 8"), std::string::npos) << deep;
    peer.sendText(R"({"service_type":"ASR","msg_type":"STOP_SESSION_REQ"} {"more":1})");
    EXPECT_NE(peer.textWith("EXCEPTION_NTF").find("bytes after the JSON object"), std::string::npos);
    std::string secret(1500, 'x');
    peer.sendText(R"({"service_type":"ASR","msg_type":")" + secret + "\"}");
    std::string unknown = peer.textWith("EXCEPTION_NTF");
    EXPECT_NE(unknown.find("unknown msg_type"), std::string::npos) << unknown;
    EXPECT_LT(unknown.size(), 200u) << "the client's text came back at length";

    peer.sendText(R"({"service_type":"ASR","msg_type":")" + std::string(2100, 'y') + "\"}");
    EXPECT_TRUE(hasCode(peer.textWith("EXCEPTION_NTF"), kTooLarge));
    EXPECT_NE(peer.closeCode(), 0) << "a message over the limit ends the connection";
    WsPeer huge; // over every message limit: refused as it arrives, never delivered
    ASSERT_EQ(huge.open(port()), 101);
    huge.sendText(std::string(options.maxFrameBytes + 1, ' '));
    int code = huge.closeCode();
    EXPECT_EQ(code, 1009) << "message too big";
    EXPECT_TRUE(eventually([&] { return metrics().connectionsOpen == 1; }));
    EXPECT_EQ(metrics().closeCount(CloseReason::TooLarge), 2) << "the transport's own 1009 is counted as too large";
    EXPECT_EQ(metrics().refusalCount(Refusal::JsonTooDeep), 1);
    EXPECT_EQ(metrics().refusalCount(Refusal::MessageTooLarge), 1);
    EXPECT_EQ(metrics().refusalCount(Refusal::UnknownType), 1);

    good.sendAudio(20000);
    EXPECT_TRUE(good.finish());
}

TEST_F(HostileClients, AudioOverTheFrameSizeEndsTheSessionAndAFullBacklogHoldsThePeerBack) {
    auto engine = std::make_shared<GatedEngine>();
    ServerOptions options;
    options.maxFrameBytes = 4000;
    options.maxBacklogMs = 100; // 3200 bytes
    options.workers = 2;        // one waits at the gate
    serve(options, engine);

    WsPeer slow; // the gated session: its audio piles up
    ASSERT_EQ(slow.open(port()), 101);
    slow.sendStart();
    ASSERT_TRUE(hasCode(slow.textWith("START_SESSION_RES"), kOk));
    EchoSession good(port());
    ASSERT_TRUE(good.start());
    good.sendAudio(1920); // well inside the backlog, however slow recognition is

    for (int frame = 0; frame < 6; ++frame) slow.sendBinary(std::string(640, '\1'));
    EXPECT_TRUE(eventually([&] { return metrics().readingPauses == 1; }))
        << "a full backlog stops the server reading the connection";
    EXPECT_EQ(slow.next(std::chrono::milliseconds(300)).kind, WsEvent::Timeout) << "and the session goes on";
    EXPECT_EQ(metrics().refusalCount(Refusal::Backlog), 0);

    WsPeer big;
    ASSERT_EQ(big.open(port()), 101);
    big.sendStart();
    ASSERT_TRUE(hasCode(big.textWith("START_SESSION_RES"), kOk));
    big.sendBinary(std::string(4002, '\0'));
    EXPECT_TRUE(hasCode(big.textWith("EXCEPTION_NTF"), kTooLarge));
    EXPECT_NE(big.closeCode(), 0);

    engine->openGate();
    slow.sendStop(); // read once half the backlog is recognised
    std::string stopped = slow.textWith("STOP_SESSION_RES");
    EXPECT_TRUE(hasCode(stopped, kOk)) << "the held-back session finishes: " << stopped;
    EXPECT_EQ(engine->framesFed(), 6) << "with all of its audio recognised";
    EXPECT_TRUE(eventually([&] { return metrics().sessionSlotsUsed == 1; })) << "ended sessions keep their slots";
    good.sendAudio(1920);
    EXPECT_TRUE(good.finish());
}

TEST_F(HostileClients, WorkOfAVanishedPeerIsDroppedAndItsTextsNotCounted) {
    auto engine = std::make_shared<GatedEngine>();
    ServerOptions options;
    options.workers = 2;
    serve(options, engine);
    std::int64_t textsBefore = 0;
    {
        WsPeer gone;
        ASSERT_EQ(gone.open(port()), 101);
        gone.sendStart();
        ASSERT_TRUE(hasCode(gone.textWith("START_SESSION_RES"), kOk));
        for (int frame = 0; frame < 5; ++frame) gone.sendBinary(std::string(32000, '\2')); // a text each
        gone.sendText("{}"); // answered in turn: every frame before it is queued by then
        ASSERT_FALSE(gone.textWith("EXCEPTION_NTF").empty());
        EXPECT_EQ(metrics().audioFrames, 5);
        textsBefore = metrics().textsSent;
    } // reset without a close frame
    ASSERT_TRUE(eventually([&] { return metrics().closeCount(CloseReason::Peer) == 1; }));
    engine->openGate();
    EXPECT_TRUE(eventually([&] { return metrics().sessionSlotsUsed == 0; }));
    EXPECT_LE(engine->framesFed(), 1) << "the frames still queued were recognised for nobody";
    EXPECT_EQ(metrics().textsSent, textsBefore) << "texts for a vanished peer were counted as sent";

    EchoSession good(port());
    ASSERT_TRUE(good.start());
    good.sendAudio(70000);
    WsPeer& peer = good.peer();
    EXPECT_TRUE(good.finish());
    peer.sendBinary(std::string(640, '\0'));
    EXPECT_NE(peer.textWith("EXCEPTION_NTF").find("audio after STOP_SESSION_REQ"), std::string::npos);
    EXPECT_EQ(metrics().textsSent, textsBefore + 3) << "two partial texts and a final one";
}

TEST_F(HostileClients, AWrongTokenIsFinalAndRepeatedOnesLockTheAddressOut) {
    ServerOptions options;
    options.token = "right-token";
    options.maxFailedTokens = 3;
    serve(options);
    EchoSession good(port());
    ASSERT_TRUE(good.start("right-token"));
    good.sendAudio(10000);

    WsPeer guesser;
    ASSERT_EQ(guesser.open(port()), 101);
    guesser.sendStart("guess-one");
    guesser.sendStart("right-token"); // already on the wire: must not be read
    guesser.sendBinary(std::string(640, '\0'));
    EXPECT_TRUE(hasCode(guesser.textWith("START_SESSION_RES"), kBadToken));
    WsEvent after = guesser.next();
    EXPECT_NE(after.kind, WsEvent::Text) << "something after the 401: " << after.data;
    for (const char* guess : {"guess-two", "guess-three"}) {
        WsPeer again;
        ASSERT_EQ(again.open(port()), 101);
        again.sendStart(guess);
        EXPECT_TRUE(hasCode(again.textWith("START_SESSION_RES"), kBadToken));
    }
    WsPeer locked;
    ASSERT_EQ(locked.open(port()), 101);
    locked.sendStart("right-token");
    EXPECT_TRUE(hasCode(locked.textWith("START_SESSION_RES"), kSlowDown)) << "the address is locked out";
    EXPECT_EQ(metrics().sessionsTotal, 1) << "a session started after a wrong token";
    EXPECT_EQ(metrics().refusalCount(Refusal::BadToken), 3);
    EXPECT_EQ(metrics().refusalCount(Refusal::TokenLockout), 1);
    EXPECT_TRUE(logged("wrong token from"));
    EXPECT_EQ(logText().find("guess"), std::string::npos) << "a token was logged: " << logText();

    good.sendAudio(10000);
    EXPECT_TRUE(good.finish()) << "a running session is not affected by its address's lockout";
}

TEST_F(HostileClients, TextThatIsNotUtf8ClosesWith1007) {
    serve(ServerOptions{});
    EchoSession good(port());
    ASSERT_TRUE(good.start());
    good.sendAudio(6400);

    WsPeer badText;
    ASSERT_EQ(badText.open(port()), 101);
    badText.sendText(std::string("\xff\xfe not UTF-8", 12));
    EXPECT_EQ(badText.closeCode(), 1007) << "invalid UTF-8 in a text frame";

    good.sendAudio(6400);
    EXPECT_TRUE(good.finish());
}
