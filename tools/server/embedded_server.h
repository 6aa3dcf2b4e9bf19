// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TOOLS_SERVER_EMBEDDED_SERVER_H
#define QUORVEX_TOOLS_SERVER_EMBEDDED_SERVER_H

#include <functional>
#include <memory>
#include <string>

namespace quorvex::server {

// The reference server inside another program for as long as the object
// lives: the pocketsphinx engine with its default model, on an ephemeral
// port of 127.0.0.1, with the limits of a real server. This header is all
// such a program sees of the server; the rest stays the server's own.
class EmbeddedServer {
public:
    // Receives each operator line as quorvex-server prints it, without its
    // "quorvex-server: " prefix; on the server's threads, one line at a time.
    using LogSink = std::function<void(const std::string& line)>;

    // Null, with the reason in `error`, when the model cannot be loaded or no
    // port can be had. The server's log is process-wide: the sink holds until
    // this server is gone; null drops every line. libwebsockets' errors and
    // warnings go there too until the client library, once initialised,
    // takes them into its own log.
    static std::unique_ptr<EmbeddedServer> start(LogSink log, std::string& error);
    ~EmbeddedServer(); // closes every connection at once, then gives the log back to standard error
    EmbeddedServer(const EmbeddedServer&) = delete;
    EmbeddedServer& operator=(const EmbeddedServer&) = delete;

    std::string url() const; // ws://127.0.0.1:PORT/asr

private:
    struct Running;
    explicit EmbeddedServer(std::unique_ptr<Running> running);
    std::unique_ptr<Running> running_;
};

} // namespace quorvex::server

#endif
