// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TOOLS_TRANSCRIBE_SERVER_URL_H
#define QUORVEX_TOOLS_TRANSCRIBE_SERVER_URL_H

#include <optional>
#include <string>

namespace quorvex::tools {

// The parts of --url that the tool's messages name.
struct ServerUrl {
    std::string host; // without IPv6 brackets
    int port = 0;
    std::string path; // starts with '/', with its query
    std::string where() const; // host:port, an IPv6 host in brackets
};

// The library checks the URL again when a session starts. This check refuses
// what it refuses, so that a bad --url is a usage error saying what is wrong,
// before any input is read or any server started: ws:// or wss:// in any
// case, a host, a port from 1 to 65535, no spaces or control characters,
// and a request line that libwebsockets sends whole.
std::optional<ServerUrl> parseServerUrl(const std::string& url, std::string& why);

} // namespace quorvex::tools

#endif
