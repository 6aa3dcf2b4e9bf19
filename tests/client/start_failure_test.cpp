// SPDX-License-Identifier: Apache-2.0
// Why a start failed, as the optional failure listener hears it: one case
// per step that can fail, each against a real server or port on loopback.
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>

#include "cert_authority.h"
#include "client_test_base.h"
#include "program_run.h"
#include "refusing_port.h"
#include "scratch_file.h"
#include "tinyproxy.h"
#include "wire_peer.h"

using namespace quorvex::test;
using namespace QUORVEX;

namespace {

using Category = QvAsrStartFailureCategory;

struct HeardFailure {
    Category category = Category::Other;
    int status = 0;
    int retryAfterSeconds = 0;
    std::string text;
    int startsBefore = 0; // start results already heard when the failure came
};

class FailureListener : public RecordingListener, public QvAsrStartFailureListener {
public:
    void onStartFailure(const QvAsrStartFailure* failure) override {
        std::lock_guard<std::mutex> guard(lock_);
        failures_.push_back({failure->category, failure->status, failure->retryAfterSeconds, failure->text,
                             count("start")});
    }
    std::vector<HeardFailure> failures() {
        std::lock_guard<std::mutex> guard(lock_);
        return failures_;
    }

private:
    std::mutex lock_; // guards failures_
    std::vector<HeardFailure> failures_;
};

class StartFailure : public ClientTest {
protected:
    void TearDown() override {
        setProxySettings(nullptr);
        setTlsSettings(nullptr);
        QvAsrClientLimits defaults{};
        setClientLimits(&defaults);
        ClientTest::TearDown();
    }
    // Starts a session, expects the start result `code` and returns the one failure heard before it.
    HeardFailure failureOf(const std::string& url, int code) {
        listeners_.push_back(std::make_unique<FailureListener>());
        auto& listener = static_cast<FailureListener&>(*listeners_.back());
        EXPECT_EQ(start(make(listener), url), 0);
        EXPECT_TRUE(listener.waitFor("start")) << "onStartResult did not arrive for " << url;
        EXPECT_TRUE(loopBarrier(sharedLoop()));
        if (listener.count("start")) {
            EXPECT_EQ(listener.heard("start")[0].code, code) << url;
        }
        std::vector<HeardFailure> failures = listener.failures();
        EXPECT_EQ(failures.size(), 1u) << "onStartFailure was not called once for " << url;
        if (failures.empty()) return {};
        EXPECT_EQ(failures[0].startsBefore, 0) << "onStartFailure came after onStartResult";
        return failures[0];
    }
};

} // namespace

TEST_F(StartFailure, ARefusedPortAndAnUnknownNameAreToldApart) {
    RefusingPort refusing;
    HeardFailure refused = failureOf(refusing.url("/asr"), -2);
    EXPECT_EQ(refused.category, Category::ConnectionRefused) << refused.text;
    EXPECT_EQ(refused.status, 0);
    EXPECT_NE(refused.text.find("refused"), std::string::npos) << refused.text;
    EXPECT_TRUE(LogLines::contains("QUORVEX::QvAsrClientImpl::onConnectErr")) << "the line is the name alone";

    HeardFailure unknown = failureOf(unresolvableUrl("/asr"), -2);
    EXPECT_EQ(unknown.category, Category::NameNotResolved) << unknown.text;
}

TEST_F(StartFailure, WrongTokenAndBusyServerCarryTheirMsgCode) {
    ScriptedServer server;
    server.startCode = 401;
    HeardFailure wrongToken = failureOf(server.url(), -4);
    EXPECT_EQ(wrongToken.category, Category::SessionRefused);
    EXPECT_EQ(wrongToken.status, 401);
    server.startCode = 503;
    HeardFailure busy = failureOf(server.url(), -4);
    EXPECT_EQ(busy.category, Category::SessionRefused);
    EXPECT_EQ(busy.status, 503);
    EXPECT_EQ(busy.text, "") << "the server's msg_desc was empty";
}

TEST_F(StartFailure, UpgradeRefusedCarriesTheHttpStatus) {
    WirePeer notFound(WirePeer::Mode::NotFound);
    HeardFailure refused = failureOf(notFound.url(), -2);
    EXPECT_EQ(refused.category, Category::UpgradeRefused) << refused.text;
    EXPECT_EQ(refused.status, 404);
}

TEST_F(StartFailure, SilenceAfterTheUpgradeIsAnAnswerTimeout) {
    ScriptedServer server;
    server.answerStart = false;
    QvAsrClientLimits limits{};
    limits.startTimeoutMs = 300;
    ASSERT_EQ(setClientLimits(&limits), 0);
    HeardFailure silent = failureOf(server.url(), -2);
    EXPECT_EQ(silent.category, Category::AnswerTimeout) << silent.text;
}

