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
    kConnectionFailed = 3,  // refused, unreachable, or a draining server refused the upgrade (503)
    kSessionRefused = 4,    // the server said no (wrong token)
    kSessionError = 5,      // the session broke off, or the server went silent
    kNameUnknown = 6,       // the host name does not resolve
    kTlsFailed = 7,         // TCP works, TLS does not
    kNoAnswer = 8,          // the server took the connection, but no session came of it in time,
                            // or it refused the WebSocket upgrade otherwise (404: a wrong path)
    kCertificateRejected = 9, // the server's certificate failed verification
    kProxyFailed = 10,        // the proxy cannot be reached, or refused the tunnel
    kRetryLater = 11,         // the server is busy (503) or asks to slow down (429)
};

constexpr const char* kStandardInput = "-";

struct Options {
    std::string url, token;
    std::string proxy;   // --proxy, for ws:// and wss:// alike; empty: the environment decides
    bool noProxy = false; // --no-proxy: direct, whatever the environment says
    std::string caFile;   // --ca-file; empty: the system's store
    bool insecure = false; // --insecure: wss:// servers are not verified
    bool realtime = false, json = false;
    bool resume = true;   // --no-resume: a lost connection ends the session instead
    bool verbose = false; // --verbose: the embedded server's log lines too
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
