// SPDX-License-Identifier: Apache-2.0
#include <cstdlib>
#include <fstream>

#include "scratch_file.h"
#include "tls_client_test.h"

using namespace quorvex::test;
using namespace QUORVEX;

namespace {

void copyFile(const std::string& from, const std::string& to) {
    std::ifstream in(from, std::ios::binary);
    std::ofstream(to, std::ios::binary | std::ios::trunc) << in.rdbuf();
}

class TlsVerify : public TlsClientTest {
protected:
    static bool logged(const std::string& text) {
        for (const std::string& line : LogLines::lines())
            if (line.find(text) != std::string::npos) return true;
        for (const std::string& line : LogLines::lines())
            if (line.find("onConnectErr") != std::string::npos) ADD_FAILURE() << "logged instead: " << line;
        return false;
    }
};

} // namespace

TEST_F(TlsVerify, TrustedCertificateForTheHostIsAccepted) {
    KeyPair serverPair = authority().issue("good", "localhost", "127.0.0.1");
    ScriptedServer server(serverPair.cert, serverPair.key);
    verifyWith(authority().caFile().c_str());
    EXPECT_EQ(startResult(byName(server)), 0);
    EXPECT_EQ(startResult(server.url()), 0) << "an IP address is checked against the certificate's IP entry";
}

// An address in the URL is looked for among the certificate's IP entries, as openssl s_client -verify_ip does.
TEST_F(TlsVerify, AnAddressIsCheckedAgainstTheCertificatesIpEntriesIpv4AndIpv6) {
    KeyPair v6Pair = authority().issue("v6", "localhost", "::1");
    ScriptedServer v6(v6Pair.cert, v6Pair.key, "::1");
    KeyPair otherV6Pair = authority().issue("v6-other", "localhost", "::2");
    ScriptedServer otherV6(otherV6Pair.cert, otherV6Pair.key, "::1");
    KeyPair otherV4Pair = authority().issue("v4-other", "localhost", "127.0.0.2");
    ScriptedServer otherV4(otherV4Pair.cert, otherV4Pair.key);
    verifyWith(authority().caFile().c_str());
    EXPECT_EQ(startResult(v6.url()), 0) << v6.url() << " with a certificate for IP ::1";
    for (ScriptedServer* server : {&otherV6, &otherV4}) {
        LogLines::clear();
        EXPECT_EQ(startResult(server->url()), -2) << server->url() << " with a certificate for another address";
        EXPECT_TRUE(logged("name mismatch")) << "the log does not say why";
    }
}

TEST_F(TlsVerify, CertificateForAnotherNameIsRefusedAndSaysSo) {
    KeyPair serverPair = authority().issue("other", "other.example", "10.9.9.9");
    ScriptedServer server(serverPair.cert, serverPair.key);
    verifyWith(authority().caFile().c_str());
    EXPECT_EQ(startResult(byName(server)), -2);
    EXPECT_TRUE(logged("name mismatch")) << "the log does not say why";
    EXPECT_EQ(server.sessions.load(), 0);
}

TEST_F(TlsVerify, ExpiredCertificateIsRefusedAndSaysSo) {
    KeyPair serverPair = authority().issueExpired("expired", "localhost", "127.0.0.1");
    ScriptedServer server(serverPair.cert, serverPair.key);
    verifyWith(authority().caFile().c_str());
    EXPECT_EQ(startResult(byName(server)), -2);
    EXPECT_TRUE(logged("expired")) << "the log does not say why";
}

TEST_F(TlsVerify, UnknownIssuerIsRefusedAndSaysSo) {
    KeyPair serverPair = authority().issue("unknown", "localhost", "127.0.0.1");
    ScriptedServer server(serverPair.cert, serverPair.key);
    verifyWith(nullptr); // the system store does not know the test CA
    EXPECT_EQ(startResult(byName(server)), -2);
    EXPECT_TRUE(logged("unknown issuer")) << "the log does not say why";
}

TEST_F(TlsVerify, VerificationOffAcceptsEveryCertificate) {
    KeyPair goodPair = authority().issue("off-good", "localhost", "127.0.0.1");
    ScriptedServer good(goodPair.cert, goodPair.key);
    KeyPair otherPair = authority().issue("off-other", "other.example", "10.9.9.9");
    ScriptedServer other(otherPair.cert, otherPair.key);
    KeyPair expiredPair = authority().issueExpired("off-expired", "localhost", "127.0.0.1");
    ScriptedServer expired(expiredPair.cert, expiredPair.key);
    for (ScriptedServer* server : {&good, &other, &expired}) EXPECT_EQ(startResult(byName(*server)), 0);
}

