// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TESTS_CLIENT_TLS_CLIENT_TEST_H
#define QUORVEX_TESTS_CLIENT_TLS_CLIENT_TEST_H

#include <string>

#include "cert_authority.h"
#include "client_test_base.h"

namespace quorvex::test {

// wss:// sessions against scripted servers whose certificates one CA issues,
// for every suite of the binary: openssl is slow. Each test leaves the TLS
// settings as it found them.
class TlsClientTest : public ClientTest {
protected:
    void TearDown() override {
        QUORVEX::setTlsSettings(nullptr);
        ClientTest::TearDown();
    }
    static CertAuthority& authority() {
        static CertAuthority ca;
        return ca;
    }
    // By name ("localhost"), which the certificates issued here name.
    static std::string byName(const ScriptedServer& server) {
        return "wss://localhost:" + std::to_string(server.port()) + "/asr";
    }
    static void verifyWith(const char* caFile) {
        QUORVEX::QvAsrTlsSettings settings{true, caFile, nullptr};
        ASSERT_EQ(QUORVEX::setTlsSettings(&settings), 0);
    }
};

} // namespace quorvex::test

#endif
