// SPDX-License-Identifier: Apache-2.0
// The main job end to end: real speech through the library and the reference
// server, and many echo sessions at once.
#include <gtest/gtest.h>
#include <pocketsphinx.h>

#include <algorithm>
#include <fstream>
#include <future>
#include <random>
#include <sstream>
#include <thread>

#include "asr_fixture.h"
#include "server/asr_server.h"
#include "transcribe/audio_source.h"
#include "transport/wss_client.h"
#include "transport/wss_config.h"
#include "transport/wss_context.h"

using namespace quorvex::test;
using namespace quorvex::server;
using namespace QUORVEX;

namespace {

const std::string kLibrivox = "/usr/share/pocketsphinx/test/data/librivox/";

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> result;
    for (std::string word; in >> word;)
        if (word != "<s>" && word != "</s>") result.push_back(word);
    return result;
}

// Word-level edit distance.
std::size_t editDistance(const std::vector<std::string>& reference, const std::vector<std::string>& hypothesis) {
    std::vector<std::size_t> row(hypothesis.size() + 1);
    for (std::size_t j = 0; j <= hypothesis.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= reference.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= hypothesis.size(); ++j) {
            std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (reference[i - 1] == hypothesis[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[hypothesis.size()];
}

#ifdef QUORVEX_SANITIZED_BUILD
constexpr std::size_t kRecordings = 2; // every code path, at a sanitizer's speed
#else
constexpr std::size_t kRecordings = 5;
#endif

std::map<std::string, std::string> references() {
    std::map<std::string, std::string> byFile;
    std::ifstream in(kLibrivox + "transcription");
    for (std::string line; byFile.size() < kRecordings && std::getline(in, line);) {
        auto open = line.rfind('(');
        byFile[line.substr(open + 1, line.rfind(')') - open - 1)] = line.substr(0, open);
    }
    return byFile;
}

std::vector<unsigned char> pcmOf(const std::string& file) {
    std::vector<unsigned char> pcm;
    std::string error;
    EXPECT_TRUE(quorvex::tools::readAudioFile(file, pcm, error)) << error;
    return pcm;
}

// pocketsphinx on its own: the whole file as one utterance.
std::string decodeDirectly(const std::vector<unsigned char>& pcm) {
    std::string model = kDefaultModelDir;
    cmd_ln_t* config = cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", (model + "/en-us").c_str(), "-lm",
                                   (model + "/en-us.lm.bin").c_str(), "-dict", (model + "/cmudict-en-us.dict").c_str(),
                                   "-logfn", "/dev/null", nullptr);
    ps_decoder_t* decoder = ps_init(config);
    ps_start_utt(decoder);
    ps_process_raw(decoder, reinterpret_cast<const int16*>(pcm.data()), pcm.size() / 2, FALSE, TRUE);
    ps_end_utt(decoder);
    const char* hyp = ps_get_hyp(decoder, nullptr);
    std::string text = hyp ? hyp : "";
    ps_free(decoder);
    cmd_ln_free_r(config);
    return text;
}

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        QvAsrSdkLogParam log{false, nullptr, nullptr};
        QvAsrSdkInitParam params{};
        ASSERT_EQ(init(&log, &params), 0);
        // Audio goes in faster than real time, and a sanitizer build recognises
        // slowly: the server's answers may take longer than a live session's would.
        QvAsrClientLimits patient{};
        patient.startTimeoutMs = 60000;
        patient.stopTimeoutMs = 120000;
        ASSERT_EQ(setClientLimits(&patient), 0);
    }
    void TearDown() override {
        QvAsrClientLimits defaults{};
        setClientLimits(&defaults);
        release();
    }

    // Streams one recording through a client and returns its final texts.
    std::string transcribe(const std::string& url, const std::vector<unsigned char>& pcm, std::size_t piece = 640) {
        RecordingListener listener;
        QvAsrClient* client = createAsrInstance();
        client->init(&listener);
        QvAsrStartParam start{url.c_str(), "t"};
        EXPECT_EQ(client->start(&start), 0);
        EXPECT_TRUE(listener.waitFor("start")) << "no start result";
        for (std::size_t at = 0; at < pcm.size(); at += piece) {
            QvAsrAudioFrame frame{pcm.data() + at, static_cast<int>(std::min(piece, pcm.size() - at)), 1, 16000, 16};
            EXPECT_EQ(client->sendAudio(&frame), 0);
        }
        EXPECT_EQ(client->stop(), 0);
        // Audio goes in faster than real time: the answer waits for recognition to catch up.
        EXPECT_TRUE(listener.waitFor("stop", 1, std::chrono::seconds(120))) << "no stop result";
        std::string text;
        for (const auto& heard : listener.heard("text"))
            if (heard.fin) text += (text.empty() ? "" : " ") + heard.text;
        while (destroyAsrInstance(client) == -5) std::this_thread::yield();
        delete client;
        return text;
    }
};

} // namespace

