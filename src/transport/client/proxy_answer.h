// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_CLIENT_PROXY_ANSWER_H
#define QUORVEX_TRANSPORT_CLIENT_PROXY_ANSWER_H

#include <cstddef>
#include <string>

namespace quorvex::transport::detail {

// A proxy's answer to CONNECT, read as it arrives: split anywhere, at any
// pace. Only the header is taken; what follows it is the server's.
class ProxyAnswer {
public:
    static constexpr std::size_t kMaxHeaderBytes = 16 * 1024;
    enum class State { Incomplete, Done, Bad };

    // Takes bytes up to the end of the header; *used says how many.
    State feed(const char* data, std::size_t size, std::size_t* used);
    State state() const { return state_; }
    int status() const { return status_; }    // once Done
    const std::string& why() const { return why_; } // once Bad

private:
    State finish();

    std::string head_;
    State state_ = State::Incomplete;
    int status_ = 0;
    std::string why_;
};

// The CONNECT request for host:port, with Basic credentials "user:password"
// when given: any length, any bytes.
std::string connectRequest(const std::string& host, int port, const std::string& credentials);

} // namespace quorvex::transport::detail

#endif
