// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TESTS_TOOLS_WAV_FILE_H
#define QUORVEX_TESTS_TOOLS_WAV_FILE_H

#include <cstdint>
#include <fstream>
#include <string>

namespace quorvex::test {

// A canonical PCM WAV file at path: the header for the format, then samples as given.
inline std::string writeWav(const std::string& path, int rate, int channels, int bits, const std::string& samples) {
    auto dataBytes = static_cast<std::uint32_t>(samples.size());
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
    out << samples;
    return path;
}

} // namespace quorvex::test

#endif
