// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TOOLS_SERVER_CONTROL_MESSAGE_H
#define QUORVEX_TOOLS_SERVER_CONTROL_MESSAGE_H

#include <json/json.h>

#include <cstddef>
#include <string>

#include "metrics.h"

namespace quorvex::server {

enum class ControlType { Start, Stop };

// One client control message, checked before anything acts on it.
struct ControlMessage {
    bool ok = false;
    ControlType type = ControlType::Start;
    std::string token;             // START_SESSION_REQ's msg_data.token
    int code = 0;                  // when not ok: the msg_code of the refusal
    Refusal refusal = Refusal::BadJson;
    std::string description;       // when not ok: for the client; quotes at most a short prefix
};

// Size first (nothing over maxBytes is parsed), then strict JSON: one object,
// nothing after it, no deeper than maxDepth, service_type "ASR", a request
// msg_type.
ControlMessage readControlMessage(const char* data, std::size_t len, std::size_t maxBytes, unsigned int maxDepth);

} // namespace quorvex::server

#endif
