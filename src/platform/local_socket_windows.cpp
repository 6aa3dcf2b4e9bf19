// SPDX-License-Identifier: Apache-2.0
#include "platform/local_socket.h"

namespace quorvex::platform {

int openPrivateListener(std::string&) { return -1; }

bool peerIsThisProcess(uv_os_fd_t) { return false; }

} // namespace quorvex::platform