TEST_F(StartFailure, CertificateRejectionIsToldFromOtherTlsFailures) {
    CertAuthority authority;
    KeyPair pair = authority.issue("failure", "localhost", "127.0.0.1");
    ScriptedServer tlsServer(pair.cert, pair.key);
    QvAsrTlsSettings verify{true, nullptr, nullptr}; // the system store does not know the test CA
    ASSERT_EQ(setTlsSettings(&verify), 0);
    HeardFailure rejected = failureOf("wss://localhost:" + std::to_string(tlsServer.port()) + "/asr", -2);
    EXPECT_EQ(rejected.category, Category::CertificateRejected) << rejected.text;
    EXPECT_NE(rejected.text.find("unknown issuer"), std::string::npos) << rejected.text;

    ScriptedServer plain;
    HeardFailure notTls = failureOf("wss://127.0.0.1:" + std::to_string(plain.port()) + "/asr", -2);
    EXPECT_EQ(notTls.category, Category::TlsHandshakeFailed) << notTls.text;
    EXPECT_NE(notTls.text.find("does not speak TLS"), std::string::npos) << notTls.text;

    // Past OpenSSL's 100 KiB for a handshake message: the leaf, then its CA 250 times over.
    std::string chain = scratchPath("huge-chain.pem");
    {
        std::ifstream leaf(pair.cert), ca(authority.caFile());
        std::stringstream leafText, caText;
        leafText << leaf.rdbuf();
        caText << ca.rdbuf();
        std::ofstream out(chain);
        out << leafText.str();
        for (int i = 0; i < 250; ++i) out << caText.str();
    }
    ScriptedServer huge(chain, pair.key);
    HeardFailure tooLarge = failureOf("wss://localhost:" + std::to_string(huge.port()) + "/asr", -2);
    EXPECT_EQ(tooLarge.category, Category::TlsHandshakeFailed) << tooLarge.text;
    EXPECT_NE(tooLarge.text.find("certificate chain"), std::string::npos) << tooLarge.text;
    for (const std::string& text : {notTls.text, tooLarge.text})
        EXPECT_EQ(text.find("error:"), std::string::npos) << "OpenSSL's code instead of words: " << text;
}

TEST_F(StartFailure, ProxyFailuresAreNotServerFailures) {
    if (!Tinyproxy::installed()) GTEST_SKIP() << "tinyproxy is not installed (scripts/deps.sh)";
    ScriptedServer server;
    RefusingPort dead;
    std::string deadUrl = "http://127.0.0.1:" + std::to_string(dead.port());
    QvAsrProxySettings deadProxy{deadUrl.c_str(), nullptr, nullptr, true, false};
    ASSERT_EQ(setProxySettings(&deadProxy), 0);
    HeardFailure unreachable = failureOf(server.url(), -2);
    EXPECT_EQ(unreachable.category, Category::ProxyFailed) << unreachable.text;

    Tinyproxy asking("alice", "s3cret");
    std::string askingUrl = asking.url();
    QvAsrProxySettings noCredentials{askingUrl.c_str(), nullptr, nullptr, true, false};
    ASSERT_EQ(setProxySettings(&noCredentials), 0);
    HeardFailure refused = failureOf(server.url(), -2);
    EXPECT_EQ(refused.category, Category::ProxyFailed) << refused.text;
    EXPECT_EQ(refused.status, 407);
    EXPECT_EQ(server.sessions.load(), 0);
}

// The interface found by dynamic_cast across the shared library's boundary,
// on a listener class the application compiled with hidden visibility; and
// a plain listener still hears its start result.
TEST_F(StartFailure, AnApplicationOfTheSharedLibraryHearsTheReason) {
    RefusingPort refusing;
    ProgramRun withReason = runProgram(std::string(QUORVEX_START_FAILURE_APP) + " " + refusing.url("/asr"));
    EXPECT_EQ(withReason.exitCode, 0) << withReason.output;
    EXPECT_NE(withReason.output.find("failure 1 0\nstart -2\n"), std::string::npos) << withReason.output;
    ProgramRun plain = runProgram(std::string(QUORVEX_START_FAILURE_APP) + " " + refusing.url("/asr") + " plain");
    EXPECT_EQ(plain.exitCode, 0) << plain.output;
    EXPECT_EQ(plain.output, "start -2\n");
}

// Built with -fno-rtti: init must not look for type information that is not
// there, and the failure listener registered explicitly is heard.
TEST_F(StartFailure, AnApplicationBuiltWithoutRttiRegistersItsFailureListener) {
    RefusingPort refusing;
    std::string app = std::string(QUORVEX_START_FAILURE_APP_NORTTI) + " " + refusing.url("/asr");
    ProgramRun found = runProgram(app);
    EXPECT_EQ(found.exitCode, 0) << found.output;
    EXPECT_EQ(found.output, "start -2\n") << "without type information nothing is found";
    ProgramRun registered = runProgram(app + " registered");
    EXPECT_EQ(registered.exitCode, 0) << registered.output;
    EXPECT_EQ(registered.output, "failure 1 0\nstart -2\n");
}
