// SPDX-License-Identifier: Apache-2.0
// quorvex-transcribe with its defaults on inputs far longer than the server's
// backlog: flow control, not a failure, when the client is faster than recognition.
#include <signal.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <thread>

#include "child_process.h"
#include "server/asr_server.h"
#include "transcribe/audio_source.h"
#include "transcribe/flow_control.h"

using quorvex::test::ChildProcess;
using namespace quorvex::server;

namespace {

// The echo engine at a speed of recognition the test chooses: twenty times
// real time, so a three-minute input takes seconds of work, and a client
// that sends as fast as the connection takes it still runs far ahead.
class PacedEchoEngine : public Engine {
public:
    std::unique_ptr<Recogniser> open() override { return std::make_unique<Paced>(echo_->open()); }
    const char* name() const override { return "paced-echo"; }
    unsigned int suggestedSessions(unsigned int workers) const override { return 4 * workers; }

private:
    class Paced : public Recogniser {
    public:
        explicit Paced(std::unique_ptr<Recogniser> inner) : inner_(std::move(inner)) {}
        std::vector<Recognised> feed(const std::int16_t* samples, std::size_t count) override {
            constexpr std::size_t kSamplesPerMs = 16, kTimesRealTime = 20;
            std::this_thread::sleep_for(std::chrono::microseconds(count * 1000 / kSamplesPerMs / kTimesRealTime));
            return inner_->feed(samples, count);
        }
        std::vector<Recognised> finish() override { return inner_->finish(); }

    private:
        std::unique_ptr<Recogniser> inner_;
    };
    std::unique_ptr<Engine> echo_ = makeEchoEngine();
};

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t found = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++found;
    return found;
}

class LongInput : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string pattern = ::testing::TempDir() + "quorvex-long-XXXXXX";
        if (!mkdtemp(pattern.data())) return;
        directory_ = new std::string(pattern + "/");
        // Three minutes of tone: 180 times the backlog.
        ChildProcess sox({QUORVEX_SOX, "-D", "-n", "-r", "16000", "-c", "1", "-b", "16", file(), "synth", "180",
                          "sine", "440"});
        EXPECT_EQ(sox.waitExit(std::chrono::seconds(30)), 0) << sox.output();
    }
    static void TearDownTestSuite() {
        if (!directory_) return;
        std::remove(file().c_str());
        std::remove(directory_->c_str());
        delete directory_;
    }
    static std::string file() { return *directory_ + "long.wav"; }

    void SetUp() override {
        ASSERT_NE(directory_, nullptr) << "no scratch directory under " << ::testing::TempDir();
        std::string error;
        ServerOptions options;
        options.maxBacklogMs = 1000; // a second: any client faster than recognition meets it at once
        options.workers = 1;
        server_ = std::make_unique<AsrServer>(options, std::make_unique<PacedEchoEngine>());
        ASSERT_TRUE(server_->start(error)) << error;
    }

    // The tool finished, the server held it back and never ended the session
    // for it, every text the server sent came out, and the last one counts
    // every byte of the input.
    void expectFlowControlled(ChildProcess& tool, std::chrono::seconds deadline, std::size_t pcmBytes) {
        ASSERT_EQ(tool.waitExit(deadline), 0) << tool.output();
        std::string output = tool.output();
        const Metrics& metrics = server_->metrics();
        EXPECT_GT(metrics.readingPauses.load(), 0) << "the input never filled the backlog: nothing was tested";
        EXPECT_EQ(metrics.refusals[static_cast<std::size_t>(Refusal::Backlog)].load(), 0) << output;
        EXPECT_EQ(static_cast<long long>(count(output, "\"session_id\":")), metrics.textsSent.load())
            << "every text sent reaches the output:\n" << output;
        EXPECT_NE(output.find("bytes=" + std::to_string(pcmBytes) + " "), std::string::npos)
            << "the final text does not count all " << pcmBytes << " bytes:\n" << output;
    }

    static std::string* directory_;
    std::unique_ptr<AsrServer> server_;
};
std::string* LongInput::directory_ = nullptr;

} // namespace

TEST_F(LongInput, AFileOfManyBacklogsIsTranscribedWhole) {
    ChildProcess tool({QUORVEX_TRANSCRIBE, "--json", "--url", server_->url(), file()});
    expectFlowControlled(tool, std::chrono::seconds(100), 180 * 32000);
}

TEST_F(LongInput, StandardInputWrittenAsFastAsThePipeTakesIt) {
    std::vector<unsigned char> pcm;
    std::string error;
    ASSERT_TRUE(quorvex::tools::readAudioFile(file(), pcm, error)) << error;
    pcm.resize((pcm.size() / 2) & ~std::size_t(1)); // half of it is enough here
    ChildProcess::Options piped;
    piped.pipeStdin = true;
    ChildProcess tool({QUORVEX_TRANSCRIBE, "--json", "--url", server_->url(), "-"}, piped);
    std::thread writer([&] {
        tool.write(pcm.data(), pcm.size()); // blocks while the tool holds back
        tool.closeStdin();
    });
    expectFlowControlled(tool, std::chrono::seconds(100), pcm.size());
    if (!tool.waitExit(std::chrono::milliseconds(0))) tool.signal(SIGKILL); // the writer must not block for ever
    writer.join();
}

// Results are the only news of the recogniser, and silence brings none: the
// sender must still move with real time however long the silence lasts.
TEST(FlowControl, ResultsMayRunAheadButSilenceOfAnyLengthStillStreams) {
    using quorvex::tools::kAheadMs;
    using quorvex::tools::mayHaveSentMs;
    constexpr long long kHour = 3600 * 1000;
    EXPECT_EQ(mayHaveSentMs(0, 0), kAheadMs);
    EXPECT_EQ(mayHaveSentMs(kHour, 1000), kHour + kAheadMs) << "results ahead of real time do not pull the sender";
    EXPECT_EQ(mayHaveSentMs(1000, kHour), kHour + kAheadMs) << "an hour of silence held the sender back";
}
