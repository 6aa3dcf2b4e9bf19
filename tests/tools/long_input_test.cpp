// quorvex-transcribe with its defaults on inputs far longer than the server's
// backlog: flow control, not a failure, when the client is faster than recognition.
#include <signal.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <thread>

#include "child_process.h"
#include "server/asr_server.h"
#include "transcribe/audio_source.h"

using quorvex::test::ChildProcess;
using namespace quorvex::server;

namespace {

const std::string kLibrivox = "/usr/share/pocketsphinx/test/data/librivox/sense_and_sensibility_01_austen_64kb-";

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
        // The five recordings four times over: 99 s of speech, a hundred times the backlog.
        std::vector<std::string> argv{QUORVEX_SOX, "-D"};
        for (int round = 0; round < 4; ++round)
            for (const char* id : {"0870", "0880", "0890", "0920", "0930"}) argv.push_back(kLibrivox + id + ".wav");
        argv.push_back(file());
        ChildProcess sox(argv);
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
        auto engine = makePocketsphinxEngine(kDefaultModelDir, error);
        ASSERT_TRUE(engine) << error;
        ServerOptions options;
        options.maxBacklogMs = 1000; // a second: any client faster than recognition meets it at once
        options.workers = 1;
        server_ = std::make_unique<AsrServer>(options, std::move(engine));
        ASSERT_TRUE(server_->start(error)) << error;
    }

    // The tool finished, the server held it back and never ended the session
    // for it, and every text the server sent came out.
    void expectFlowControlled(ChildProcess& tool, std::chrono::seconds deadline, std::size_t rounds) {
        ASSERT_EQ(tool.waitExit(deadline), 0) << tool.output();
        std::string output = tool.output();
        const Metrics& metrics = server_->metrics();
        EXPECT_GT(metrics.readingPauses.load(), 0) << "the input never filled the backlog: nothing was tested";
        EXPECT_EQ(metrics.refusals[static_cast<std::size_t>(Refusal::Backlog)].load(), 0) << output;
        EXPECT_EQ(static_cast<long long>(count(output, "\"session_id\":")), metrics.textsSent.load())
            << "every text sent reaches the output:\n" << output;
        // Two recordings of each round say "amiable".
        EXPECT_GE(count(output, "amiable"), 2 * rounds) << "the words of every round:\n" << output;
    }

    static std::string* directory_;
    std::unique_ptr<AsrServer> server_;
};
std::string* LongInput::directory_ = nullptr;

} // namespace

TEST_F(LongInput, AFileOfManyBacklogsIsTranscribedWhole) {
    ChildProcess tool({QUORVEX_TRANSCRIBE, "--json", "--url", server_->url(), file()});
    expectFlowControlled(tool, std::chrono::seconds(240), 4);
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
    expectFlowControlled(tool, std::chrono::seconds(240), 2);
    if (!tool.waitExit(std::chrono::milliseconds(0))) tool.signal(SIGKILL); // the writer must not block for ever
    writer.join();
}
