// SPDX-License-Identifier: Apache-2.0
#include "platform/descriptor_table.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>

#include <cerrno>
#include <cstdlib>

namespace quorvex::platform {

bool PrivateDescriptorTable::take() {
    if (taken_) return true;
    // Opened before the copy, so that listing it cannot fail after: a copy
    // whose contents are unknown could never be closed in the shared table.
    DIR* listing = opendir("/proc/thread-self/fd");
    if (!listing) return false;
    if (unshare(CLONE_FILES) != 0) {
        closedir(listing);
        return false;
    }
    taken_ = true;
    // Read after the copy: the listing is of this thread's table, so no
    // other thread's open or close can slip between the two.
    while (dirent* entry = readdir(listing)) {
        char* end = nullptr;
        long fd = std::strtol(entry->d_name, &end, 10);
        if (end != entry->d_name && *end == '\0') openWhenTaken_.push_back(static_cast<int>(fd));
    }
    // Its own descriptor is in the list and is closed here, so the shared
    // table's copy of it is closed with the others.
    closedir(listing);
    return true;
}

std::vector<int> PrivateDescriptorTable::closedSinceTaken() const {
    std::vector<int> closed;
    for (int fd : openWhenTaken_) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) closed.push_back(fd);
    }
    return closed;
}

} // namespace quorvex::platform
