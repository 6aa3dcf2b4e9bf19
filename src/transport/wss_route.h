// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_WSS_ROUTE_H
#define QUORVEX_TRANSPORT_WSS_ROUTE_H

#include <memory>
#include <string>

// CA certificates in PEM as read from a file, once, when the settings that
// name it were made; digest tells contents apart.
struct tagWSSCaBundle {
    std::string pem;
    std::string digest;
};

// How a client connection reaches its server and what it trusts there.
struct tagWSSRoute {
    // An HTTP proxy that tunnels with CONNECT; empty host: direct.
    std::string proxyHost;
    int proxyPort = 0;
    std::string proxyCredentials; // "user:password"; sent, never logged
    // wss://: the server's certificate chain and host name are checked
    // against the system store and caFile and caPath when given.
    bool verify = false;
    std::string caFile; // for the log: what is trusted is caBundle
    std::shared_ptr<const tagWSSCaBundle> caBundle;
    std::string caPath; // a hashed folder of CA certificates

    bool proxied() const { return !proxyHost.empty(); }
    std::string proxyLabel() const {
        bool v6 = proxyHost.find(':') != std::string::npos;
        return (v6 ? "[" + proxyHost + "]" : proxyHost) + ":" + std::to_string(proxyPort);
    }
};

#endif
