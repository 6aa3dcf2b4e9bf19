// SPDX-License-Identifier: Apache-2.0
#include "plain_handoff.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <thread>

namespace quorvex::bench {

void paceAPlainHandOff(const Workload& load, CallTimes& times) {
    int wake = eventfd(0, EFD_CLOEXEC);
    std::mutex lock; // guards buffer
    std::vector<unsigned char> buffer;
    buffer.reserve(static_cast<std::size_t>(load.frameBytes) * 64);
    bool done = false;
    std::thread consumer([&] {
        for (;;) {
            pollfd readable{wake, POLLIN, 0};
            poll(&readable, 1, 100);
            std::uint64_t count = 0;
            if (read(wake, &count, sizeof count) < 0) { /* nothing yet */ }
            std::lock_guard<std::mutex> guard(lock);
            buffer.clear();
            if (done) return;
        }
    });
    std::vector<unsigned char> pcm(static_cast<std::size_t>(load.frameBytes), 7);
    auto next = Clock::now();
    for (int count = 1; count <= load.frames(); ++count) {
        times.lag(std::max<std::int64_t>(0, microsSince(next)));
        auto before = Clock::now();
        {
            std::lock_guard<std::mutex> guard(lock);
            buffer.insert(buffer.end(), pcm.begin(), pcm.end());
        }
        std::uint64_t one = 1;
        if (write(wake, &one, sizeof one) < 0) { /* the consumer drains anyway */ }
        times.call(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - before).count());
        next += std::chrono::milliseconds(load.frameMs);
        std::this_thread::sleep_until(next);
    }
    {
        std::lock_guard<std::mutex> guard(lock);
        done = true;
    }
    std::uint64_t one = 1;
    if (write(wake, &one, sizeof one) < 0) { /* poll times out instead */ }
    consumer.join();
    close(wake);
}

} // namespace quorvex::bench
