// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_SDK_NETWORK_SETTINGS_H
#define QUORVEX_SDK_NETWORK_SETTINGS_H

#include <optional>

#include "quorvex/quorvex.h"
#include "transport/transport_control.h"

namespace QUORVEX {

// Proxy and certificate checks for a session started now to url, decided
// from the settings in force and the environment. Nothing when the proxy
// chosen does not parse (logged). Any thread.
std::optional<tagWSSRoute> currentRoute(const quorvex::transport::WsUrl& url);

} // namespace QUORVEX

#endif
