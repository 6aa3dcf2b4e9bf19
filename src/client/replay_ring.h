// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_CLIENT_REPLAY_RING_H
#define QUORVEX_CLIENT_REPLAY_RING_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "transport/transport_control.h"

namespace QUORVEX {

// The last seconds of a session's audio, kept so that a session carried over
// to a new connection can be sent them again. Application threads append
// without a lock, several at once: each reserves its bytes with one atomic
// addition and copies them outside any lock. The loop thread reads only
// while the ring is held (no writer sends for itself), and only bytes every
// writer has finished.
//
// Positions count bytes from the session's start. One word holds the bytes
// reserved, the session's generation and who sends them: the writers
// themselves ("direct"), for the connection whose low bits are the tag once
// one has been set; or, while held, nobody until the loop has replayed what
// is kept and releases the ring with a compare-and-swap that fails if
// anything was reserved since.
//
// A writer of an ended session may still be inside append when the next
// session starts (it passed its state check, then lost the processor). Its
// generation no longer matches, so it reserves nothing and its commit counts
// for nobody. Each session copies into a buffer of its own: one a writer may
// still be copying into is retired, not freed, until no writer is inside.
class ReplayRing {
public:
    struct Claim {
        std::uint64_t end = 0; // position after the bytes
        bool stale = false;    // the session of that generation has ended; nothing stored
        bool kept = true;      // false: more than may be held while resuming; nothing stored
        bool direct = true;    // the writer sends its bytes itself
        bool tagged = false;   // ... only on the connection with this tag
        std::uint32_t tag = 0;
    };

    ReplayRing() = default;
    ~ReplayRing();
    ReplayRing(const ReplayRing&) = delete;
    ReplayRing& operator=(const ReplayRing&) = delete;

    // Application thread, at start (one at a time): a new generation;
    // capacity 0 keeps nothing. Never waits for a writer.
    void reset(std::size_t capacity);
    // Any thread.
    std::size_t capacity() const;
    // Read before the writer's state check, as the send connection is.
    std::uint32_t generation() const { return generationOf(word_.load(std::memory_order_acquire)); }
    Claim append(const quorvex::transport::ByteSpan* pieces, std::size_t count, std::uint32_t generation);
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
    std::size_t spans(std::uint64_t from, std::uint64_t to, quorvex::transport::ByteSpan out[2]) const;
    // A writer was refused while the ring was held.
    bool overrun() const { return overrun_.load(std::memory_order_acquire); }

private:
    struct Buffer {
        Buffer(std::size_t size, std::uint32_t owner)
            : capacity(size), generation(owner), bytes(new unsigned char[size]) {}
        const std::size_t capacity;
        const std::uint32_t generation;
        const std::unique_ptr<unsigned char[]> bytes;
    };

    static constexpr std::uint64_t kDirect = 1;
    static constexpr std::uint64_t kTagged = 2;
    static constexpr unsigned kTagShift = 2;
    static constexpr std::uint64_t kTagMask = (1u << 14) - 1; // connections apart that a tag tells apart
    static constexpr unsigned kGenerationShift = 16;
    static constexpr std::uint64_t kGenerationMask = 0xff;
    static constexpr unsigned kPositionShift = 24; // 40 bits: a year of audio
    static constexpr unsigned kCommittedGenerationShift = 56;
    static constexpr std::uint64_t kCommittedMask = (std::uint64_t{1} << kCommittedGenerationShift) - 1;

    static std::uint32_t generationOf(std::uint64_t word) {
        return static_cast<std::uint32_t>((word >> kGenerationShift) & kGenerationMask);
    }
    bool reserve(std::uint64_t size, std::uint32_t generation, std::uint64_t& word);
    void commit(std::uint64_t size, std::uint32_t generation);
    void replaceBuffer(std::size_t capacity, std::uint32_t generation);
    static void copyIn(Buffer& buffer, std::uint64_t position, const quorvex::transport::ByteSpan* pieces,
                       std::size_t count);

    std::atomic<Buffer*> buffer_{nullptr};
    std::atomic<int> inside_{0};     // writers between their first look at buffer_ and their commit
    std::vector<Buffer*> retired_;   // reset only: buffers a writer may still be copying into
    std::atomic<std::uint64_t> word_{kDirect};
    std::atomic<std::uint64_t> committed_{0}; // generation, and the bytes written in any order
    std::atomic<std::uint64_t> allowedEnd_{~0ull};
    std::atomic<bool> overrun_{false};
};

} // namespace QUORVEX

#endif
