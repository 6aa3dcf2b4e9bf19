// SPDX-License-Identifier: Apache-2.0
#include "transport/io/ws_frame.h"

#include <chrono>
#include <cstring>

#include "platform/system.h"

namespace quorvex::transport::detail {

void MaskKeys::next(std::uint8_t key[4]) {
    if (used_ + 4 > sizeof pool_) {
        if (!platform::randomBytes(pool_, sizeof pool_)) {
            // No entropy source: keys must still differ from frame to frame.
            auto seed = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
            for (auto& byte : pool_) {
                seed = seed * 6364136223846793005ull + 1442695040888963407ull;
                byte = static_cast<std::uint8_t>(seed >> 56);
            }
        }
        used_ = 0;
    }
    std::memcpy(key, pool_ + used_, 4);
    used_ += 4;
}

std::size_t frameHeaderSize(std::size_t size, bool masked) {
    std::size_t length = size < 126 ? 2 : size <= 0xffff ? 4 : 10;
    return length + (masked ? 4 : 0);
}

void writeFrameHeader(unsigned char* out, Opcode opcode, std::size_t size, const std::uint8_t* maskKey) {
    const unsigned char maskBit = maskKey ? 0x80 : 0x00;
    *out++ = static_cast<unsigned char>(0x80 | static_cast<unsigned char>(opcode));
    if (size < 126) {
        *out++ = static_cast<unsigned char>(maskBit | size);
    } else if (size <= 0xffff) {
        *out++ = maskBit | 126;
        *out++ = static_cast<unsigned char>(size >> 8);
        *out++ = static_cast<unsigned char>(size);
    } else {
        *out++ = maskBit | 127;
        for (int shift = 56; shift >= 0; shift -= 8) *out++ = static_cast<unsigned char>(std::uint64_t(size) >> shift);
    }
    if (maskKey) std::memcpy(out, maskKey, 4);
}

void maskPayload(const unsigned char* in, unsigned char* out, std::size_t size, const std::uint8_t* maskKey) {
    // Eight bytes at a time: the key repeats every four, so a doubled key masks a word.
    const std::uint8_t doubledKey[8] = {maskKey[0], maskKey[1], maskKey[2], maskKey[3],
                                        maskKey[0], maskKey[1], maskKey[2], maskKey[3]};
    std::uint64_t wideKey;
    std::memcpy(&wideKey, doubledKey, 8); // memory order, so any byte order works
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, in + i, 8);
        word ^= wideKey;
        std::memcpy(out + i, &word, 8);
    }
    for (; i < size; ++i) out[i] = in[i] ^ maskKey[i & 3];
}

void appendFrame(std::vector<unsigned char>& out, Opcode opcode, const unsigned char* payload, std::size_t size,
                 const std::uint8_t* maskKey) {
    std::size_t start = out.size();
    std::size_t header = frameHeaderSize(size, maskKey != nullptr);
    out.resize(start + header + size);
    writeFrameHeader(out.data() + start, opcode, size, maskKey);
    if (maskKey) {
        maskPayload(payload, out.data() + start + header, size, maskKey);
    } else if (size > 0) {
        std::memcpy(out.data() + start + header, payload, size);
    }
}

} // namespace quorvex::transport::detail
