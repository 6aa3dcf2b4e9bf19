// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_PLATFORM_TRUST_STORE_H
#define QUORVEX_PLATFORM_TRUST_STORE_H

struct ssl_ctx_st;

namespace quorvex::platform {

// Adds the system's trusted roots to a client TLS context that verifies
// without CAs of its own. OpenSSL reads the system's store itself on Linux
// (its default paths); on Windows it does not, and the roots come from the
// certificate store ("ROOT") through crypt32. Returns how many were added;
// -1 if the store could not be opened.
#if defined(_WIN32)
int addSystemRoots(ssl_ctx_st* tls);
#else
inline int addSystemRoots(ssl_ctx_st*) { return 0; }
#endif

} // namespace quorvex::platform

#endif