TEST_F(EndToEnd, LibrivoxThroughTheLibraryIsAsGoodAsPocketsphinxAlone) {
    std::string error;
    std::shared_ptr<Engine> engine = makePocketsphinxEngine(kDefaultModelDir, error);
    ASSERT_TRUE(engine) << error;
    AsrServer server(ServerOptions{}, engine);
    ASSERT_TRUE(server.start(error)) << error;

    std::size_t referenceWords = 0, directErrors = 0, libraryErrors = 0;
    for (const auto& [id, reference] : references()) {
        auto pcm = pcmOf(kLibrivox + id + ".wav");
        auto direct = std::async(std::launch::async, [&pcm] { return decodeDirectly(pcm); }).share();
        std::string throughLibrary = transcribe(server.url(), pcm);
        std::printf("%s\n  reference: %s\n  alone:     %s\n  quorvex:   %s\n", id.c_str(), reference.c_str(),
                    direct.get().c_str(), throughLibrary.c_str());
        referenceWords += words(reference).size();
        std::size_t directHere = editDistance(words(reference), words(direct.get()));
        std::size_t libraryHere = editDistance(words(reference), words(throughLibrary));
        EXPECT_LE(libraryHere, directHere) << id << ": more errors than pocketsphinx alone on the same file";
        directErrors += directHere;
        libraryErrors += libraryHere;
        RecordProperty(id, throughLibrary);
    }
    ASSERT_EQ(referenceWords > 0, true) << "no reference transcription found";
    double directWer = double(directErrors) / double(referenceWords);
    double libraryWer = double(libraryErrors) / double(referenceWords);
    std::printf("word error rate: pocketsphinx alone %.3f, through quorvex %.3f (%zu words)\n", directWer, libraryWer,
                referenceWords);
    // Final results decode each utterance again with the cepstral mean of all of it, as the whole-file run does.
    EXPECT_LE(libraryWer, directWer);
    EXPECT_LT(libraryWer, 0.5) << "recognition is not working";
}

TEST_F(EndToEnd, ASessionsWordsDependOnlyOnItsOwnAudio) {
    std::string error;
    std::shared_ptr<Engine> engine = makePocketsphinxEngine(kDefaultModelDir, error);
    ASSERT_TRUE(engine) << error;
    ServerOptions options;
    options.workers = 1;
    options.maxSessions = 1; // one recogniser, reused by every session
    AsrServer server(options, engine);
    ASSERT_TRUE(server.start(error)) << error;
    auto first = pcmOf(kLibrivox + "sense_and_sensibility_01_austen_64kb-0880.wav");
    std::string alone = transcribe(server.url(), first);
    ASSERT_FALSE(alone.empty()) << "recognition is not working";
    for (const char* before : {"0870", "0920"}) {
        transcribe(server.url(), pcmOf(kLibrivox + "sense_and_sensibility_01_austen_64kb-" + before + ".wav"));
        if (kRecordings < 5) break; // one session before is enough to carry state over
    }
    EXPECT_EQ(transcribe(server.url(), first), alone) << "the recogniser kept something of the sessions before";
    EXPECT_EQ(engine->loaded(), 1u) << "the sessions did not share one recogniser: nothing was tested";
}

TEST_F(EndToEnd, EchoEngineReceivesEveryByteInOrderForTwentySessions) {
    std::string error;
    AsrServer server(ServerOptions{}, makeEchoEngine());
    ASSERT_TRUE(server.start(error)) << error;
    constexpr int kSessions = 20;
    std::vector<std::string> expected(kSessions), got(kSessions);
    std::vector<std::thread> streams;
    for (int s = 0; s < kSessions; ++s) {
        std::mt19937 random(static_cast<unsigned>(s));
        std::vector<unsigned char> pcm(32000 + 6400 * static_cast<std::size_t>(s));
        for (auto& byte : pcm) byte = static_cast<unsigned char>(random());
        expected[s] = echoText(pcm.size(), fnv1a(pcm.data(), pcm.size()));
        streams.emplace_back([&, s, pcm = std::move(pcm)] {
            std::string text = transcribe(server.url(), pcm);
            got[s] = text.substr(text.rfind("bytes="));
        });
    }
    for (auto& stream : streams) stream.join();
    for (int s = 0; s < kSessions; ++s) EXPECT_EQ(got[s], expected[s]) << "session " << s;
    EXPECT_EQ(server.metrics().sessionsTotal.load(), kSessions);
    EXPECT_EQ(server.metrics().sessionsOpen.load(), 0);
}

