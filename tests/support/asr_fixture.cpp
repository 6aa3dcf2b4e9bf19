// SPDX-License-Identifier: Apache-2.0
#include "asr_fixture.h"

#include <mutex>

namespace quorvex::test {

// ---- listener ----------------------------------------------------------------

// The reaction runs first, so a test that saw the call also sees its effects.
void RecordingListener::hear(const Heard& heard) {
    if (then) then(heard);
    signal_.update([&] { heard_.push_back(heard); });
}

std::vector<Heard> RecordingListener::heard() {
    std::lock_guard<std::mutex> guard(signal_.lock());
    return heard_;
}

std::vector<Heard> RecordingListener::heard(const std::string& call) {
    std::vector<Heard> matching;
    for (auto& item : heard())
        if (item.call == call) matching.push_back(item);
    return matching;
}

int RecordingListener::count(const std::string& call) { return static_cast<int>(heard(call).size()); }

bool RecordingListener::waitFor(const std::string& call, int times, std::chrono::milliseconds deadline) {
    return signal_.waitUntil(
        [&] {
            int seen = 0;
            for (auto& item : heard_) seen += item.call == call;
            return seen >= times;
        },
        deadline);
}

// ---- log lines ---------------------------------------------------------------

namespace {
Signal logSignal;
std::vector<std::string> logLines;
void collectLog(const char*, const char* text) {
    logSignal.update([&] { logLines.emplace_back(text); });
}
} // namespace

void LogLines::install(QUORVEX::QvAsrSdkLogParam& param) {
    param.enableLog = true;
    param.logPath = nullptr;
    param.logCallback = &collectLog;
}

std::vector<std::string> LogLines::lines() {
    std::lock_guard<std::mutex> guard(logSignal.lock());
    return logLines;
}

bool LogLines::contains(const std::string& text) {
    for (auto& line : lines())
        if (line == text) return true;
    return false;
}

bool LogLines::waitFor(const std::string& text) {
    return logSignal.waitUntil([&] {
        for (auto& line : logLines)
            if (line == text) return true;
        return false;
    });
}

void LogLines::clear() {
    std::lock_guard<std::mutex> guard(logSignal.lock());
    logLines.clear();
}

// ---- server ------------------------------------------------------------------

ScriptedServer::ScriptedServer() : ScriptedServer(TestServer::Options{}) {}

ScriptedServer::ScriptedServer(TestServer::Options options) : server_(options) {
    server_.onFrame([this](Peer& peer, const Frame& frame) { answer(peer, frame); });
}

ScriptedServer::ScriptedServer(const std::string& certFile, const std::string& keyFile, const std::string& address)
    : server_(certFile, keyFile, address) {
    server_.onFrame([this](Peer& peer, const Frame& frame) { answer(peer, frame); });
}

std::string ScriptedServer::message(const std::string& type, const std::string& extraMembers) {
    return R"({"service_type":"ASR","msg_type":")" + type + "\"" + extraMembers + "}";
}

std::string ScriptedServer::recognitionText(const std::string& text, int bg, int ed, int fin) {
    return message("RECOGNITION_TEXT", R"(,"msg_id":"","msg_code":0,"msg_data":{"text":")" + text +
                                           R"(","bg":)" + std::to_string(bg) + R"(,"ed":)" + std::to_string(ed) +
                                           R"(,"fin":)" + std::to_string(fin) + "}");
}

void ScriptedServer::answer(Peer& peer, const Frame& frame) {
    if (frame.binary) return;
    Json::Value request;
    Json::Reader reader;
    if (!reader.parse(frame.data, request) || !request.isObject()) return;
    std::string type = request.get("msg_type", "").asString();
    if (type == "START_SESSION_REQ" && answerStart) {
        int number = ++sessions;
        peer.sendText(message("START_SESSION_RES", R"(,"msg_id":"","msg_code":)" + std::to_string(startCode.load()) +
                                                       R"(,"msg_desc":"","msg_data":{"session_id":"sid-)" +
                                                       std::to_string(number) + "\"}"));
    } else if (type == "STOP_SESSION_REQ" && answerStop) {
        peer.sendText(recognitionText("final words", 0, 1200, 1));
        peer.sendText(message("STOP_SESSION_RES", R"(,"msg_code":)" + std::to_string(stopCode.load()) +
                                                      R"(,"msg_desc":"")"));
    }
}

std::vector<Json::Value> ScriptedServer::jsonFrames(int peer) const {
    std::vector<Json::Value> values;
    for (auto& frame : server_.framesOf(peer)) {
        if (frame.binary) continue;
        Json::Value value;
        Json::Reader reader;
        reader.parse(frame.data, value);
        values.push_back(value);
    }
    return values;
}

QUORVEX::QvAsrAudioFrame pcmFrame(const std::vector<unsigned char>& bytes) {
    return QUORVEX::QvAsrAudioFrame{bytes.data(), static_cast<int>(bytes.size()), 1, 16000, 16};
}

} // namespace quorvex::test
