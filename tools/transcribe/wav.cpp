#include "wav.h"

#include <cstring>
#include <fstream>
#include <iterator>

namespace quorvex::tools {
namespace {

std::uint32_t le32(const unsigned char* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}
std::uint16_t le16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

} // namespace

bool readWav(const std::string& path, WavAudio& audio, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot open the file";
        return false;
    }
    std::vector<unsigned char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (file.size() < 12 || std::memcmp(file.data(), "RIFF", 4) != 0 || std::memcmp(file.data() + 8, "WAVE", 4) != 0) {
        error = path + ": not a RIFF/WAVE file";
        return false;
    }
    bool haveFormat = false;
    for (std::size_t at = 12; at + 8 <= file.size();) {
        const unsigned char* chunk = file.data() + at;
        std::size_t size = le32(chunk + 4);
        std::size_t body = at + 8;
        std::size_t available = std::min(size, file.size() - body);
        if (std::memcmp(chunk, "fmt ", 4) == 0 && available >= 16) {
            audio.format = le16(file.data() + body);
            audio.channels = le16(file.data() + body + 2);
            audio.sampleRate = static_cast<int>(le32(file.data() + body + 4));
            audio.bitsPerSample = le16(file.data() + body + 14);
            haveFormat = true;
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (!haveFormat) break;
            audio.pcm.assign(file.begin() + static_cast<long>(body), file.begin() + static_cast<long>(body + available));
            return true;
        }
        at = body + size + (size & 1); // chunks are padded to even sizes
    }
    error = path + (haveFormat ? ": no data chunk" : ": no fmt chunk before the data");
    return false;
}

std::string checkRecognisable(const std::string& path, const WavAudio& audio) {
    if (audio.format == 1 && audio.channels == 1 && audio.sampleRate == 16000 && audio.bitsPerSample == 16) return {};
    return path + ": " + (audio.format == 1 ? "" : "compressed or float, ") + std::to_string(audio.sampleRate) +
           " Hz, " + std::to_string(audio.channels) + " channel(s), " + std::to_string(audio.bitsPerSample) +
           " bits; the recogniser needs 16000 Hz mono 16-bit PCM.\n  Convert it with: sox '" + path +
           "' -r 16000 -c 1 -b 16 -e signed-integer converted.wav";
}

} // namespace quorvex::tools
