// SPDX-License-Identifier: Apache-2.0
#include "platform/system.h"

#include <dlfcn.h>
#include <pthread.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace quorvex::platform {

void nameThisThread(const char* name) { pthread_setname_np(pthread_self(), name); }

bool randomBytes(void* buffer, std::size_t size) {
    return getrandom(buffer, size, 0) == static_cast<ssize_t>(size);
}

PathKind pathKind(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return PathKind::Missing;
    return S_ISDIR(status.st_mode) ? PathKind::Folder : PathKind::Other;
}

bool eventLibraryAvailable(std::string& why) {
    void* plugin = dlopen(QUORVEX_LWS_EVLIB_UV, RTLD_NOW | RTLD_LOCAL);
    if (plugin) {
        dlclose(plugin);
        return true;
    }
    const char* error = dlerror();
    why = std::string("unable to load libwebsockets' libuv plugin ") + QUORVEX_LWS_EVLIB_UV +
          " (package libwebsockets-evlib-uv): " + (error ? error : "unknown error");
    return false;
}

bool isEventDescriptor(int fd) {
    char link[64] = {};
    std::string path = "/proc/self/fd/" + std::to_string(fd);
    return readlink(path.c_str(), link, sizeof link - 1) > 0 && std::strcmp(link, "anon_inode:[eventfd]") == 0;
}

void closeDescriptor(int fd) { ::close(fd); }

} // namespace quorvex::platform
