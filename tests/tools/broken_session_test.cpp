// SPDX-License-Identifier: Apache-2.0
// quorvex-transcribe when its session breaks off, and what it shows of its
// embedded server: what was recognised stays on the screen, a session
// resumed on a restarted server recognises what an unbroken one does, the
// server's operator lines stay off the screen unless asked for.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <iterator>
#include <memory>
#include <regex>
#include <vector>

#include "child_process.h"
#include "program_run.h"
#include "scratch_file.h"
#include "server_process.h"
#include "transcribe/audio_source.h"
#include "wav_file.h"

using namespace quorvex::test;

namespace {

// A pseudo-terminal for a child's standard output, and what it showed.
class PseudoTerminal {
public:
    PseudoTerminal() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0)
            side_ = ::open(ptsname(master_), O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    ~PseudoTerminal() {
        closeSide();
        if (master_ >= 0) ::close(master_);
    }
    int side() const { return side_; }
    void closeSide() { // once the child has its copy: its exit then ends the reading
        if (side_ >= 0) ::close(side_);
        side_ = -1;
    }
    // Reads until `pattern` matches what was shown, or the child's side
    // closes, or the deadline; true on a match.
    bool waitFor(const std::regex& pattern, std::chrono::milliseconds deadline = kDeadline) {
        auto until = std::chrono::steady_clock::now() + deadline;
        while (!std::regex_search(shown_, pattern)) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
            pollfd readable{master_, POLLIN, 0};
            if (left <= 0 || ::poll(&readable, 1, static_cast<int>(left)) <= 0) return false;
            char chunk[4096];
            ssize_t got = ::read(master_, chunk, sizeof chunk);
            if (got <= 0) return false; // the child's side is closed: it has exited
            shown_.append(chunk, static_cast<std::size_t>(got));
        }
        return true;
    }
    const std::string& shown() const { return shown_; }

private:
    int master_ = -1, side_ = -1;
    std::string shown_;
};

std::string writeTone(int seconds) {
    std::string samples(static_cast<std::size_t>(seconds) * 32000, '\0');
    for (std::size_t i = 0; i + 1 < samples.size(); i += 2) // a square wave, 500 Hz
        samples[i + 1] = static_cast<char>((i / 2) % 32 < 16 ? 16 : -16);
    return writeWav(scratchPath("tone-" + std::to_string(seconds) + ".wav"), 16000, 1, 16, samples);
}

// Two LibriVox sentences 1.5 s apart: two utterances, so that a final result
// comes in the middle of the file.
std::string writeTwoSentences() {
    const std::string recordings = "/usr/share/pocketsphinx/test/data/librivox/sense_and_sensibility_01_austen_64kb-";
    std::string samples;
    for (const char* id : {"0880", "0870"}) {
        std::vector<unsigned char> pcm;
        std::string error;
        EXPECT_TRUE(quorvex::tools::readAudioFile(recordings + id + ".wav", pcm, error)) << error;
        if (!samples.empty()) samples.append(48000, '\0');
        samples.append(pcm.begin(), pcm.end());
    }
    return writeWav(scratchPath("two-sentences.wav"), 16000, 1, 16, samples);
}

// The final results in --json output, words and times; not the session id,
// which a resumption changes.
std::vector<std::string> finalResults(const std::string& output) {
    static const std::regex final("\"text\":(\"[^\"]*\",\"bg\":[0-9]+,\"ed\":[0-9]+),\"fin\":1");
    std::vector<std::string> found;
    for (std::sregex_iterator at(output.begin(), output.end(), final), end; at != end; ++at)
        found.push_back((*at)[1]);
    return found;
}

} // namespace

// A long file whose server is killed in the middle: what came back before
// is on the screen when the tool exits with its usual code, the unsettled
// partial marked as such, before the error.
TEST(TranscribeBrokenSession, AServerKilledMidFileLeavesItsLastPartialMarkedNotFinal) {
    ServerProcess server({"--engine", "echo", "--bind", "127.0.0.1", "--port", "0"});
    int port = server.port();
    ASSERT_GT(port, 0) << server.output();
    PseudoTerminal terminal;
    ASSERT_GE(terminal.side(), 0);
    ChildProcess::Options onTerminal;
    onTerminal.fds = {{terminal.side(), 1}};
    // 25 s at the pace of speech: the kill comes long before the end.
    ChildProcess tool({QUORVEX_TRANSCRIBE, "--realtime", "--no-resume", "--url",
                       "ws://127.0.0.1:" + std::to_string(port) + "/asr", writeTone(25)},
                      onTerminal);
    terminal.closeSide();
    // The echo engine's partials count the bytes heard: a second's worth first.
    ASSERT_TRUE(terminal.waitFor(std::regex("bytes=32000 fnv1a=[0-9a-f]{8}"), std::chrono::seconds(30)))
        << terminal.shown() << tool.output();
    server.signal(SIGKILL);
    EXPECT_EQ(tool.waitExit(), 5) << tool.output();
    const std::regex marked("\r\033\\[K(bytes=[0-9]+ fnv1a=[0-9a-f]{8}) \\[not final\\]\r?\n");
    EXPECT_TRUE(terminal.waitFor(marked)) << "no partial marked as not final:\n" << terminal.shown();
    std::smatch found;
    const std::string& shown = terminal.shown();
    ASSERT_TRUE(std::regex_search(shown, found, marked));
    std::size_t lastShown = shown.rfind("\r\033[Kbytes=", static_cast<std::size_t>(found.position(0)) - 1);
    ASSERT_NE(lastShown, std::string::npos) << shown;
    EXPECT_EQ(shown.compare(lastShown + 4, found.length(1), found.str(1)), 0)
        << "the marked text is not the last partial shown:\n" << shown;
    EXPECT_NE(tool.output().find("session error: disconnect from server!"), std::string::npos)
        << "the error follows:\n" << tool.output();
}

