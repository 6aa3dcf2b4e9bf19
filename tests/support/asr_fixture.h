// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TESTS_SUPPORT_ASR_FIXTURE_H
#define QUORVEX_TESTS_SUPPORT_ASR_FIXTURE_H

#include <json/json.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "quorvex/quorvex.h"
#include "test_server.h"
#include "wait.h"

namespace quorvex::test {

// What a listener heard, in order.
struct Heard {
    std::string call; // "message", "session", "destroyed", "start", "text", "stop"
    int code = 0;
    std::string text;
    bool textWasNull = false;
    int bg = 0, ed = 0, fin = 0;
};

class RecordingListener : public QUORVEX::QvAsrClientListener {
public:
    void onMessageError(int code, const char* text) override { hear({"message", code, text}); }
    void onSessionError(int code, const char* text) override { hear({"session", code, text}); }
    void onDestroyed(int code) override { hear({"destroyed", code, ""}); }
    void onStartResult(int code, const char* sessionId) override {
        Heard heard{"start", code, sessionId ? sessionId : ""};
        heard.textWasNull = sessionId == nullptr;
        hear(heard);
    }
    void onRecognitionText(const QUORVEX::QvAsrRecognitionResult* result) override {
        Heard heard{"text", 0, result->text};
        heard.bg = result->bg;
        heard.ed = result->ed;
        heard.fin = result->fin;
        hear(heard);
    }
    void onStopResult(int code) override { hear({"stop", code, ""}); }

    std::vector<Heard> heard();
    std::vector<Heard> heard(const std::string& call);
    int count(const std::string& call);
    // Waits until `call` has been heard `times` times; false at the deadline.
    bool waitFor(const std::string& call, int times = 1, std::chrono::milliseconds deadline = kDeadline);

    // Runs on the loop thread right after a call is recorded.
    std::function<void(const Heard&)> then;

private:
    void hear(const Heard& heard);
    Signal signal_; // guards heard_
    std::vector<Heard> heard_;
};

// Collects every log text of the library.
class LogLines {
public:
    static void install(QUORVEX::QvAsrSdkLogParam& param);
    static std::vector<std::string> lines();
    static bool contains(const std::string& text);
    static bool waitFor(const std::string& text);
    static void clear();
};

// A scripted recognition server on the loopback test server.
class ScriptedServer {
public:
    ScriptedServer();
    explicit ScriptedServer(TestServer::Options options);
    // TLS with these, on 127.0.0.1 or the address given.
    ScriptedServer(const std::string& certFile, const std::string& keyFile, const std::string& address = "127.0.0.1");

    std::atomic<int> startCode{0};          // msg_code of START_SESSION_RES
    std::atomic<bool> answerStart{true};    // false: stay silent after START_SESSION_REQ
    std::atomic<bool> answerStop{true};     // reply STOP_SESSION_RES to STOP_SESSION_REQ
    std::atomic<int> stopCode{0};
    std::atomic<int> sessions{0};

    TestServer& raw() { return server_; }
    std::string url() const { return server_.url("/asr"); }
    int port() const { return server_.port(); }
    void send(int peer, const std::string& text) { server_.send(peer, text); }
    static std::string recognitionText(const std::string& text, int bg, int ed, int fin);
    static std::string message(const std::string& type, const std::string& extraMembers = "");
    std::vector<Json::Value> jsonFrames(int peer) const;

private:
    void answer(Peer& peer, const Frame& frame);
    TestServer server_;
};

QUORVEX::QvAsrAudioFrame pcmFrame(const std::vector<unsigned char>& bytes);

} // namespace quorvex::test

#endif
