// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TOOLS_SERVER_REPLIES_H
#define QUORVEX_TOOLS_SERVER_REPLIES_H

#include <cstddef>
#include <string>

#include "engine.h"

namespace quorvex::server {

// msg_code values of the server's START_SESSION_RES and EXCEPTION_NTF, and
// what a client should do about each. The connection is closed after every
// one marked "ends".
enum MsgCode : int {
    kOk = 0,
    kBadRequest = 400,     // malformed or unknown control message, odd-length audio; fix the client
    kBadToken = 401,       // wrong token; ends, and nothing more from the connection is read
    kTimedOut = 408,       // no START in time, or a session silent too long; ends; reconnect when ready
    kWrongState = 409,     // a message the session state does not allow; fix the client
    kTooLarge = 413,       // control message or audio frame over its limit; ends; send smaller ones
    kSlowDown = 429,       // audio faster than recognition (backlog full), or too many wrong tokens
                           // from this address; ends; retry later, slower
    kBusy = 503,           // every session slot taken, no recogniser could be made, or the server
                           // is shutting down; ends; retry later (elsewhere when shutting down)
};

std::string startSessionRes(int code, const std::string& description, const std::string& sessionId = "");
std::string stopSessionRes();
std::string exceptionNtf(int code, const std::string& description);
std::string recognitionText(const Recognised& result);

// At most a short prefix of what a client sent, printable ASCII only, for
// replies and log lines: nothing of any size is ever echoed back.
std::string clientTextPrefix(const std::string& text, std::size_t limit = 32);

} // namespace quorvex::server

#endif
