// SPDX-License-Identifier: Apache-2.0
// An application of the shared library that wants to know why a start
// failed: it prints what its listeners hear of one start.
//   start_failure_app URL [plain|registered]
// "plain": the listener implements QvAsrClientListener only; "registered":
// its failure listener is registered with setStartFailureListener, as an
// application built without RTTI (a second build of this file) must.
// Exit 0 once the start result came (within 10 s), 1 otherwise.
#include <quorvex/quorvex.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

class PlainListener : public QUORVEX::QvAsrClientListener {
public:
    void onMessageError(int, const char*) override {}
    void onSessionError(int, const char*) override {}
    void onDestroyed(int) override {}
    void onStartResult(int code, const char*) override {
        std::lock_guard<std::mutex> guard(lock_);
        std::printf("start %d\n", code);
        answered_ = true;
        changed_.notify_all();
    }
    void onRecognitionText(const QUORVEX::QvAsrRecognitionResult*) override {}
    void onStopResult(int) override {}

    bool waitAnswered() {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, std::chrono::seconds(10), [&] { return answered_; });
    }

private:
    std::mutex lock_; // guards answered_ and standard output
    std::condition_variable changed_;
    bool answered_ = false;
};

class ReasonListener : public PlainListener, public QUORVEX::QvAsrStartFailureListener {
public:
    void onStartFailure(const QUORVEX::QvAsrStartFailure* failure) override {
        std::printf("failure %d %d\n", static_cast<int>(failure->category), failure->status);
    }
};

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    bool plain = argc > 2 && std::strcmp(argv[2], "plain") == 0;
    bool registered = argc > 2 && std::strcmp(argv[2], "registered") == 0;
    QUORVEX::QvAsrSdkLogParam log{false, nullptr, nullptr};
    QUORVEX::QvAsrSdkInitParam params{};
    if (QUORVEX::init(&log, &params) != 0) return 1;
    PlainListener plainListener;
    ReasonListener reasonListener;
    QUORVEX::QvAsrClient* client = QUORVEX::createAsrInstance();
    PlainListener& listener = plain ? plainListener : reasonListener;
    client->init(&listener);
    if (registered && QUORVEX::setStartFailureListener(client, &reasonListener) != 0) return 1;
    QUORVEX::QvAsrStartParam start{argv[1], ""};
    bool answered = client->start(&start) == 0 && listener.waitAnswered();
    if (QUORVEX::destroyAsrInstance(client) == 0) delete client;
    QUORVEX::release();
    std::fflush(stdout);
    return answered ? 0 : 1;
}
