#ifndef QUORVEX_TOOLS_TRANSCRIBE_WAV_H
#define QUORVEX_TOOLS_TRANSCRIBE_WAV_H

#include <cstdint>
#include <string>
#include <vector>

namespace quorvex::tools {

struct WavAudio {
    int format = 0; // 1: integer PCM
    int channels = 0;
    int sampleRate = 0;
    int bitsPerSample = 0;
    std::vector<unsigned char> pcm; // the data chunk
};

// Reads a RIFF/WAVE file. False with a message naming the file on failure.
bool readWav(const std::string& path, WavAudio& audio, std::string& error);

// Empty when the audio is 16 kHz, 16-bit, mono PCM; otherwise what is wrong,
// with a sox command that converts it.
std::string checkRecognisable(const std::string& path, const WavAudio& audio);

} // namespace quorvex::tools

#endif
