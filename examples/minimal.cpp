// SPDX-License-Identifier: Apache-2.0
// The smallest complete use of quorvex: one session that streams a second of
// silence to the server named on the command line and prints what comes back.
//   minimal ws://host:port/path [token]
#include <quorvex/quorvex.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

namespace {

class PrintingListener : public QUORVEX::QvAsrClientListener {
public:
    void onMessageError(int code, const char* text) override { std::printf("message error %d: %s\n", code, text); }
    void onSessionError(int code, const char* text) override {
        std::printf("session error %d: %s\n", code, text);
        finish();
    }
    void onDestroyed(int) override {}
    void onStartResult(int code, const char* sessionId) override {
        std::printf("start result %d %s\n", code, sessionId ? sessionId : "");
        std::lock_guard<std::mutex> guard(lock_);
        started_ = code == 0;
        answered_ = true;
        changed_.notify_all();
    }
    void onRecognitionText(const QUORVEX::QvAsrRecognitionResult* r) override {
        std::printf("%s [%d-%d ms]%s\n", r->text, r->bg, r->ed, r->fin ? " (final)" : "");
    }
    void onStopResult(int code) override {
        std::printf("stop result %d\n", code);
        std::lock_guard<std::mutex> guard(lock_);
        stopped_ = code == 0;
        finished_ = answered_ = true;
        changed_.notify_all();
    }

    // False when the deadline passed first.
    bool waitStarted(std::chrono::seconds deadline) {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, deadline, [&] { return answered_; }) && started_;
    }
    // True when the server answered the stop; false when the session ended
    // otherwise, or the deadline passed first.
    bool waitStopped(std::chrono::seconds deadline) {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, deadline, [&] { return finished_; }) && stopped_;
    }

private:
    void finish() {
        std::lock_guard<std::mutex> guard(lock_);
        finished_ = answered_ = true;
        changed_.notify_all();
    }
    std::mutex lock_;
    std::condition_variable changed_;
    bool answered_ = false, started_ = false, finished_ = false, stopped_ = false;
};

// 0 at once, or once an ending session's connection has closed; -5 while the
// client is still connecting or streaming, which ends on its own: retry briefly.
int destroyWhenIdle(QUORVEX::QvAsrClient* client) {
    int result = QUORVEX::destroyAsrInstance(client);
    for (int retry = 0; retry < 10 && result == -5; ++retry) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        result = QUORVEX::destroyAsrInstance(client);
    }
    return result;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s ws://host:port/path [token]\n", argv[0]);
        return 2;
    }
    QUORVEX::QvAsrSdkLogParam log{false, nullptr, nullptr};
    QUORVEX::QvAsrSdkInitParam params{};
    if (QUORVEX::init(&log, &params) != 0) return 1;
    std::printf("quorvex %s\n", QUORVEX::getVersion());

    PrintingListener listener;
    QUORVEX::QvAsrClient* client = QUORVEX::createAsrInstance();
    client->init(&listener);
    QUORVEX::QvAsrStartParam start{argv[1], argc > 2 ? argv[2] : ""};
    int rc = 1;
    if (client->start(&start) == 0 && listener.waitStarted(std::chrono::seconds(10))) {
        std::vector<unsigned char> silence(640, 0); // 20 ms of 16 kHz, 16-bit mono
        QUORVEX::QvAsrAudioFrame frame{silence.data(), 640, 1, 16000, 16};
        for (int i = 0; i < 50; ++i) client->sendAudio(&frame);
        client->stop();
        // The library ends a session whose stop goes unanswered (10 s by default).
        if (listener.waitStopped(std::chrono::seconds(30))) rc = 0;
    }
    if (destroyWhenIdle(client) == 0) {
        delete client;
    } else {
        // Not deleted: the library may still use it, and the listener, until release().
        std::fprintf(stderr, "the client is still busy after 1 s; left allocated\n");
        rc = 1;
    }
    QUORVEX::release();
    return rc;
}
