// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_ENGINE_EVENT_LOOP_H
#define QUORVEX_TRANSPORT_ENGINE_EVENT_LOOP_H

#include <libwebsockets.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "transport/client/client_connector.h"
#include "transport/conn/connections.h"
#include "transport/conn/liveness.h"
#include "transport/conn/send_path.h"
#include "transport/loop/loop_core.h"
#include "transport/server/server_side.h"
#include "transport/wss_context.h"

namespace quorvex::transport::detail {

// One CWSSContext's transport: the loop core and the parts above it, each
// given only the services it needs. It answers the core's events by
// handing each libwebsockets callback to the part it concerns.
class EventLoop : private LoopEvents {
public:
    using Command = LoopCore::Command;
    static constexpr unsigned int kClientFrameBufferBytes = 512;

    explicit EventLoop(CWSSContext* owner);
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // A null factory makes a client-only context that listens nowhere.
    bool start(const tagWSSvrConfig& config, unsigned int rxBufferSize, unsigned int txFragmentSize,
               ServerSide::ConnFactory factory = nullptr, const tagWSSLimits& acceptedLimits = tagWSSLimits());
    void stop() { core_.stop(); } // any thread but the loop's; joins it
    bool onLoopThread() const { return core_.onLoopThread(); }
    bool post(Command command) { return core_.post(std::move(command)); }
    void runOnLoop(const Command& command) { core_.runOnLoop(command); }

    TimerSet& timers() { return core_.timers(); }
    Connections& connections() { return connections_; }
    ClientConnector& connector() { return connector_; }
    ServerSide& server() { return server_; }
    int listenPort() const { return server_.port(); }
    CWSSContext* owner() const { return core_.owner(); }
    lws_context* lwsContext() const { return core_.lwsContext(); }

private:
    bool onContextCreated(const tagWSSvrConfig& config, lws_context_creation_info& info) override;
    void onStarted() override;
    void onStopping() override;
    void onContextGone() override;
    void closeEveryConnection() override;
    bool connectionsLeft() const override { return connections_.any(); }
    void cutOffConnectionsLeft() override { connections_.cutOffEvery(); }
    void onFlushes(CWSSConn* const* first, std::size_t count) override;
    int onLwsEvent(lws* wsi, lws_callback_reasons reason, void* user, void* in, std::size_t len) override;
    int onConnectionEvent(ConnLink* link, lws* wsi, lws_callback_reasons reason, void* in, std::size_t len);
    void onWsiDestroyed(ConnLink* link);

    // Outlives core_, whose context uses it. libwebsockets 4.1 frees the
    // client TLS context it made itself only under the index of OpenSSL
    // data it took when that context started, and takes a new one for each
    // context: with several loops, all but the last leaked theirs (the whole
    // system store) at every release. One it is given it never frees.
    struct FreeTls {
        void operator()(SSL_CTX* tls) const;
    };
    std::unique_ptr<SSL_CTX, FreeTls> clientTls_;
    LoopCore core_;
    SendPath sendPath_;
    Connections connections_;
    ClientConnector connector_;
    ServerSide server_;
    Liveness liveness_;
};

} // namespace quorvex::transport::detail

// What a CWSSContext holds: the transport, opaque to the installed headers.
struct CWSSContext::Loop final : quorvex::transport::detail::EventLoop {
    using EventLoop::EventLoop;
};

#endif
