// quorvex-transcribe as a user runs it: messages and exit codes.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "program_run.h"
#include "refusing_port.h"
#include "server/asr_server.h"

namespace {

using ToolRun = quorvex::test::ProgramRun;

ToolRun transcribe(const std::string& arguments) {
    return quorvex::test::runProgram(std::string(QUORVEX_TRANSCRIBE) + " " + arguments);
}

// A canonical WAV header with the given format and a second of silence.
std::string writeWav(int rate, int channels, int bits) {
    std::string path = ::testing::TempDir() + "quorvex-" + std::to_string(rate) + "-" + std::to_string(channels) + ".wav";
    std::uint32_t dataBytes = static_cast<std::uint32_t>(rate * channels * bits / 8);
    std::ofstream out(path, std::ios::binary);
    auto u32 = [&out](std::uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&out](std::uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    out.write("RIFF", 4);
    u32(36 + dataBytes);
    out.write("WAVEfmt ", 8);
    u32(16);
    u16(1);
    u16(static_cast<std::uint16_t>(channels));
    u32(static_cast<std::uint32_t>(rate));
    u32(static_cast<std::uint32_t>(rate * channels * bits / 8));
    u16(static_cast<std::uint16_t>(channels * bits / 8));
    u16(static_cast<std::uint16_t>(bits));
    out.write("data", 4);
    u32(dataBytes);
    out << std::string(dataBytes, '\0');
    return path;
}

} // namespace

TEST(TranscribeTool, UnusableFilesAreExplained) {
    ToolRun missing = transcribe("/no/such/file.wav");
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_NE(missing.output.find("/no/such/file.wav: cannot open the file"), std::string::npos) << missing.output;

    ToolRun stereo = transcribe(writeWav(44100, 2, 16));
    EXPECT_EQ(stereo.exitCode, 2);
    EXPECT_NE(stereo.output.find("44100 Hz, 2 channel(s), 16 bits"), std::string::npos) << stereo.output;
    EXPECT_NE(stereo.output.find("sox '"), std::string::npos) << "names a command that converts";

    ToolRun none = transcribe("");
    EXPECT_EQ(none.exitCode, 2);
    EXPECT_NE(none.output.find("usage:"), std::string::npos);
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
    EXPECT_NE(wrong.output.find("refused the session"), std::string::npos) << wrong.output;

    ToolRun right = transcribe("--json --url " + server.url() + " --token secret " + wav);
    EXPECT_EQ(right.exitCode, 0) << right.output;
    EXPECT_NE(right.output.find("\"text\":\"bytes=32000 fnv1a="), std::string::npos) << right.output;
    EXPECT_NE(right.output.find("\"fin\":1"), std::string::npos);
}
