// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TESTS_TOOLS_CHILD_PROCESS_H
#define QUORVEX_TESTS_TOOLS_CHILD_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "wait.h"

namespace quorvex::test {

// A program run by a test: its standard output and error collected as they
// come, its exit awaited with a deadline, killed if the test ends first.
class ChildProcess {
public:
    struct Options {
        bool pipeStdin = false;            // otherwise /dev/null
        std::vector<std::pair<int, int>> fds; // (descriptor here, number in the child)
    };

    explicit ChildProcess(const std::vector<std::string>& argv) : ChildProcess(argv, Options{}) {}
    ChildProcess(const std::vector<std::string>& argv, const Options& options);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    std::string output(); // standard output and error, interleaved as written
    // True once `text` appears in the output before the deadline.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds deadline = kDeadline);
    bool write(const void* bytes, std::size_t length); // to its standard input
    void closeStdin();
    void signal(int number);
    // The exit code (128 + the signal for a killed child), or nothing at the deadline.
    std::optional<int> waitExit(std::chrono::milliseconds deadline = kDeadline);

private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    Signal signal_; // guards output_, outputEnded_, status_
    std::string output_;
    bool outputEnded_ = false; // the child's last byte has been read
    std::optional<int> status_;
    std::thread reader_, reaper_;
};

} // namespace quorvex::test

#endif
