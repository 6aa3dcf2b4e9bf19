// SPDX-License-Identifier: Apache-2.0
#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

extern char** environ;

namespace quorvex::test {
namespace {

// Far above anything a child is given, so that no dup2 in the child
// overwrites a descriptor that a later one still copies from.
int highCopy(int fd) { return ::fcntl(fd, F_DUPFD_CLOEXEC, 100); }

} // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const Options& options) {
    if (options.pipeStdin) ::signal(SIGPIPE, SIG_IGN); // a child that exits early must not kill the test
    int out[2], in[2] = {-1, -1};
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    if (options.pipeStdin ? ::pipe2(in, O_CLOEXEC) != 0 : (in[0] = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) < 0) {
        ::close(out[0]);
        ::close(out[1]);
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    std::vector<int> copies;
    int highest = 2;
    for (auto [here, there] : options.fds) {
        copies.push_back(highCopy(here));
        posix_spawn_file_actions_adddup2(&actions, copies.back(), there);
        highest = std::max(highest, there);
    }
    posix_spawn_file_actions_addclosefrom_np(&actions, highest + 1);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    if (::posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    for (int copy : copies) ::close(copy);
    ::close(out[1]);
    ::close(in[0]);
    stdin_ = in[1];
    if (pid_ <= 0) {
        ::close(out[0]);
        closeStdin();
        outputEnded_ = true;
        return;
    }
    reader_ = std::thread([this, fd = out[0]] {
        char chunk[4096];
        for (;;) {
            ssize_t got = ::read(fd, chunk, sizeof chunk);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            signal_.update([&] { output_.append(chunk, static_cast<std::size_t>(got)); });
        }
        ::close(fd);
        signal_.update([&] { outputEnded_ = true; });
    });
    reaper_ = std::thread([this] {
        // Reaped only under the lock, so that signal() never reaches a recycled number.
        siginfo_t exited{};
        while (::waitid(P_PID, static_cast<id_t>(pid_), &exited, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
        }
        signal_.update([&] {
            int status = 0;
            ::waitpid(pid_, &status, 0);
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        });
    });
}

ChildProcess::~ChildProcess() {
    closeStdin();
    if (reaper_.joinable()) {
        if (!waitExit(std::chrono::milliseconds(0))) ::kill(pid_, SIGKILL);
        reaper_.join();
    }
    if (reader_.joinable()) reader_.join();
}

std::string ChildProcess::output() {
    std::lock_guard<std::mutex> guard(signal_.lock());
    return output_;
}

bool ChildProcess::waitForOutput(const std::string& text, std::chrono::milliseconds deadline) {
    return signal_.waitUntil([&] { return output_.find(text) != std::string::npos; }, deadline);
}

bool ChildProcess::write(const void* bytes, std::size_t length) {
    auto next = static_cast<const char*>(bytes);
    while (length > 0) {
        ssize_t put = ::write(stdin_, next, length);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        next += put;
        length -= static_cast<std::size_t>(put);
    }
    return true;
}

void ChildProcess::closeStdin() {
    if (stdin_ >= 0) ::close(stdin_);
    stdin_ = -1;
}

void ChildProcess::signal(int number) {
    // Only while it has not been reaped: the number could belong to another process by then.
    std::lock_guard<std::mutex> guard(signal_.lock());
    if (pid_ > 0 && !status_) ::kill(pid_, number);
}

// Its output is read to the end too: a caller looks at it next.
std::optional<int> ChildProcess::waitExit(std::chrono::milliseconds deadline) {
    signal_.waitUntil([&] { return status_.has_value() && outputEnded_; }, deadline);
    std::lock_guard<std::mutex> guard(signal_.lock());
    return status_;
}

} // namespace quorvex::test
