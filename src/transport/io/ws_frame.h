// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_IO_WS_FRAME_H
#define QUORVEX_TRANSPORT_IO_WS_FRAME_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvex::transport::detail {

// Masking keys for client frames, drawn from the kernel's random pool a
// block at a time (a client must use unpredictable keys).
class MaskKeys {
public:
    void next(std::uint8_t key[4]);

private:
    std::uint8_t pool_[256] = {};
    std::size_t used_ = sizeof pool_;
};

enum class Opcode : unsigned char { Text = 1, Binary = 2, Close = 8, Ping = 9 };
inline Opcode dataOpcode(bool binary) { return binary ? Opcode::Binary : Opcode::Text; }

// Header of one whole WebSocket frame (FIN set): at most 14 bytes, so it
// fits the headroom libwebsockets wants in front of a payload.
std::size_t frameHeaderSize(std::size_t size, bool masked);
void writeFrameHeader(unsigned char* out, Opcode opcode, std::size_t size, const std::uint8_t* maskKey);
// XORs size bytes with the key; in and out may be the same buffer.
void maskPayload(const unsigned char* in, unsigned char* out, std::size_t size, const std::uint8_t* maskKey);

// Appends one whole WebSocket frame (FIN set) to out. With a key the
// payload is masked, as every client-to-server frame must be.
void appendFrame(std::vector<unsigned char>& out, Opcode opcode, const unsigned char* payload, std::size_t size,
                 const std::uint8_t* maskKey);

} // namespace quorvex::transport::detail

#endif
