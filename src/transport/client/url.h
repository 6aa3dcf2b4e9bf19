// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_CLIENT_URL_H
#define QUORVEX_TRANSPORT_CLIENT_URL_H

#include <string>

#include "transport/transport_control.h"

namespace quorvex::transport::detail {

// libwebsockets 4.1 formats the request line into 2,048 bytes and sends
// whatever it cut off: "GET " + path + " HTTP/1.1\r\n" must fit.
constexpr std::size_t kMaxRequestPath = 2048 - 1 - 15;
// A DNS name has at most 253 characters.
constexpr std::size_t kMaxHost = 253;

// True for an IPv4 or IPv6 literal, which needs no name lookup.
bool isNumericHost(const std::string& host);

} // namespace quorvex::transport::detail

#endif
