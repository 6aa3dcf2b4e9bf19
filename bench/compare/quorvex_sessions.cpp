// SPDX-License-Identifier: Apache-2.0
#include "quorvex_sessions.h"

#include <chrono>
#include <thread>

namespace quorvex::bench {

// Loop thread only, after init.
class QuorvexClient::Listener : public QUORVEX::QvAsrClientListener {
public:
    Listener(Sessions& sessions, int session, bool slow) : sessions_(sessions), session_(session), slow_(slow) {}

    void onMessageError(int, const char*) override {}
    void onSessionError(int, const char*) override { end(false); }
    void onDestroyed(int) override {}
    void onStartResult(int code, const char*) override {
        if (startHeard_) return;
        startHeard_ = true;
        sessions_.started(session_, code == 0);
    }
    void onRecognitionText(const QUORVEX::QvAsrRecognitionResult* result) override {
        if (result->text) sessions_.text(session_, result->text);
        if (slow_) std::this_thread::sleep_for(std::chrono::milliseconds(100)); // an application at work
    }
    void onStopResult(int code) override { end(code == 0); }

private:
    void end(bool ok) {
        if (ended_) return;
        ended_ = true;
        onStartResult(-1, nullptr);
        sessions_.ended(session_, ok);
    }

    Sessions& sessions_;
    int session_;
    bool slow_;
    bool startHeard_ = false, ended_ = false;
};

QuorvexClient::QuorvexClient(const std::string& url, Sessions& sessions, bool slowListener)
    : url_(url), sessions_(sessions) {
    for (int session = 0; session < sessions.size(); ++session) {
        listeners_.push_back(std::make_unique<Listener>(sessions, session, slowListener && session == 1));
        clients_.push_back(QUORVEX::createAsrInstance());
        clients_.back()->init(listeners_.back().get());
    }
}

QuorvexClient::~QuorvexClient() {
    for (auto* client : clients_) {
        QUORVEX::destroyAsrInstance(client);
        delete client;
    }
}

void QuorvexClient::start(int session) {
    QUORVEX::QvAsrStartParam param{url_.c_str(), ""};
    if (clients_[static_cast<std::size_t>(session)]->start(&param) != 0) sessions_.started(session, false);
}

void QuorvexClient::sendFrame(int session, const unsigned char* pcm, int bytes) {
    QUORVEX::QvAsrAudioFrame frame{pcm, bytes, 1, 16000, 16};
    clients_[static_cast<std::size_t>(session)]->sendAudio(&frame);
}

void QuorvexClient::stop(int session) {
    if (clients_[static_cast<std::size_t>(session)]->stop() != 0) sessions_.ended(session, false);
}

} // namespace quorvex::bench
