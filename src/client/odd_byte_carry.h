// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_CLIENT_ODD_BYTE_CARRY_H
#define QUORVEX_CLIENT_ODD_BYTE_CARRY_H

#include <atomic>
#include <cstddef>

#include "transport/transport_control.h"

namespace QUORVEX {

// Keeps a session's audio in whole 16-bit samples when the application cuts
// it at odd byte counts: the odd byte of one frame waits and leads the next,
// so the server receives exactly the bytes given and no sample is split.
// Writers on several threads may call take at once (atomics only): no byte
// is lost or doubled, though their bytes interleave in an order of their own.
class OddByteCarry {
public:
    // What to send for a frame: a carried byte, the frame less a byte it
    // parks, and a byte another writer parked meanwhile, in that order.
    // The spans point into the record itself and into the frame.
    struct Pieces {
        Pieces() = default;
        Pieces(const Pieces&) = delete;
        Pieces& operator=(const Pieces&) = delete;
        unsigned char lead = 0;
        unsigned char trail = 0;
        quorvex::transport::ByteSpan spans[3];
        std::size_t count = 0;
    };

    void take(const unsigned char* data, std::size_t size, Pieces& out);
    // Drops a byte still waiting; whether there was one.
    bool drop() { return pending_.exchange(kNone, std::memory_order_acq_rel) != kNone; }

private:
    static constexpr int kNone = -1;
    // Parks byte; a byte another writer parked first comes back instead.
    int park(unsigned char byte);
    std::atomic<int> pending_{kNone};
};

} // namespace QUORVEX

#endif
