// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TESTS_SUPPORT_RECORDING_CLIENT_H
#define QUORVEX_TESTS_SUPPORT_RECORDING_CLIENT_H

#include <functional>
#include <string>
#include <vector>

#include "test_server.h"
#include "transport/wss_client.h"
#include "transport/wss_config.h"
#include "transport/wss_context.h"
#include "wait.h"

namespace quorvex::test {

// A context of its own, as an application-side owner would make one.
// Tests and benchmarks of the websocket wrapper share it and the client below.
struct LoopOwner {
    CWSSClient owner;
    CWSSContext* context = nullptr;
    LoopOwner() {
        tagWSSvrConfig config;
        context = owner.createContext(&config, 4096, 4096);
    }
};

// Records every event the wrapper reports, and checks it came on the loop thread.
class RecordingClient : public CWSSClient {
public:
    explicit RecordingClient(CWSSContext* context) : context_(context) {}
    ~RecordingClient() override { clearSet(); }

    void onEstablished() override { record([&] { ++established; }); }
    void onConnectErr() override { record([&] { ++connectErrors; }); }
    void onClose() override { record([&] { ++closes; }); }
    void onTextData(const char* data, int len) override {
        record([&] { received.push_back(Frame{0, false, std::string(data, static_cast<std::size_t>(len))}); });
        if (afterText) afterText(std::string(data, static_cast<std::size_t>(len)));
    }
    void onBinaryData(const unsigned char* data, int len) override {
        record([&] {
            received.push_back(Frame{0, true, std::string(reinterpret_cast<const char*>(data), static_cast<std::size_t>(len))});
        });
    }

    bool connectTo(const std::string& url) { return connect(context_, url, "", {}, 1); }
    bool waitFor(const std::function<bool()>& condition) { return signal.waitUntil(condition); }
    bool waitEstablished() { return waitFor([&] { return established > 0; }); }
    bool waitMessages(std::size_t count) { return waitFor([&] { return received.size() >= count; }); }
    template <typename T>
    T read(const T& field) {
        std::lock_guard<std::mutex> guard(signal.lock());
        return field;
    }

    std::function<void(const std::string&)> afterText; // loop thread
    Signal signal; // guards the counters below
    int established = 0;
    int connectErrors = 0;
    int closes = 0;
    int offLoopEvents = 0;
    std::vector<Frame> received;

private:
    template <typename F>
    void record(F&& change) {
        bool onLoop = context_->isLoopThread();
        signal.update([&] {
            change();
            if (!onLoop) ++offLoopEvents;
        });
    }
    CWSSContext* context_;
};

} // namespace quorvex::test

#endif
