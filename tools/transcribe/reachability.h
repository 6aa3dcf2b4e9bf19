// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TOOLS_TRANSCRIBE_REACHABILITY_H
#define QUORVEX_TOOLS_TRANSCRIBE_REACHABILITY_H

#include <chrono>
#include <string>

namespace quorvex::tools {

// Where a connection to a server fails. The library reports every failure
// before the session as one code; a user needs to know which step to fix.
enum class Reach {
    Reachable,      // name, TCP and TLS all work: the WebSocket upgrade itself failed
    BadUrl,         // not a ws:// or wss:// URL
    NameUnknown,    // the host name does not resolve
    Refused,        // nothing listens there
    Unreachable,    // no answer in time, or no route
    TlsFailed,      // TCP works, the TLS handshake does not
    Unavailable,    // the server refused the upgrade for now (503): draining or busy
};

struct Diagnosis {
    Reach reach = Reach::Reachable;
    std::string message; // names the host, the port and the cause
};

// Walks the steps a connection takes (resolve, connect, TLS for wss://),
// each bounded by `deadline`, and says where the first one fails.
Diagnosis diagnoseConnection(const std::string& url, std::chrono::milliseconds deadline);

} // namespace quorvex::tools

#endif
