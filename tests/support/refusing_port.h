// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TESTS_SUPPORT_REFUSING_PORT_H
#define QUORVEX_TESTS_SUPPORT_REFUSING_PORT_H

#include <string>

#include "platform/net.h"

namespace quorvex::test {

// A loopback port that is bound but never listens: connecting to it is
// refused at once, and nobody else can take it while the object lives.
class RefusingPort {
public:
    RefusingPort() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~RefusingPort() { platform::closeSocket(fd_); }
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;

    int port() const { return port_; }
    std::string url(const std::string& path = "/") const {
        return "ws://127.0.0.1:" + std::to_string(port_) + path;
    }

private:
    platform::Socket fd_ = static_cast<platform::Socket>(-1);
    int port_ = 0;
};

// A host name whose lookup fails inside the resolver (a label longer than 63
// bytes): no query leaves the machine, so no DNS server can make it slow.
inline std::string unresolvableUrl(const std::string& path = "/") {
    return "ws://" + std::string(64, 'q') + ".invalid:7961" + path;
}

} // namespace quorvex::test

#endif
