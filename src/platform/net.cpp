// SPDX-License-Identifier: Apache-2.0
#include "platform/net.h"

#if !defined(_WIN32)
#  include <unistd.h>
#endif

namespace quorvex::platform {

bool endpointOf(Socket socket, bool local, std::string& address, unsigned short& port) {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    auto* raw = reinterpret_cast<sockaddr*>(&storage);
    int rc = local ? getsockname(socket, raw, &length) : getpeername(socket, raw, &length);
    if (rc != 0) return false;
    char text[INET6_ADDRSTRLEN] = {};
    if (storage.ss_family == AF_INET) {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
        inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        port = ntohs(v4->sin_port);
    } else if (storage.ss_family == AF_INET6) {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
        inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        port = ntohs(v6->sin6_port);
    }
    address = text;
    return true;
}

int pollSockets(pollfd* sockets, std::size_t count, int timeoutMs) {
#if defined(_WIN32)
    return WSAPoll(sockets, static_cast<ULONG>(count), timeoutMs);
#else
    return ::poll(sockets, static_cast<nfds_t>(count), timeoutMs);
#endif
}

void shutDownSocket(Socket socket) {
#if defined(_WIN32)
    ::shutdown(socket, SD_BOTH);
#else
    ::shutdown(socket, SHUT_RDWR);
#endif
}

void closeSocket(Socket socket) {
#if defined(_WIN32)
    closesocket(socket);
#else
    ::close(socket);
#endif
}

} // namespace quorvex::platform
