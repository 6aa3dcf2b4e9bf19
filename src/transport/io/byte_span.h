// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_IO_BYTE_SPAN_H
#define QUORVEX_TRANSPORT_IO_BYTE_SPAN_H

#include <cstddef>

namespace quorvex::transport::detail {

// Borrowed bytes: one piece of a message that is copied in pieces.
struct ByteSpan {
    const unsigned char* data = nullptr;
    std::size_t size = 0;
};

} // namespace quorvex::transport::detail

#endif
