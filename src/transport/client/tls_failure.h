// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_CLIENT_TLS_FAILURE_H
#define QUORVEX_TRANSPORT_CLIENT_TLS_FAILURE_H

#include <libwebsockets.h>

#include <string>

namespace quorvex::transport::detail {

// libwebsockets empties OpenSSL's error queue before it reports a failed
// handshake, and 4.1 then prints a number that is no OpenSSL error
// ("error:00000001:lib(0)::reason(1)"). So client TLS contexts are watched:
// the first error of a failed handshake is kept, on the loop's thread, until
// the connection's error callback takes it.
void watchTlsFailures(SSL_CTX* tls);
// Loop, in the connection error callback: OpenSSL's error for wsi's failed
// handshake, 0 when none was kept.
unsigned long takeTlsFailure(lws* wsi);
// The error in words; lwsText, libwebsockets' own text, when there is none.
std::string describeTlsFailure(unsigned long error, const std::string& lwsText);

} // namespace quorvex::transport::detail

#endif
