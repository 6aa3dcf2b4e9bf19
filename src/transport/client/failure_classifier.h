// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_CLIENT_FAILURE_CLASSIFIER_H
#define QUORVEX_TRANSPORT_CLIENT_FAILURE_CLASSIFIER_H

#include <libwebsockets.h>

#include <string>

#include "transport/conn/connect_failure.h"
#include "transport/wss_route.h"

namespace quorvex::transport::detail {

// What the failure libwebsockets reported as `why` was, from how far the
// attempt got: its texts differ between releases ("Unable to connect" in
// 4.1, "conn fail: 111" in 4.3). A proxy's failures are the tunnel's own
// (ProxyTunnels), before libwebsockets has a connection.
ConnectFailure classifyLwsFailure(const char* why, const AttemptProgress& progress, const tagWSSRoute& route,
                                  bool tls);
// Loop, in the connection error callback: the status that answered the
// upgrade and its Retry-After, while libwebsockets still holds the answer.
void readUpgradeAnswer(lws* wsi, AttemptProgress& progress);
// The connect deadline of `ms` passed; progress is null while no
// connection was being made yet (a name lookup).
ConnectFailure deadlineFailure(const AttemptProgress* progress, const tagWSSRoute& route, bool tls, unsigned int ms);
// The log line of a failed attempt; a proxy failure's text names its
// proxy. Never a proxy's credentials.
std::string describeAttempt(ConnectFailure& failure, const tagWSSRoute& route);

} // namespace quorvex::transport::detail

#endif