// An application that cuts PCM by bytes, not samples, loses nothing.
TEST_F(EndToEnd, AFileCutIntoOddPiecesArrivesWhole) {
    std::string error;
    AsrServer server(ServerOptions{}, makeEchoEngine());
    ASSERT_TRUE(server.start(error)) << error;
    std::vector<unsigned char> pcm = pcmOf(kLibrivox + references().begin()->first + ".wav");
    ASSERT_FALSE(pcm.empty());
    std::string text = transcribe(server.url(), pcm, 641);
    EXPECT_EQ(text.substr(text.rfind("bytes=")), echoText(pcm.size(), fnv1a(pcm.data(), pcm.size())));
}

namespace {
// A raw WebSocket client: it sends what the library never would.
struct RawClient : CWSSClient {
    Signal signal;
    std::vector<std::string> texts;
    int closes = 0;
    void onTextData(const char* data, int len) override {
        signal.update([&] { texts.emplace_back(data, static_cast<std::size_t>(len)); });
    }
    void onClose() override { signal.update([&] { ++closes; }); }
    void send(const std::string& text) { writeText(text.data(), static_cast<int>(text.size())); }
    bool waitTexts(std::size_t count) { return signal.waitUntil([&] { return texts.size() >= count; }); }
    std::string text(std::size_t index) {
        std::lock_guard<std::mutex> guard(signal.lock());
        return texts.at(index);
    }
};

std::string curlGet(const std::string& url) {
    std::string output;
    if (FILE* pipe = popen(("curl -s --max-time 10 " + url).c_str(), "r")) {
        char chunk[4096];
        while (std::size_t got = std::fread(chunk, 1, sizeof chunk, pipe)) output.append(chunk, got);
        pclose(pipe);
    }
    return output;
}
} // namespace

TEST_F(EndToEnd, BadInputGetsAClearAnswerNeverACrash) {
    std::string error;
    ServerOptions options;
    options.token = "right";
    AsrServer server(options, makeEchoEngine());
    ASSERT_TRUE(server.start(error)) << error;
    CWSSClient owner;
    tagWSSvrConfig config;
    CWSSContext* context = owner.createContext(&config, 4096, 4096);

    RawClient raw;
    ASSERT_TRUE(raw.connect(context, server.url(), "", {}, 1));
    const unsigned char audio[3] = {1, 2, 3};
    raw.writeBinary(audio, 2);
    raw.send("not json");
    raw.send(R"({"service_type":"ASR","msg_type":"DANCE"})");
    raw.send(R"({"service_type":"ASR","msg_type":"STOP_SESSION_REQ"})");
    raw.send(R"({"service_type":"ASR","msg_type":"START_SESSION_REQ","msg_data":{"token":"right"}})");
    ASSERT_TRUE(raw.waitTexts(5));
    raw.writeBinary(audio, 3);
    raw.writeBinary(audio, 2);
    raw.send(R"({"service_type":"ASR","msg_type":"STOP_SESSION_REQ"})");
    ASSERT_TRUE(raw.waitTexts(8)) << "the final text and the stop answer did not arrive";
    EXPECT_NE(raw.text(0).find("audio before START_SESSION_REQ"), std::string::npos) << raw.text(0);
    EXPECT_NE(raw.text(1).find("not a JSON object"), std::string::npos);
    EXPECT_NE(raw.text(2).find("unknown msg_type"), std::string::npos);
    EXPECT_NE(raw.text(3).find("without a session"), std::string::npos);
    EXPECT_NE(raw.text(4).find("START_SESSION_RES"), std::string::npos);
    EXPECT_NE(raw.text(5).find("3 bytes is not 16-bit PCM"), std::string::npos);
    EXPECT_NE(raw.text(6).find("bytes=2 "), std::string::npos) << raw.text(6);
    EXPECT_NE(raw.text(7).find("STOP_SESSION_RES"), std::string::npos);

    RawClient intruder;
    ASSERT_TRUE(intruder.connect(context, server.url(), "", {}, 1));
    intruder.send(R"({"service_type":"ASR","msg_type":"START_SESSION_REQ","msg_data":{"token":"wrong"}})");
    ASSERT_TRUE(intruder.signal.waitUntil([&] { return intruder.closes == 1; })) << "a wrong token ends the connection";
    ASSERT_TRUE(intruder.waitTexts(1)) << "the refusal was lost before the close";
    EXPECT_NE(intruder.text(0).find("\"msg_code\":401"), std::string::npos);

    std::string base = "127.0.0.1:" + std::to_string(server.port());
    EXPECT_EQ(curlGet(base + "/healthz"), "ok\n");
    std::string metrics = curlGet(base + "/metrics");
    EXPECT_NE(metrics.find("quorvex_sessions_total 1\n"), std::string::npos) << metrics;
    EXPECT_NE(metrics.find("quorvex_sessions_open 0\n"), std::string::npos);
    EXPECT_NE(metrics.find("quorvex_audio_frames_total 1\n"), std::string::npos);
}
