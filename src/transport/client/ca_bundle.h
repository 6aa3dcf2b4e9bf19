// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_CLIENT_CA_BUNDLE_H
#define QUORVEX_TRANSPORT_CLIENT_CA_BUNDLE_H

#include <openssl/ssl.h>

#include <memory>
#include <string>

#include "transport/wss_route.h"

namespace quorvex::transport::detail {

// Reads a PEM file of CA certificates whole. Null, with *why, for a file
// that cannot be read, holds no certificate, or one that does not parse.
std::shared_ptr<const tagWSSCaBundle> readCaBundle(const std::string& path, const char** why);
// Adds the bundle's certificates to the context's trusted store.
bool trustCaBundle(SSL_CTX* tls, const tagWSSCaBundle& bundle);

} // namespace quorvex::transport::detail

#endif
