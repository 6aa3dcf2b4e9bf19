// SPDX-License-Identifier: Apache-2.0
// quorvex-transcribe as a user runs it: messages and exit codes.
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>

#include <cstdio>
#include <fstream>

#include "asr_fixture.h"
#include "cert_authority.h"
#include "program_run.h"
#include "refusing_port.h"
#include "scratch_file.h"
#include "wav_file.h"
#include "wire_peer.h"
#include "server/asr_server.h"

namespace {

using ToolRun = quorvex::test::ProgramRun;

ToolRun transcribe(const std::string& arguments) {
    return quorvex::test::runProgram(std::string(QUORVEX_TRANSCRIBE) + " " + arguments);
}

// A second of silence in the given format.
std::string writeWav(int rate, int channels, int bits) {
    std::string path = quorvex::test::scratchPath(std::to_string(rate) + "-" + std::to_string(channels) + ".wav");
    std::string silence(static_cast<std::size_t>(rate * channels * bits / 8), '\0');
    return quorvex::test::writeWav(path, rate, channels, bits, silence);
}

} // namespace

TEST(TranscribeTool, UnusableFilesAreExplained) {
    ToolRun missing = transcribe("/no/such/file.wav");
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_NE(missing.output.find("/no/such/file.wav: cannot open the file"), std::string::npos) << missing.output;

    std::string notAudio = quorvex::test::scratchPath("not-audio.wav");
    std::ofstream(notAudio) << "RIFF, but only in name\n";
    ToolRun garbage = transcribe(notAudio);
    EXPECT_EQ(garbage.exitCode, 2);
    EXPECT_NE(garbage.output.find(notAudio + ": not an audio file this tool can read ("), std::string::npos)
        << garbage.output;
    std::remove(notAudio.c_str());

    ToolRun none = transcribe("");
    EXPECT_EQ(none.exitCode, 2);
    EXPECT_NE(none.output.find("usage:"), std::string::npos);
    EXPECT_NE(none.output.find("--help"), std::string::npos) << "points to the help";
}

TEST(TranscribeTool, HelpExplainsEveryOptionAndVersionNamesBoth) {
    ToolRun help = transcribe("--help");
    EXPECT_EQ(help.exitCode, 0);
    for (const char* option : {"--url URL", "--token TOKEN", "--realtime", "--json", "--no-resume", "--verbose",
                               "--help", "--version", "  -  ",
                               "arecord -q -f S16_LE -r 16000 -c 1 -t raw | quorvex-transcribe -", "6  the server's host"})
        EXPECT_NE(help.output.find(option), std::string::npos) << option << " is not explained:\n" << help.output;

    ToolRun version = transcribe("--version");
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.output, "quorvex-transcribe 1.0.0 (libquorvex v1.0.0)\n");

    ToolRun unknown = transcribe("--loud x.wav");
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_NE(unknown.output.find("unknown option --loud"), std::string::npos) << unknown.output;
}

// Each failure names its cause, so that the user knows what to fix.
TEST(TranscribeTool, AnUnknownNameARefusalAndATlsFailureAreToldApart) {
    std::string wav = writeWav(16000, 1, 16);
    ToolRun unknownName = transcribe("--url " + quorvex::test::unresolvableUrl("/asr") + " " + wav);
    EXPECT_EQ(unknownName.exitCode, 6) << unknownName.output;
    EXPECT_NE(unknownName.output.find("cannot resolve the host name 'qqq"), std::string::npos) << unknownName.output;

    quorvex::test::RefusingPort refusingPort;
    ToolRun refused = transcribe("--url " + refusingPort.url("/asr") + " " + wav);
    EXPECT_EQ(refused.exitCode, 3) << refused.output;
    EXPECT_NE(refused.output.find("refused; is the server running"), std::string::npos) << refused.output;

    quorvex::server::AsrServer plain(quorvex::server::ServerOptions{}, quorvex::server::makeEchoEngine());
    std::string error;
    ASSERT_TRUE(plain.start(error)) << error;
    ToolRun tls = transcribe("--url wss://127.0.0.1:" + std::to_string(plain.port()) + "/asr " + wav);
    EXPECT_EQ(tls.exitCode, 7) << tls.output;
    EXPECT_NE(tls.output.find("TLS handshake with 127.0.0.1:" + std::to_string(plain.port()) + " failed"),
              std::string::npos)
        << tls.output;

    ToolRun notAUrl = transcribe("--url http://127.0.0.1/asr " + wav);
    EXPECT_EQ(notAUrl.exitCode, 2) << notAUrl.output;
}

