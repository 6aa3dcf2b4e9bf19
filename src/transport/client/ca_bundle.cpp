// SPDX-License-Identifier: Apache-2.0
#include "transport/client/ca_bundle.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <fstream>
#include <iterator>

namespace quorvex::transport::detail {

namespace {

constexpr std::size_t kMaxBundleBytes = 64u << 20; // the system's bundle is about 200 KiB

struct FreeBio {
    void operator()(BIO* bio) const { BIO_free(bio); }
};

// Calls add for each certificate; the number of them, or -1 when one does not parse.
template <typename Add>
int forEachCertificate(const std::string& pem, Add add) {
    std::unique_ptr<BIO, FreeBio> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio) return -1;
    int count = 0;
    ERR_clear_error();
    while (X509* certificate = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
        bool added = add(certificate);
        X509_free(certificate);
        if (!added) return -1;
        ++count;
    }
    // The reader ends each file with "no start line"; anything else is a broken entry.
    unsigned long error = ERR_peek_last_error();
    bool clean = ERR_GET_LIB(error) == ERR_LIB_PEM && ERR_GET_REASON(error) == PEM_R_NO_START_LINE;
    ERR_clear_error();
    return clean ? count : -1;
}

std::string digestOf(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr) != 1) return text;
    return std::string(reinterpret_cast<const char*>(digest), length);
}

} // namespace

} // namespace quorvex::transport::detail

namespace quorvex::transport {

using namespace detail;

std::shared_ptr<const tagWSSCaBundle> readCaBundle(const std::string& path, const char** why) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        *why = "cannot be opened";
        return nullptr;
    }
    std::string pem;
    pem.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    if (file.bad() || pem.size() > kMaxBundleBytes) {
        *why = "cannot be read whole (or is over 64 MiB)";
        return nullptr;
    }
    int count = forEachCertificate(pem, [](X509*) { return true; });
    if (count <= 0) {
        *why = count == 0 ? "holds no PEM certificate" : "holds a PEM certificate that does not parse";
        return nullptr;
    }
    auto bundle = std::make_shared<tagWSSCaBundle>();
    bundle->digest = digestOf(pem);
    bundle->pem = std::move(pem);
    return bundle;
}

} // namespace quorvex::transport

namespace quorvex::transport::detail {

bool trustCaBundle(SSL_CTX* tls, const tagWSSCaBundle& bundle) {
    X509_STORE* store = SSL_CTX_get_cert_store(tls);
    // A CA already there (the system's store has it too) is no failure.
    return forEachCertificate(bundle.pem, [store](X509* certificate) {
               return X509_STORE_add_cert(store, certificate) == 1 ||
                      ERR_GET_REASON(ERR_peek_last_error()) == X509_R_CERT_ALREADY_IN_HASH_TABLE;
           }) > 0;
}

} // namespace quorvex::transport::detail
