// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TESTS_TOOLS_SERVER_PROCESS_H
#define QUORVEX_TESTS_TOOLS_SERVER_PROCESS_H

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "wait.h"

namespace quorvex::test {

// quorvex-server as a user runs it, in a child process with its output on a
// pipe: the port it announces, signals, its exit code and every line it wrote.
class ServerProcess {
public:
    // descriptorLimit: the open file limit (soft and hard) it starts with; 0 keeps the test's.
    explicit ServerProcess(const std::vector<std::string>& arguments, unsigned int descriptorLimit = 0) {
        int out[2];
        if (pipe(out) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL); // a test that aborts (a sanitizer's report) leaves no server behind
            dup2(out[1], 1);
            dup2(out[1], 2);
            close(out[0]);
            rlimit files{descriptorLimit, descriptorLimit};
            if (descriptorLimit && setrlimit(RLIMIT_NOFILE, &files) != 0) _exit(126);
            std::vector<char*> argv{const_cast<char*>(QUORVEX_SERVER)};
            for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
            argv.push_back(nullptr);
            execv(QUORVEX_SERVER, argv.data());
            _exit(127);
        }
        close(out[1]);
        out_ = out[0];
    }
    ~ServerProcess() {
        if (pid_ > 0 && exitCode_ == kRunning) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
    }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // The port from the "listening on" line; 0 when the process ended or said nothing in time.
    int port(std::chrono::milliseconds deadline = kDeadline) {
        const std::string marker = "listening on ws://127.0.0.1:";
        if (!waitForOutput(marker, deadline)) return 0;
        return std::atoi(output_.c_str() + output_.find(marker) + marker.size());
    }
    // True once text has appeared in the output.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds deadline = kDeadline) {
        auto until = std::chrono::steady_clock::now() + deadline;
        while (output_.find(text) == std::string::npos)
            if (readUntil(until) != Read::Data) return false;
        return true;
    }
    void signal(int number) { kill(pid_, number); }
    // The exit code once the process has ended (all its output read), -1 at the deadline.
    int exitCode(std::chrono::milliseconds deadline = kDeadline) {
        if (exitCode_ != kRunning) return exitCode_;
        auto until = std::chrono::steady_clock::now() + deadline;
        Read outcome;
        while ((outcome = readUntil(until)) == Read::Data) {
        }
        if (outcome == Read::TimedOut) return -1;
        int status = 0;
        waitpid(pid_, &status, 0); // the pipe closed: the process has ended
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return exitCode_;
    }
    const std::string& output() const { return output_; }

private:
    static constexpr int kRunning = -1000;

    enum class Read { Data, Ended, TimedOut };

    // Reads what arrives, waiting until the deadline for something.
    Read readUntil(std::chrono::steady_clock::time_point until) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
        pollfd waiting{out_, POLLIN, 0};
        if (left <= 0 || poll(&waiting, 1, static_cast<int>(left)) == 0) return Read::TimedOut;
        char chunk[4096];
        ssize_t got = read(out_, chunk, sizeof chunk);
        if (got <= 0) return Read::Ended;
        output_.append(chunk, static_cast<std::size_t>(got));
        return Read::Data;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int exitCode_ = kRunning;
    std::string output_;
};

} // namespace quorvex::test

#endif