TEST(TranscribeTool, ADrainingServerAndAWrongPathAreToldApart) {
    std::string wav = writeWav(16000, 1, 16);
    quorvex::server::AsrServer server(quorvex::server::ServerOptions{}, quorvex::server::makeEchoEngine());
    std::string error;
    ASSERT_TRUE(server.start(error)) << error;
    std::string where = "ws://127.0.0.1:" + std::to_string(server.port());
    ToolRun wrongPath = transcribe("--url " + where + "/nowhere " + wav);
    EXPECT_EQ(wrongPath.exitCode, 8) << wrongPath.output;
    EXPECT_NE(wrongPath.output.find("has no WebSocket on /nowhere (404); is the path right?"), std::string::npos)
        << wrongPath.output;

    server.beginDrain();
    ToolRun draining = transcribe("--url " + server.url() + " " + wav);
    EXPECT_EQ(draining.exitCode, 3) << draining.output;
    EXPECT_NE(draining.output.find("takes no new sessions now (503: shutting down or busy); retry in 5 s"),
              std::string::npos)
        << "a draining server is not a wrong path: " << draining.output;
}

TEST(TranscribeTool, AServerThatNeverAnswersEndsWithinTheTimeout) {
    std::string wav = writeWav(16000, 1, 16);
    quorvex::test::WirePeer silent(quorvex::test::WirePeer::Mode::NeverAnswer);
    auto begun = std::chrono::steady_clock::now();
    ToolRun run = transcribe("--timeout 1 --url " + silent.url() + " " + wav);
    auto took = std::chrono::steady_clock::now() - begun;
    EXPECT_EQ(run.exitCode, 8) << run.output;
    EXPECT_NE(run.output.find("accepted the connection"), std::string::npos) << run.output;
    EXPECT_LT(took, std::chrono::seconds(10)) << "--timeout 1 was not the bound";
    for (const char* bad : {"0", "abc", "3601", ""})
        EXPECT_EQ(transcribe(std::string("--timeout ") + bad + " " + wav).exitCode, 2) << "--timeout " << bad;
}

TEST(TranscribeTool, RefusedConnectionAndWrongTokenHaveTheirOwnCodes) {
    std::string wav = writeWav(16000, 1, 16);
    quorvex::test::RefusingPort refusingPort;
    ToolRun refused = transcribe("--url " + refusingPort.url("/asr") + " " + wav);
    EXPECT_EQ(refused.exitCode, 3) << refused.output;
    EXPECT_NE(refused.output.find("refused"), std::string::npos) << refused.output;

    quorvex::server::ServerOptions options;
    options.token = "secret";
    quorvex::server::AsrServer server(options, quorvex::server::makeEchoEngine());
    std::string error;
    ASSERT_TRUE(server.start(error)) << error;
    ToolRun wrong = transcribe("--url " + server.url() + " --token guess " + wav);
    EXPECT_EQ(wrong.exitCode, 4) << wrong.output;
    EXPECT_NE(wrong.output.find("refused the session: wrong token (401: invalid token); check --token"),
              std::string::npos)
        << wrong.output;

    ToolRun right = transcribe("--json --url " + server.url() + " --token secret " + wav);
    EXPECT_EQ(right.exitCode, 0) << right.output;
    EXPECT_NE(right.output.find("\"text\":\"bytes=32000 fnv1a="), std::string::npos) << right.output;
    EXPECT_NE(right.output.find("\"fin\":1"), std::string::npos);
}

