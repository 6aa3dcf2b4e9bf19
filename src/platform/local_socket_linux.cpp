// SPDX-License-Identifier: Apache-2.0
#include "platform/local_socket.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <random>

namespace quorvex::platform {

// An abstract unix socket (no file to remove), named by the process, a
// count and a random number, so that no other process can take it first.
int openPrivateListener(std::string& address) {
    static std::atomic<unsigned long> count{0};
    std::random_device random;
    std::string name = "quorvex-tunnel-" + std::to_string(getpid()) + "-" + std::to_string(count++) + "-" +
                       std::to_string(random());
    sockaddr_un socketAddress{};
    socketAddress.sun_family = AF_UNIX;
    std::memcpy(socketAddress.sun_path + 1, name.data(), name.size());
    socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&socketAddress), size) != 0) {
        ::close(fd);
        return -1;
    }
    address = "+@" + name;
    return fd;
}

bool peerIsThisProcess(uv_os_fd_t fd) {
    ucred peer{};
    socklen_t size = sizeof peer;
    return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.pid == getpid();
}

} // namespace quorvex::platform