TEST_F(TlsVerify, CaWithVerificationOffIsRefused) {
    QvAsrTlsSettings settings{false, "/etc/ssl/certs/ca-certificates.crt", nullptr};
    EXPECT_EQ(setTlsSettings(&settings), -1);
    QvAsrTlsSettings folder{false, nullptr, "/etc/ssl/certs"};
    EXPECT_EQ(setTlsSettings(&folder), -1);
}

// A CA file is read by setTlsSettings itself: a bad one is refused there, not blamed on the server,
// and each call reads the file again.
TEST_F(TlsVerify, CaFileIsReadAndCheckedAtEachCall) {
    KeyPair serverPair = authority().issue("file", "localhost", "127.0.0.1");
    ScriptedServer server(serverPair.cert, serverPair.key);
    std::string der = scratchPath("ca.der"), noise = scratchPath("noise.pem"), missing = scratchPath("missing.pem");
    ASSERT_EQ(std::system(("openssl x509 -in " + authority().caFile() + " -outform DER -out " + der).c_str()), 0);
    const char garbage[] = "\x30\x82\x01\x0a\xff\x00 -----BEGIN CERTIFICATE-----\nQUJD\n"; // and no end
    std::ofstream(noise, std::ios::binary) << std::string(garbage, sizeof garbage - 1);
    for (const std::string& bad : {der, noise, missing}) {
        QvAsrTlsSettings settings{true, bad.c_str(), nullptr};
        EXPECT_EQ(setTlsSettings(&settings), -1) << bad;
        EXPECT_TRUE(logged("CA file " + bad)) << "no log line names " << bad;
    }

    std::string rewritten = scratchPath("rewritten.pem");
    copyFile(serverPair.cert, rewritten); // a certificate, but not the server's CA
    verifyWith(rewritten.c_str());
    EXPECT_EQ(startResult(byName(server)), -2);
    copyFile(authority().caFile(), rewritten);
    verifyWith(rewritten.c_str());
    EXPECT_EQ(startResult(byName(server)), 0) << "the rewritten file was not read again";
    copyFile(serverPair.cert, rewritten);
    EXPECT_EQ(startResult(byName(server)), 0) << "a rewrite counts only from the next setTlsSettings";
    verifyWith(rewritten.c_str());
    EXPECT_EQ(startResult(byName(server)), -2) << "the CA removed from the file is still trusted";
}

// Settings that no session uses any more make room: an application may rotate its CA file forever.
TEST_F(TlsVerify, CaSettingsMayChangeForever) {
    KeyPair serverPair = authority().issue("rotation", "localhost", "127.0.0.1");
    ScriptedServer server(serverPair.cert, serverPair.key);
    for (int round = 0; round < 24; ++round) {
        std::string rotating = scratchPath("rotating-" + std::to_string(round) + ".pem");
        copyFile(authority().caFile(), rotating);
        std::ofstream(rotating, std::ios::app) << "# round " << round << "\n"; // new contents, new settings
        verifyWith(rotating.c_str());
        RecordingListener& listener = listen();
        QvAsrClient* client = make(listener);
        ASSERT_NO_FATAL_FAILURE(startSession(client, listener, byName(server))) << "round " << round;
        ASSERT_EQ(client->stop(), 0);
        ASSERT_TRUE(listener.waitFor("stop")) << "round " << round;
    }
}

TEST_F(TlsVerify, CaFolderIsTrustedOnlyWhereGiven) {
    KeyPair serverPair = authority().issue("folder", "localhost", "127.0.0.1");
    ScriptedServer server(serverPair.cert, serverPair.key);
    QvAsrTlsSettings folder{true, nullptr, authority().caFolder().c_str()};
    ASSERT_EQ(setTlsSettings(&folder), 0);
    EXPECT_EQ(startResult(byName(server)), 0);

    std::string missing = authority().caFolder() + "-missing";
    QvAsrTlsSettings wrong{true, nullptr, missing.c_str()};
    EXPECT_EQ(setTlsSettings(&wrong), -1) << "a mistyped folder is taken";
    EXPECT_TRUE(logged("CA folder " + missing + " does not exist")) << "a mistyped folder goes unmentioned";

    verifyWith(nullptr);
    EXPECT_EQ(startResult(byName(server)), -2) << "the folder's CA leaked into the system store's sessions";
    EXPECT_TRUE(logged("unknown issuer")) << "the log does not say why";
}
