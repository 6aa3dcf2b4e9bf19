// SPDX-License-Identifier: Apache-2.0
#include "platform/trust_store.h"

#include <windows.h>
#include <wincrypt.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace quorvex::platform {

int addSystemRoots(ssl_ctx_st* tls) {
    HCERTSTORE store = CertOpenSystemStoreW(0, L"ROOT");
    if (!store) return -1;
    X509_STORE* trusted = SSL_CTX_get_cert_store(tls);
    int added = 0;
    for (PCCERT_CONTEXT cert = CertEnumCertificatesInStore(store, nullptr); cert;
         cert = CertEnumCertificatesInStore(store, cert)) {
        const unsigned char* der = cert->pbCertEncoded;
        X509* x509 = d2i_X509(nullptr, &der, static_cast<long>(cert->cbCertEncoded));
        if (!x509) continue; // one OpenSSL cannot read is no reason to drop the others
        added += X509_STORE_add_cert(trusted, x509) == 1;
        X509_free(x509);
    }
    CertCloseStore(store, 0);
    ERR_clear_error(); // duplicates and unreadable entries leave errors a later handshake must not see
    return added;
}

} // namespace quorvex::platform
