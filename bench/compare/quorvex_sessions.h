// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_BENCH_COMPARE_QUORVEX_SESSIONS_H
#define QUORVEX_BENCH_COMPARE_QUORVEX_SESSIONS_H

#include <memory>
#include <string>
#include <vector>

#include "quorvex/quorvex.h"
#include "workload.h"

namespace quorvex::bench {

// The same sessions through the library's public interface, as an
// application writes them.
class QuorvexClient : public LoadClient {
public:
    // slowListener: session 1's listener takes 100 ms over each text.
    QuorvexClient(const std::string& url, Sessions& sessions, bool slowListener = false);
    ~QuorvexClient() override;

    void start(int session) override;
    void sendFrame(int session, const unsigned char* pcm, int bytes) override;
    void stop(int session) override;

private:
    class Listener;
    std::string url_;
    Sessions& sessions_;
    std::vector<std::unique_ptr<Listener>> listeners_;
    std::vector<QUORVEX::QvAsrClient*> clients_;
};

} // namespace quorvex::bench

#endif
