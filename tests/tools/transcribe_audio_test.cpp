// SPDX-License-Identifier: Apache-2.0
// quorvex-transcribe's audio input: every common format, mixed down to mono and
// resampled to 16 kHz, then streamed whole by the tool.
#include <stdlib.h>

#include <gtest/gtest.h>

#include <cmath>

#include "child_process.h"
#include "server/asr_server.h"
#include "transcribe/audio_source.h"

using quorvex::test::ChildProcess;

namespace {

constexpr double kSeconds = 1.0;
constexpr double kAmplitude = 0.5; // of full scale

struct Sample {
    std::string name;                 // file name; its extension picks the container
    std::vector<std::string> format;  // sox's output format options
    std::vector<std::string> effects; // after the 440 Hz tone
    bool opposed = false;             // the channels cancel out when mixed
};

std::string scratchDirectory() {
    std::string pattern = ::testing::TempDir() + "quorvex-audio-XXXXXX";
    if (!mkdtemp(pattern.data())) ADD_FAILURE() << "no scratch directory under " << ::testing::TempDir();
    return pattern + "/";
}

bool makeWithSox(const std::string& path, const Sample& sample) {
    std::vector<std::string> argv{QUORVEX_SOX, "-D", "-n"};
    argv.insert(argv.end(), sample.format.begin(), sample.format.end());
    argv.insert(argv.end(), {path, "synth", std::to_string(kSeconds), "sine", "440", "vol", std::to_string(kAmplitude)});
    argv.insert(argv.end(), sample.effects.begin(), sample.effects.end());
    ChildProcess sox(argv);
    std::optional<int> exit = sox.waitExit();
    EXPECT_EQ(exit, 0) << "sox " << sample.name << ": " << sox.output();
    return exit == 0;
}

struct Measured {
    double seconds = 0, rms = 0, hertz = 0;
};

// Over the middle of the signal, away from codec edges.
Measured measure(const std::vector<unsigned char>& pcm) {
    std::size_t count = pcm.size() / 2, from = count / 10, to = count - count / 10;
    auto at = [&](std::size_t i) { return static_cast<std::int16_t>(pcm[2 * i] | pcm[2 * i + 1] << 8); };
    double energy = 0;
    int crossings = 0;
    for (std::size_t i = from; i < to; ++i) {
        energy += double(at(i)) * at(i);
        crossings += i > from && (at(i - 1) < 0) != (at(i) < 0);
    }
    double span = double(to - from) / quorvex::tools::kRecogniserRate;
    return {double(count) / quorvex::tools::kRecogniserRate, std::sqrt(energy / double(to - from)),
            crossings / 2.0 / span};
}

const std::vector<Sample> kSamples = {
    {"mono-16k-s16.wav", {"-r", "16000", "-c", "1", "-b", "16", "-e", "signed-integer"}, {}},
    {"stereo-16k-s16.wav", {"-r", "16000", "-c", "2", "-b", "16", "-e", "signed-integer"}, {}},
    {"opposed-44k-s24.wav", {"-r", "44100", "-c", "2", "-b", "24", "-e", "signed-integer"}, {"channels", "2", "remix", "1", "2i"}, true},
    {"mono-8k-u8.wav", {"-r", "8000", "-c", "1", "-b", "8", "-e", "unsigned-integer"}, {}},
    {"stereo-48k-f32.wav", {"-r", "48000", "-c", "2", "-b", "32", "-e", "floating-point"}, {}},
    {"mono-22k.flac", {"-r", "22050", "-c", "1", "-b", "16"}, {}},
    {"stereo-44k.ogg", {"-r", "44100", "-c", "2"}, {}},
    {"mono-44k.mp3", {"-r", "44100", "-c", "1"}, {}},
};

class TranscribeAudio : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        directory_ = new std::string(scratchDirectory());
        for (const Sample& sample : kSamples) makeWithSox(*directory_ + sample.name, sample);
    }
    static void TearDownTestSuite() {
        for (const Sample& sample : kSamples) std::remove((*directory_ + sample.name).c_str());
        std::remove(directory_->c_str());
        delete directory_;
    }
    static std::string path(const Sample& sample) { return *directory_ + sample.name; }
    static std::vector<unsigned char> decode(const Sample& sample) {
        std::vector<unsigned char> pcm;
        std::string error;
        EXPECT_TRUE(quorvex::tools::readAudioFile(path(sample), pcm, error)) << error;
        return pcm;
    }
    static std::string* directory_;
};
std::string* TranscribeAudio::directory_ = nullptr;

} // namespace

TEST_F(TranscribeAudio, EveryFormatBecomesTheSameSixteenKilohertzMonoTone) {
    const double fullScaleRms = kAmplitude / std::sqrt(2.0) * 32768;
    for (const Sample& sample : kSamples) {
        SCOPED_TRACE(sample.name);
        Measured heard = measure(decode(sample));
        // MP3 pads its last frame; everything else keeps the length to a few samples.
        EXPECT_NEAR(heard.seconds, kSeconds, sample.name.find(".mp3") != std::string::npos ? 0.06 : 0.005);
        if (sample.opposed) {
            EXPECT_LT(heard.rms, 0.01 * fullScaleRms) << "channels are averaged, not one of them taken";
            continue;
        }
        EXPECT_NEAR(heard.rms, fullScaleRms, 0.1 * fullScaleRms);
        EXPECT_NEAR(heard.hertz, 440, 5) << "resampled to the wrong rate";
    }
    EXPECT_EQ(decode(kSamples[0]), decode(kSamples[1])) << "two equal channels mix to exactly the mono samples";
}

TEST_F(TranscribeAudio, TheToolStreamsEveryByteOfEveryFormat) {
    quorvex::server::AsrServer server(quorvex::server::ServerOptions{}, quorvex::server::makeEchoEngine());
    std::string error;
    ASSERT_TRUE(server.start(error)) << error;
    std::vector<std::string> argv{QUORVEX_TRANSCRIBE, "--json", "--url", server.url()};
    for (const Sample& sample : kSamples) argv.push_back(path(sample));
    ChildProcess tool(argv);
    ASSERT_EQ(tool.waitExit(std::chrono::seconds(60)), 0) << tool.output();
    std::string output = tool.output();
    for (const Sample& sample : kSamples) {
        std::vector<unsigned char> pcm = decode(sample);
        std::size_t line = output.find("{\"file\":\"" + path(sample) + "\",\"session_id\"");
        std::string finalText = "\"text\":\"" +
                                quorvex::server::echoText(pcm.size(), quorvex::server::fnv1a(pcm.data(), pcm.size())) +
                                "\",\"bg\":0,\"ed\":" + std::to_string(pcm.size() / 32) + ",\"fin\":1}";
        EXPECT_NE(output.find(finalText, line), std::string::npos)
            << sample.name << " should end with " << finalText << "\n" << output;
    }
}
