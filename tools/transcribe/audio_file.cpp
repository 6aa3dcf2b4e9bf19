// SPDX-License-Identifier: Apache-2.0
// Audio files through libsndfile, mixed down to mono and resampled with libsoxr.
#include <sndfile.h>
#include <soxr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "audio_source.h"

namespace quorvex::tools {
namespace {

// Bounds the buffers whatever rate and channel count a header claims.
constexpr sf_count_t kMaxBlockFrames = 4096;

void appendSample(std::vector<unsigned char>& pcm, std::int16_t sample) {
    auto bits = static_cast<std::uint16_t>(sample);
    pcm.push_back(static_cast<unsigned char>(bits & 0xff));
    pcm.push_back(static_cast<unsigned char>(bits >> 8));
}

std::int16_t toSample(float value) {
    return static_cast<std::int16_t>(std::clamp(std::nearbyint(value * 32768.0f), -32768.0f, 32767.0f));
}

class AudioFile : public AudioSource {
public:
    AudioFile(SNDFILE* file, const SF_INFO& info, std::string path)
        : file_(file), info_(info), path_(std::move(path)),
          blockFrames_(std::clamp<sf_count_t>(info.samplerate / 50, 1, kMaxBlockFrames)) {}
    ~AudioFile() override {
        if (resampler_) soxr_delete(resampler_);
        sf_close(file_);
    }
    AudioFile(const AudioFile&) = delete;
    AudioFile& operator=(const AudioFile&) = delete;

    bool prepare() {
        if (info_.samplerate == kRecogniserRate) return true;
        soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_INT16_I);
        io.flags |= SOXR_NO_DITHER; // the same file gives the same samples, every time
        soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        soxr_error_t problem = nullptr;
        resampler_ = soxr_create(info_.samplerate, kRecogniserRate, 1, &problem, &io, &quality, nullptr);
        if (problem) error_ = path_ + ": cannot resample from " + std::to_string(info_.samplerate) + " Hz: " + problem;
        return !problem;
    }

    bool next(std::vector<unsigned char>& pcm) override {
        pcm.clear();
        while (pcm.empty() && !finished_) {
            if (!readBlock(pcm)) return false;
        }
        return !pcm.empty();
    }

    std::uint64_t expectedBytes() const override {
        if (info_.frames <= 0 || info_.frames == SF_COUNT_MAX) return 0;
        return static_cast<std::uint64_t>(double(info_.frames) * kRecogniserRate / info_.samplerate) * 2;
    }

private:
    bool readBlock(std::vector<unsigned char>& pcm) {
        sf_count_t got = 0;
        if (info_.channels == 1 && !resampler_) {
            // Already what the recogniser takes: read samples as they are, bit for bit.
            shorts_.resize(static_cast<std::size_t>(blockFrames_));
            got = sf_readf_short(file_, shorts_.data(), blockFrames_);
            for (sf_count_t i = 0; i < got; ++i) appendSample(pcm, shorts_[static_cast<std::size_t>(i)]);
        } else {
            got = readMono();
            if (resampler_) {
                if (!resample(got, pcm)) return false;
            } else {
                for (sf_count_t i = 0; i < got; ++i) appendSample(pcm, toSample(mono_[static_cast<std::size_t>(i)]));
            }
        }
        if (got == 0) {
            finished_ = true;
            if (sf_error(file_) != SF_ERR_NO_ERROR) {
                error_ = path_ + ": " + sf_strerror(file_);
                return false;
            }
        }
        return true;
    }

    // The next block with its channels averaged, so that a mix never clips.
    sf_count_t readMono() {
        auto channels = static_cast<std::size_t>(info_.channels);
        interleaved_.resize(static_cast<std::size_t>(blockFrames_) * channels);
        sf_count_t got = sf_readf_float(file_, interleaved_.data(), blockFrames_);
        mono_.assign(static_cast<std::size_t>(std::max<sf_count_t>(got, 0)), 0.0f);
        for (std::size_t frame = 0; frame < mono_.size(); ++frame) {
            float sum = 0;
            for (std::size_t channel = 0; channel < channels; ++channel) sum += interleaved_[frame * channels + channel];
            mono_[frame] = sum / static_cast<float>(channels);
        }
        return got;
    }

    // Feeds a block to the resampler; an empty block flushes what it holds.
    bool resample(sf_count_t got, std::vector<unsigned char>& pcm) {
        auto input = static_cast<std::size_t>(std::max<sf_count_t>(got, 0));
        std::size_t capacity = input * kRecogniserRate / static_cast<std::size_t>(info_.samplerate) + 256;
        resampled_.resize(capacity);
        std::size_t used = 0, produced = 0;
        do {
            std::size_t consumed = 0;
            soxr_error_t problem = soxr_process(resampler_, input ? mono_.data() + used : nullptr, input - used,
                                                &consumed, resampled_.data(), capacity, &produced);
            if (problem) {
                error_ = path_ + ": resampling failed: " + problem;
                return false;
            }
            for (std::size_t i = 0; i < produced; ++i) appendSample(pcm, resampled_[i]);
            used += consumed;
            if (input && consumed == 0 && produced == 0) break; // cannot happen with room to spare; never spin
        } while (input ? used < input : produced > 0);
        return true;
    }

    SNDFILE* file_;
    SF_INFO info_;
    std::string path_;
    sf_count_t blockFrames_;
    soxr_t resampler_ = nullptr;
    bool finished_ = false;
    std::vector<short> shorts_;
    std::vector<float> interleaved_, mono_;
    std::vector<std::int16_t> resampled_;
};

} // namespace

std::unique_ptr<AudioSource> openAudioFile(const std::string& path, std::string& error) {
    if (access(path.c_str(), R_OK) != 0) {
        error = path + ": cannot open the file (" + std::strerror(errno) + ")";
        return nullptr;
    }
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) {
        error = path + ": not an audio file this tool can read (" + sf_strerror(nullptr) + ")";
        return nullptr;
    }
    if (info.channels < 1 || info.samplerate < 1) {
        sf_close(file);
        error = path + ": the file claims " + std::to_string(info.channels) + " channel(s) at " +
                std::to_string(info.samplerate) + " Hz";
        return nullptr;
    }
    auto audio = std::make_unique<AudioFile>(file, info, path);
    if (!audio->prepare()) {
        error = audio->error();
        return nullptr;
    }
    return audio;
}

bool readAudioFile(const std::string& path, std::vector<unsigned char>& pcm, std::string& error) {
    std::unique_ptr<AudioSource> audio = openAudioFile(path, error);
    if (!audio) return false;
    pcm.clear();
    std::vector<unsigned char> chunk;
    while (audio->next(chunk)) pcm.insert(pcm.end(), chunk.begin(), chunk.end());
    error = audio->error();
    return error.empty();
}

} // namespace quorvex::tools
