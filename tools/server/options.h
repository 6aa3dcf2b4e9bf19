// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TOOLS_SERVER_OPTIONS_H
#define QUORVEX_TOOLS_SERVER_OPTIONS_H

#include <cstddef>
#include <string>

namespace quorvex::server {

// Every limit the server enforces, with its default. Durations in milliseconds.
struct ServerOptions {
    std::string bind = "127.0.0.1";
    int port = 0;             // 0: an ephemeral port, see AsrServer::port()
    std::string token;        // empty: any token is accepted
    std::string path = "/asr";
    unsigned int workers = 0; // recognition threads; 0: one per core

    unsigned int maxSessions = 0;            // 0: what the engine suggests for the workers
    unsigned int maxConnections = 0;         // open at once; 0 (and above it): the descriptor limit less a reserve
    std::size_t maxMessageBytes = 64 * 1024; // one control message
    unsigned int maxJsonDepth = 16;          // nesting of a control message
    std::size_t maxFrameBytes = 64000;       // one audio frame (2 s)
    unsigned int maxBacklogMs = 10000;       // audio received but not yet recognised, per session
    std::size_t maxPostBytes = 64 * 1024;    // one HTTP request body
    unsigned int startTimeoutMs = 10000;     // connection to START_SESSION_REQ
    unsigned int idleTimeoutMs = 60000;      // a session without any message
    unsigned int closeGraceMs = 5000;        // a closing connection to its end
    unsigned int drainTimeoutMs = 10000;     // shutdown: sessions get this long to finish
    unsigned int maxFailedTokens = 5;        // per peer address and window
    unsigned int failedTokenWindowMs = 60000;
    unsigned int recogniserIdleMs = 60000;   // an unused recogniser is released after this
    std::size_t maxSendQueueBytes = 2u << 20; // per connection; a peer that does not read is closed
    unsigned int pingAfterSeconds = 10;      // nothing heard this long: the peer is pinged...
    unsigned int hangUpAfterSeconds = 20;    // ...and dropped when still nothing came back
};

// What the command line asks for.
struct CommandLine {
    ServerOptions options;
    std::string engine = "pocketsphinx";
    std::string modelDir;
    bool help = false;
    bool version = false;
};

// Reads argv into line (which holds the defaults). False, with a message that
// names the option, for anything unknown, malformed or out of range.
bool parseCommandLine(int argc, const char* const* argv, CommandLine& line, std::string& error);

// The --help text: every option, its argument, its meaning and its default.
std::string usageText();

// Descriptors kept free of connections for the engine, logs and the
// listener: accept() never meets EMFILE, which it could only retry at once.
constexpr unsigned int kReservedDescriptors = 64;

constexpr const char* kServerVersion = "quorvex-server 1.0.0";
constexpr int kDefaultPort = 8765;

} // namespace quorvex::server

#endif
