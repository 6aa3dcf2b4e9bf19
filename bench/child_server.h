// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_BENCH_CHILD_SERVER_H
#define QUORVEX_BENCH_CHILD_SERVER_H

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>

namespace quorvex::bench {

// A server in a child process, so that the harness measures the client side
// alone. The child runs serve(), which starts a server, reports its port via
// the given callback and returns once told to stop; its number goes back to
// the parent at the end.
class ChildServer {
public:
    using Serve = std::function<std::uint64_t(const std::function<void(int port)>& ready,
                                              const std::function<void()>& waitForStop)>;

    explicit ChildServer(const Serve& serve) {
        int portPipe[2], stopPipe[2], resultPipe[2];
        if (pipe(portPipe) || pipe(stopPipe) || pipe(resultPipe)) std::abort();
        child_ = fork();
        if (child_ == 0) {
            close(stopPipe[1]);
            std::uint64_t result = serve(
                [&](int port) {
                    if (write(portPipe[1], &port, sizeof port) != sizeof port) std::_Exit(2);
                },
                [&] {
                    char byte;
                    while (read(stopPipe[0], &byte, 1) > 0) {
                    }
                });
            if (write(resultPipe[1], &result, sizeof result) != sizeof result) std::_Exit(2);
            std::_Exit(0);
        }
        close(stopPipe[0]);
        stop_ = stopPipe[1];
        result_ = resultPipe[0];
        if (read(portPipe[0], &port_, sizeof port_) != sizeof port_) std::abort();
    }

    int port() const { return port_; }
    std::string url() const { return "ws://127.0.0.1:" + std::to_string(port_) + "/asr"; }

    // Stops the child; its result, and the CPU seconds it used.
    std::uint64_t stop(double& cpuSeconds) {
        close(stop_);
        std::uint64_t result = 0;
        if (read(result_, &result, sizeof result) != sizeof result) result = 0;
        int status = 0;
        rusage usage{};
        wait4(child_, &status, 0, &usage);
        cpuSeconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
        return result;
    }

private:
    pid_t child_ = -1;
    int port_ = 0;
    int stop_ = -1;
    int result_ = -1;
};

} // namespace quorvex::bench

#endif