// A refusal of the session says what to do about it: wait, slow down, or fix the token.
TEST(TranscribeTool, ABusyServerIsNotAWrongToken) {
    std::string wav = writeWav(16000, 1, 16);
    quorvex::test::ScriptedServer server;
    struct Refusal {
        int msgCode, exitCode;
        const char* says;
    };
    for (Refusal refusal : {Refusal{503, 11, "busy and takes no new session now (503"},
                            Refusal{429, 11, "too many attempts (429); slow down, and retry later"},
                            Refusal{401, 4, "wrong token (401); check --token"}}) {
        server.startCode = refusal.msgCode;
        ToolRun run = transcribe("--url " + server.url() + " " + wav);
        EXPECT_EQ(run.exitCode, refusal.exitCode) << run.output;
        EXPECT_NE(run.output.find(refusal.says), std::string::npos) << run.output;
    }
}

// As curl does: a wss:// server must show a certificate the system (or --ca-file) trusts.
TEST(TranscribeTool, WssServersAreVerifiedUnlessInsecure) {
    std::string wav = writeWav(16000, 1, 16);
    quorvex::test::CertAuthority authority;
    quorvex::test::KeyPair pair = authority.issue("tool", "localhost", "127.0.0.1");
    quorvex::test::ScriptedServer server(pair.cert, pair.key);
    std::string where = "localhost:" + std::to_string(server.port());
    std::string url = " --url wss://" + where + "/asr " + wav;

    ToolRun unverified = transcribe(url);
    EXPECT_EQ(unverified.exitCode, 9) << unverified.output;
    EXPECT_NE(unverified.output.find("the certificate of " + where + " was not accepted (certificate verification "
                                     "failed: unknown issuer); for a private CA give --ca-file FILE"),
              std::string::npos)
        << unverified.output;
    ToolRun insecure = transcribe("--insecure" + url);
    EXPECT_EQ(insecure.exitCode, 0) << insecure.output;
    ToolRun trusted = transcribe("--ca-file " + authority.caFile() + url);
    EXPECT_EQ(trusted.exitCode, 0) << trusted.output;
    EXPECT_EQ(transcribe("--ca-file /no/such/ca.pem" + url).exitCode, 2);
}

TEST(TranscribeTool, ADeadProxyIsNotTheServersFault) {
    std::string wav = writeWav(16000, 1, 16);
    quorvex::test::ScriptedServer server;
    quorvex::test::RefusingPort deadProxy;
    std::string proxy = "http://127.0.0.1:" + std::to_string(deadProxy.port());
    std::string url = " --url " + server.url() + " " + wav;

    ToolRun given = transcribe("--proxy " + proxy + url);
    EXPECT_EQ(given.exitCode, 10) << given.output;
    EXPECT_NE(given.output.find("the proxy failed, not the server (proxy 127.0.0.1:" +
                                std::to_string(deadProxy.port())),
              std::string::npos)
        << given.output;
    std::string fromEnvironment = "http_proxy=" + proxy + " " + QUORVEX_TRANSCRIBE;
    ToolRun inherited = quorvex::test::runProgram(fromEnvironment + url);
    EXPECT_EQ(inherited.exitCode, 10) << inherited.output;
    ToolRun direct = quorvex::test::runProgram(fromEnvironment + " --no-proxy" + url);
    EXPECT_EQ(direct.exitCode, 0) << "--no-proxy did not go direct: " << direct.output;
    EXPECT_EQ(transcribe("--proxy " + proxy + " --no-proxy" + url).exitCode, 2);
    EXPECT_EQ(server.sessions.load(), 1);
}
