// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_CLIENT_REPLAY_RING_H
#define QUORVEX_CLIENT_REPLAY_RING_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "transport/io/byte_span.h"

namespace QUORVEX {

// The last seconds of a session's audio, kept so that a session carried over
// to a new connection can be sent them again. Application threads append
// without a lock, several at once: each reserves its bytes with one atomic
// addition and copies them outside any lock. The loop thread reads only
// while the ring is held (no writer sends for itself), and only bytes every
// writer has finished.
//
// Positions count bytes from the session's start. One word holds the bytes
// reserved and who sends them: the writers themselves ("direct"), for the
// connection whose low bits are the tag once one has been set; or, while
// held, nobody until the loop has replayed what is kept and releases the
// ring with a compare-and-swap that fails if anything was reserved since.
class ReplayRing {
public:
    struct Claim {
        std::uint64_t end = 0; // position after the bytes
        bool kept = true;      // false: more than may be held while resuming; nothing stored
        bool direct = true;    // the writer sends its bytes itself
        bool tagged = false;   // ... only on the connection with this tag
        std::uint32_t tag = 0;
    };

    // Application thread, at start, with no writer left: capacity 0 frees.
    void reset(std::size_t capacity);
    std::size_t capacity() const { return capacity_; }
    // Any thread.
    Claim append(const quorvex::transport::detail::ByteSpan* pieces, std::size_t count);
    static std::uint32_t tagOf(std::uint64_t connection) { return static_cast<std::uint32_t>(connection & kTagMask); }

    // Loop thread.
    std::uint64_t reserved() const { return word_.load(std::memory_order_acquire) >> kPositionShift; }
    // True, with the end, when every byte reserved so far has been written.
    bool settled(std::uint64_t& end) const;
    // Writers stop sending for themselves; while held, none may reserve past allowedEnd.
    void hold(std::uint64_t allowedEnd);
    // Writers send again, for the connection with this tag, unless anything
    // was reserved past end (replay that first, then try again).
    bool release(std::uint64_t end, std::uint32_t tag);
    // The bytes [from, to), at most a capacity apart, as up to two spans.
    std::size_t spans(std::uint64_t from, std::uint64_t to, quorvex::transport::detail::ByteSpan out[2]) const;
    // A writer was refused while the ring was held.
    bool overrun() const { return overrun_.load(std::memory_order_acquire); }

private:
    static constexpr std::uint64_t kDirect = 1;
    static constexpr std::uint64_t kTagged = 2;
    static constexpr unsigned kTagShift = 2;
    static constexpr std::uint64_t kTagMask = (1u << 22) - 1;
    static constexpr unsigned kPositionShift = 24; // 40 bits: a year of audio

    void copyIn(std::uint64_t position, const quorvex::transport::detail::ByteSpan* pieces, std::size_t count);

    std::unique_ptr<unsigned char[]> bytes_;
    std::size_t capacity_ = 0;
    std::atomic<std::uint64_t> word_{kDirect};
    std::atomic<std::uint64_t> committed_{0}; // bytes written, in any order
    std::atomic<std::uint64_t> allowedEnd_{~0ull};
    std::atomic<bool> overrun_{false};
};

} // namespace QUORVEX

#endif
