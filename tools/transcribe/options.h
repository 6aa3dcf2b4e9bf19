// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TOOLS_TRANSCRIBE_OPTIONS_H
#define QUORVEX_TOOLS_TRANSCRIBE_OPTIONS_H

#include <string>
#include <vector>

namespace quorvex::tools {

// quorvex-transcribe's exit codes, as --help and the README list them.
enum Exit {
    kDone = 0,
    kUsage = 2,             // bad arguments, or an input that cannot be read
    kConnectionFailed = 3,  // refused, unreachable, or the WebSocket upgrade failed
    kSessionRefused = 4,    // the server said no (wrong token)
    kSessionError = 5,      // the session broke off, or the server went silent
    kNameUnknown = 6,       // the host name does not resolve
    kTlsFailed = 7,         // TCP works, TLS does not
    kNoAnswer = 8,          // the server took the connection, but no session came of it in time
};

constexpr const char* kStandardInput = "-";

struct Options {
    std::string url, token;
    bool realtime = false, json = false;
    int timeoutSeconds = 10; // the longest wait for each answer of the server
    std::vector<std::string> inputs; // paths; kStandardInput for raw PCM on standard input
};

enum class Request { Run, Help, Version, Usage };

// Fills `options` from the command line; on Usage, `problem` says what is wrong.
Request parseOptions(int argc, char** argv, Options& options, std::string& problem);

const char* helpText();
std::string versionText(const char* libraryVersion);

} // namespace quorvex::tools

#endif
