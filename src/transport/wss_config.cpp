// SPDX-License-Identifier: Apache-2.0
#include "transport/wss_config.h"

#include <cstring>

tagWSSvrConfig::tagWSSvrConfig() {
    std::memset(static_cast<void*>(this), 0, sizeof(*this));
    listenPort = 7961;
    uid = -1;
    gid = -1;
    maxHeaderPool = 32;
    timeoutSeconds = 300;
}
