// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_PLATFORM_LOCAL_SOCKET_H
#define QUORVEX_PLATFORM_LOCAL_SOCKET_H

#include <uv.h>

#include <string>

namespace quorvex::platform {

// A bound, non-blocking stream socket only this machine can reach, for
// libwebsockets to connect to through a proxy tunnel; address is what
// libwebsockets is given for it. -1 where there is none (Windows, for now:
// libuv's pipes there are named pipes, which libwebsockets cannot open).
int openPrivateListener(std::string& address);

// Whether the peer of an accepted local connection is this process.
bool peerIsThisProcess(uv_os_fd_t fd);

} // namespace quorvex::platform

#endif
