// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_CLIENT_PROXY_TUNNEL_H
#define QUORVEX_TRANSPORT_CLIENT_PROXY_TUNNEL_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

#include "transport/conn/connect_failure.h"

struct uv_loop_s;

namespace quorvex::transport::detail {

// Tunnels through HTTP proxies, made by the loop itself: libwebsockets'
// own proxy code sends at most 93 bytes of credentials (more, or a NUL in
// them, and it sets no proxy at all) and takes the proxy's answer from a
// single read. A tunnel connects to the proxy, sends CONNECT, reads the
// answer as it comes; on 200 it listens on an abstract unix socket that
// only this process may connect to, libwebsockets connects there as if to
// the server, and the tunnel relays between the two. Loop thread only.
class ProxyTunnels {
public:
    // Called once, unless the tunnel is dropped first: with the failure, or
    // with null and the address libwebsockets is to connect to ("+@name").
    using Ready = std::function<void(const ConnectFailure* failure, const std::string& address)>;

    ProxyTunnels();
    ~ProxyTunnels();
    ProxyTunnels(const ProxyTunnels&) = delete;
    ProxyTunnels& operator=(const ProxyTunnels&) = delete;

    // proxyAddress is numeric; request the CONNECT request to send.
    void open(uv_loop_s* loop, std::uint64_t attempt, const std::string& proxyAddress, int proxyPort,
              std::string request, Ready ready);
    // Whether attempt's tunnel, not yet relaying, has reached its proxy.
    bool proxyConnected(std::uint64_t attempt) const;
    // The attempt ended: its tunnel closes unless it already relays, which
    // then ends with libwebsockets' connection.
    void drop(std::uint64_t attempt);
    // Shutdown: every tunnel closes; their handles close on the loop's next passes.
    void closeAll();

    struct Tunnel; // kept out of this header, with libuv
    // A tunnel's last handle has closed: it is freed.
    void forget(Tunnel* tunnel);

private:
    std::unordered_map<Tunnel*, std::unique_ptr<Tunnel>> live_;
    std::unordered_map<std::uint64_t, Tunnel*> byAttempt_; // until relaying
};

} // namespace quorvex::transport::detail

#endif
