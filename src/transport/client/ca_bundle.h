// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_CLIENT_CA_BUNDLE_H
#define QUORVEX_TRANSPORT_CLIENT_CA_BUNDLE_H

#include <openssl/ssl.h>

#include <memory>
#include <string>

#include "transport/transport_control.h"

namespace quorvex::transport::detail {

// Adds the bundle's certificates to the context's trusted store.
bool trustCaBundle(SSL_CTX* tls, const tagWSSCaBundle& bundle);

} // namespace quorvex::transport::detail

#endif
