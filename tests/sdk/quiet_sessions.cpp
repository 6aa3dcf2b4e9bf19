// SPDX-License-Identifier: Apache-2.0
// An application with logging disabled: it runs sessions one after another
// against the server named on the command line and must print nothing at all
// (neither the library nor libwebsockets may write to its terminal).
//   quiet_sessions ws://host:port/path count
// Exit 0 when every session started and stopped; otherwise 1, after saying why.
#include <quorvex/quorvex.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace {

class Listener : public QUORVEX::QvAsrClientListener {
public:
    void onMessageError(int, const char*) override {}
    void onSessionError(int, const char*) override { settle(started_, true); }
    void onDestroyed(int) override {}
    void onStartResult(int code, const char*) override { settle(code == 0, code != 0); }
    void onRecognitionText(const QUORVEX::QvAsrRecognitionResult*) override {}
    void onStopResult(int code) override { settle(started_, true, code == 0); }

    bool waitStarted() {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, std::chrono::seconds(10), [&] { return answered_; }) && started_;
    }
    bool waitStopped() {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, std::chrono::seconds(20), [&] { return ended_; }) && stopped_;
    }

private:
    void settle(bool started, bool ended, bool stopped = false) {
        std::lock_guard<std::mutex> guard(lock_);
        answered_ = true;
        started_ = started;
        ended_ = ended_ || ended;
        stopped_ = stopped_ || stopped;
        changed_.notify_all();
    }
    std::mutex lock_; // guards everything below
    std::condition_variable changed_;
    bool answered_ = false, started_ = false, ended_ = false, stopped_ = false;
};

int fail(int session, const char* what) {
    std::fprintf(stderr, "session %d: %s\n", session, what);
    QUORVEX::release();
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    int count = std::atoi(argv[2]);
    QUORVEX::QvAsrSdkLogParam log{false, nullptr, nullptr};
    QUORVEX::QvAsrSdkInitParam params{};
    if (QUORVEX::init(&log, &params) != 0) return fail(0, "init failed");
    std::vector<unsigned char> silence(640, 0);
    QUORVEX::QvAsrAudioFrame frame{silence.data(), 640, 1, 16000, 16};
    for (int session = 1; session <= count; ++session) {
        Listener listener;
        QUORVEX::QvAsrClient* client = QUORVEX::createAsrInstance();
        if (!client || client->init(&listener) != 0) return fail(session, "no client");
        QUORVEX::QvAsrStartParam start{argv[1], "token"};
        if (client->start(&start) != 0 || !listener.waitStarted()) return fail(session, "no start result 0");
        client->sendAudio(&frame);
        client->stop();
        if (!listener.waitStopped()) return fail(session, "no stop result 0");
        if (QUORVEX::destroyAsrInstance(client) != 0) return fail(session, "not destroyed after its stop result");
        delete client;
    }
    QUORVEX::release();
    return 0;
}
