// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_PLATFORM_NET_H
#define QUORVEX_PLATFORM_NET_H

// The system's socket headers: inet_pton, inet_ntop, sockaddr_* and pollfd
// have the same names on both.
#if defined(_WIN32)
#  include <winsock2.h>
#  include <ws2tcpip.h>
#else
#  include <arpa/inet.h>
#  include <netinet/in.h>
#  include <poll.h>
#  include <sys/socket.h>
#endif

#include <cstddef>
#include <cstdint>
#include <string>

namespace quorvex::platform {

#if defined(_WIN32)
using Socket = std::uintptr_t; // SOCKET
#else
using Socket = int;
#endif

// The numeric text and port of a socket's own end (local) or its peer's;
// false if the socket has none.
bool endpointOf(Socket socket, bool local, std::string& address, unsigned short& port);

// poll() over sockets, without waiting when timeoutMs is 0.
int pollSockets(pollfd* sockets, std::size_t count, int timeoutMs);

// close() of a socket; on Windows a socket is no file descriptor.
void closeSocket(Socket socket);
// Both directions shut down: a write after it fails, a read finds the end.
void shutDownSocket(Socket socket);

} // namespace quorvex::platform

#endif
