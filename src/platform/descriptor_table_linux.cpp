// SPDX-License-Identifier: Apache-2.0
#include "platform/descriptor_table.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <thread>
#include <vector>

namespace quorvex::platform {

namespace {

// The calling thread's own copy of the table, and the numbers it held when made.
class PrivateTable {
public:
    bool take() {
        // Opened before the copy, so that listing it cannot fail after: a
        // copy whose contents are unknown could never be closed in the
        // process's table.
        DIR* listing = opendir("/proc/thread-self/fd");
        if (!listing) return false;
        if (unshare(CLONE_FILES) != 0) {
            closedir(listing);
            return false;
        }
        // Read after the copy: no other thread's open or close slips in.
        while (dirent* entry = readdir(listing)) {
            char* end = nullptr;
            long fd = std::strtol(entry->d_name, &end, 10);
            if (end != entry->d_name && *end == '\0') held_.push_back(static_cast<int>(fd));
        }
        // Its own descriptor is listed and closed here: the process's copy
        // of it is closed with the others.
        closedir(listing);
        return true;
    }

    // Closed here since take(). Only the numbers are looked at: the files
    // are other threads' too. A number closed and then reused here is not
    // seen, which is why work may open nothing.
    std::vector<int> closedSinceTaken() const {
        std::vector<int> closed;
        for (int fd : held_)
            if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) closed.push_back(fd);
        return closed;
    }

private:
    std::vector<int> held_;
};

// The thread inherits the mask: no signal handler runs in the copy, but
// for a fault of the thread's own, where a crash handler must still run.
class SignalsBlocked {
public:
    SignalsBlocked() {
        sigset_t blocked;
        sigfillset(&blocked);
        for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS}) sigdelset(&blocked, fault);
        pthread_sigmask(SIG_SETMASK, &blocked, &before_);
    }
    ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &before_, nullptr); }
    SignalsBlocked(const SignalsBlocked&) = delete;
    SignalsBlocked& operator=(const SignalsBlocked&) = delete;

private:
    sigset_t before_{};
};

} // namespace

bool runInPrivateDescriptorTable(const std::function<void()>& work) {
    bool ran = false;
    std::vector<int> closed;
    try {
        std::thread apart;
        {
            SignalsBlocked blocked;
            apart = std::thread([&] {
                PrivateTable table;
                if (!table.take()) return;
                work();
                ran = true;
                closed = table.closedSinceTaken();
            });
        }
        apart.join();
    } catch (const std::system_error&) {
        return false;
    }
    // Nobody else closes these numbers: they are still what work closed.
    for (int fd : closed) ::close(fd);
    return ran;
}

} // namespace quorvex::platform
