// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TESTS_SUPPORT_CERT_AUTHORITY_H
#define QUORVEX_TESTS_SUPPORT_CERT_AUTHORITY_H

#include <string>

namespace quorvex::test {

struct KeyPair {
    std::string cert, key;
};

// A private CA made with openssl in a temporary folder, and server
// certificates it signs. Throws when openssl fails.
class CertAuthority {
public:
    CertAuthority();
    ~CertAuthority();
    CertAuthority(const CertAuthority&) = delete;
    CertAuthority& operator=(const CertAuthority&) = delete;

    const std::string& caFile() const { return caCert_; }
    // A folder holding the CA under its subject hash, made by openssl rehash.
    const std::string& caFolder() const { return caFolder_; }
    // Valid now for the DNS name and IP address given.
    KeyPair issue(const std::string& name, const std::string& dns, const std::string& ip);
    // Valid for the same names, but only during a day in 2020.
    KeyPair issueExpired(const std::string& name, const std::string& dns, const std::string& ip);

private:
    KeyPair sign(const std::string& name, const std::string& dns, const std::string& ip, const std::string& dates);
    std::string dir_, caCert_, caKey_, caFolder_;
};

} // namespace quorvex::test

#endif
