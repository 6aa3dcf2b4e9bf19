// SPDX-License-Identifier: Apache-2.0
#include "platform/descriptor_table.h"

#include <dirent.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>
#include <thread>
#include <vector>

namespace quorvex::platform {

namespace {

struct Descriptor {
    int fd;
    dev_t device;
    ino_t inode;
};

// The calling thread's own copy of the table, and what it held when made.
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
            struct stat about {};
            if (end != entry->d_name && *end == '\0' && fstat(static_cast<int>(fd), &about) == 0)
                held_.push_back({static_cast<int>(fd), about.st_dev, about.st_ino});
        }
        // Its own descriptor is listed and closed here: the process's copy
        // of it is closed with the others.
        closedir(listing);
        return true;
    }

    // Closed since take(), or closed and the number given to something
    // opened here (which ends with this table).
    std::vector<int> closedSinceTaken() const {
        std::vector<int> closed;
        for (const Descriptor& was : held_) {
            struct stat now {};
            if (fstat(was.fd, &now) != 0 || now.st_dev != was.device || now.st_ino != was.inode)
                closed.push_back(was.fd);
        }
        return closed;
    }

private:
    std::vector<Descriptor> held_;
};

} // namespace

bool runInPrivateDescriptorTable(const std::function<void()>& work) {
    bool ran = false;
    std::vector<int> closed;
    try {
        std::thread apart([&] {
            PrivateTable table;
            if (!table.take()) return;
            work();
            ran = true;
            closed = table.closedSinceTaken();
        });
        apart.join();
    } catch (const std::system_error&) {
        return false;
    }
    // Nobody else closes these numbers: they are still what work closed.
    for (int fd : closed) ::close(fd);
    return ran;
}

} // namespace quorvex::platform
