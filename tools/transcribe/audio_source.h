// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TOOLS_TRANSCRIBE_AUDIO_SOURCE_H
#define QUORVEX_TOOLS_TRANSCRIBE_AUDIO_SOURCE_H

#include <csignal>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quorvex::tools {

constexpr int kRecogniserRate = 16000;

// Audio as the recogniser takes it: 16 kHz, 16-bit little-endian, mono,
// handed out chunk by chunk so that no input is ever held whole.
class AudioSource {
public:
    virtual ~AudioSource() = default;
    // Replaces `pcm` with the next chunk (an even number of bytes, never
    // empty); false at the end of the input, or on an error (see error()).
    virtual bool next(std::vector<unsigned char>& pcm) = 0;
    // Bytes the whole input will give, approximately; 0 when unknown.
    virtual std::uint64_t expectedBytes() const { return 0; }
    // Why next() returned false; empty at a normal end.
    const std::string& error() const { return error_; }

protected:
    std::string error_;
};

// Any file libsndfile reads (WAV of any sample width, FLAC, Ogg/Vorbis, MP3,
// ...), mixed down to mono and resampled with libsoxr. Null, with a message
// naming the file, when it cannot be read.
std::unique_ptr<AudioSource> openAudioFile(const std::string& path, std::string& error);

// Raw 16 kHz 16-bit little-endian mono PCM from a descriptor, handed on as it
// arrives. A read interrupted while `stop` is set ends the input.
std::unique_ptr<AudioSource> openRawPcm(int fd, const volatile std::sig_atomic_t& stop);

// The whole file at once, converted like openAudioFile's chunks.
bool readAudioFile(const std::string& path, std::vector<unsigned char>& pcm, std::string& error);

} // namespace quorvex::tools

#endif