// By default the tool carries the session over to the server that comes
// back on the same address, says so, and finishes the file.
TEST(TranscribeBrokenSession, AServerKilledAndStartedAgainIsResumedOnByDefault) {
    auto server = std::make_unique<ServerProcess>(std::vector<std::string>{"--engine", "echo", "--bind", "127.0.0.1", "--port", "0"});
    int port = server->port();
    ASSERT_GT(port, 0) << server->output();
    PseudoTerminal terminal;
    ASSERT_GE(terminal.side(), 0);
    ChildProcess::Options onTerminal;
    onTerminal.fds = {{terminal.side(), 1}};
    ChildProcess tool({QUORVEX_TRANSCRIBE, "--realtime", "--url", "ws://127.0.0.1:" + std::to_string(port) + "/asr",
                       writeTone(4)},
                      onTerminal);
    terminal.closeSide();
    ASSERT_TRUE(terminal.waitFor(std::regex("bytes=32000 fnv1a=[0-9a-f]{8}"), std::chrono::seconds(30)))
        << terminal.shown() << tool.output();
    server->signal(SIGKILL);
    server = std::make_unique<ServerProcess>(
        std::vector<std::string>{"--engine", "echo", "--bind", "127.0.0.1", "--port", std::to_string(port)});
    ASSERT_EQ(server->port(), port) << server->output();
    EXPECT_EQ(tool.waitExit(), 0) << tool.output() << terminal.shown();
    EXPECT_TRUE(std::regex_search(tool.output(), std::regex(": resumed: session [0-9a-f]+ -> [0-9a-f]+ after [0-9]+ ms, "
                                                            "replayed [0-9]+ ms")))
        << tool.output();
}

// pocketsphinx on the reference server, killed in the middle of a file and
// started again on its port, twice: before the first final result (the file
// is replayed from its start), and just after it (replayed from its end).
// The final results, words and times alike, are those of an unbroken session.
TEST(TranscribeBrokenSession, AServerKilledMidFileTwiceChangesNoFinalResult) {
    const std::string wav = writeTwoSentences();
    auto server = std::make_unique<ServerProcess>(std::vector<std::string>{"--bind", "127.0.0.1", "--port", "0"});
    const int port = server->port();
    ASSERT_GT(port, 0) << server->output();
    const std::string url = "ws://127.0.0.1:" + std::to_string(port) + "/asr";
    constexpr std::chrono::seconds kRecognised{120}; // 12 s of speech on a busy machine, under a sanitizer
    ChildProcess unbroken({QUORVEX_TRANSCRIBE, "--json", "--url", url, wav});
    ASSERT_EQ(unbroken.waitExit(kRecognised), 0) << unbroken.output();
    const std::vector<std::string> expected = finalResults(unbroken.output());
    ASSERT_EQ(expected.size(), 2u) << "not two utterances:\n" << unbroken.output();

    auto killAndRestart = [&] {
        server->signal(SIGKILL);
        server->exitCode(); // its port is free once it has gone
        server = std::make_unique<ServerProcess>(
            std::vector<std::string>{"--bind", "127.0.0.1", "--port", std::to_string(port)});
        return server->port() == port;
    };
    ChildProcess tool({QUORVEX_TRANSCRIBE, "--json", "--url", url, wav});
    ASSERT_TRUE(tool.waitForOutput("\"fin\":", kRecognised)) << "no result:\n" << tool.output();
    // Recognition takes seconds to reach the first final result: this kill comes before it.
    ASSERT_EQ(tool.output().find("\"fin\":1"), std::string::npos) << "killed too late:\n" << tool.output();
    ASSERT_TRUE(killAndRestart()) << server->output();
    ASSERT_TRUE(tool.waitForOutput("\"fin\":1", kRecognised)) << "no final result:\n" << tool.output();
    ASSERT_TRUE(killAndRestart()) << server->output();
    ASSERT_EQ(tool.waitExit(kRecognised), 0) << tool.output();
    const std::string output = tool.output();
    const std::regex resumed(": resumed: session [0-9a-f]+ -> [0-9a-f]+ after [0-9]+ ms, replayed [0-9]+ ms");
    EXPECT_EQ(std::distance(std::sregex_iterator(output.begin(), output.end(), resumed), std::sregex_iterator()), 2)
        << "not both kills came in the middle of the session:\n" << output;
    EXPECT_EQ(finalResults(output), expected) << output;
}

// The embedded server's lines would break into the transcript on a terminal.
TEST(TranscribeEmbeddedServer, ItsOperatorLinesShowOnlyWithVerbose) {
    std::string wav = writeTone(1);
    ProgramRun quiet = runProgram(std::string(QUORVEX_TRANSCRIBE) + " " + wav);
    EXPECT_EQ(quiet.exitCode, 0) << quiet.output;
    EXPECT_EQ(quiet.output.find("quorvex-server"), std::string::npos) << quiet.output;

    ProgramRun verbose = runProgram(std::string(QUORVEX_TRANSCRIBE) + " --verbose " + wav);
    EXPECT_EQ(verbose.exitCode, 0) << verbose.output;
    const std::regex ended("\nquorvex-server: session [0-9a-f]+ from 127\\.0\\.0\\.1:[0-9]+ ended \\(stop\\) after ");
    EXPECT_TRUE(std::regex_search(verbose.output, ended)) << verbose.output;
}
