// SPDX-License-Identifier: Apache-2.0
#include "client/replay_ring.h"

#include <algorithm>
#include <cstring>

namespace QUORVEX {

using quorvex::transport::ByteSpan;

ReplayRing::~ReplayRing() {
    delete buffer_.load();
    for (Buffer* buffer : retired_) delete buffer;
}

std::size_t ReplayRing::capacity() const {
    Buffer* buffer = buffer_.load(std::memory_order_acquire);
    return buffer ? buffer->capacity : 0;
}

void ReplayRing::reset(std::size_t capacity) {
    std::uint64_t next = (generationOf(word_.load(std::memory_order_acquire)) + 1) & kGenerationMask;
    // The buffer moves before the generation does: a writer that reserves in
    // the new generation finds the new buffer (or a later one, never an
    // earlier one).
    replaceBuffer(capacity, static_cast<std::uint32_t>(next));
    committed_.store(next << kCommittedGenerationShift, std::memory_order_release);
    allowedEnd_.store(~0ull, std::memory_order_release);
    overrun_.store(false, std::memory_order_release);
    word_.store((next << kGenerationShift) | kDirect, std::memory_order_seq_cst);
}

// Each session has a buffer of its own: a writer of the ended session may
// still copy into the one it found, at positions the new session uses too.
// An old one is freed only when no writer is inside.
void ReplayRing::replaceBuffer(std::size_t capacity, std::uint32_t generation) {
    Buffer* fresh = capacity ? new Buffer(capacity, generation) : nullptr;
    Buffer* old = buffer_.exchange(fresh, std::memory_order_seq_cst);
    if (old) retired_.push_back(old);
    if (inside_.load(std::memory_order_seq_cst) != 0) return;
    for (Buffer* buffer : retired_) delete buffer;
    retired_.clear();
}

bool ReplayRing::reserve(std::uint64_t size, std::uint32_t generation, std::uint64_t& word) {
    word = word_.load(std::memory_order_acquire);
    do {
        if (generationOf(word) != generation) return false;
    } while (!word_.compare_exchange_weak(word, word + (size << kPositionShift), std::memory_order_acq_rel));
    return true;
}

void ReplayRing::commit(std::uint64_t size, std::uint32_t generation) {
    std::uint64_t committed = committed_.load(std::memory_order_acquire);
    do {
        if ((committed >> kCommittedGenerationShift) != generation) return; // a later session's count
    } while (!committed_.compare_exchange_weak(committed, committed + size, std::memory_order_acq_rel));
}

ReplayRing::Claim ReplayRing::append(const ByteSpan* pieces, std::size_t count, std::uint32_t generation) {
    std::uint64_t size = 0;
    for (std::size_t i = 0; i < count; ++i) size += pieces[i].size;
    Claim claim;
    inside_.fetch_add(1, std::memory_order_seq_cst);
    std::uint64_t word = 0;
    if (!reserve(size, generation, word)) {
        inside_.fetch_sub(1, std::memory_order_release);
        claim.stale = true;
        return claim;
    }
    // Loaded after the reservation: a buffer of another generation means a
    // later session has started, and nobody will read these bytes.
    Buffer* buffer = buffer_.load(std::memory_order_seq_cst);
    if (buffer && buffer->generation != generation) buffer = nullptr;
    std::uint64_t position = word >> kPositionShift;
    claim.end = position + size;
    claim.direct = (word & kDirect) != 0;
    claim.tagged = (word & kTagged) != 0;
    claim.tag = static_cast<std::uint32_t>((word >> kTagShift) & kTagMask);
    if (!claim.direct && claim.end > allowedEnd_.load(std::memory_order_acquire)) {
        claim.kept = false;
        overrun_.store(true, std::memory_order_release);
    } else if (buffer) {
        copyIn(*buffer, position, pieces, count);
    }
    commit(size, generation);
    inside_.fetch_sub(1, std::memory_order_release);
    return claim;
}

void ReplayRing::copyIn(Buffer& buffer, std::uint64_t position, const ByteSpan* pieces, std::size_t count) {
    const std::size_t capacity = buffer.capacity;
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned char* data = pieces[i].data;
        std::size_t size = pieces[i].size;
        if (size > capacity) { // only its last capacity bytes can be kept
            data += size - capacity;
            position += size - capacity;
            size = capacity;
        }
        while (size > 0) {
            std::size_t at = static_cast<std::size_t>(position % capacity);
            std::size_t run = std::min(size, capacity - at);
            std::memcpy(buffer.bytes.get() + at, data, run);
            data += run;
            position += run;
            size -= run;
        }
    }
}

// Committed is read first: if it equals what is reserved afterwards, there
// was a moment when every reservation so far had been written.
bool ReplayRing::settled(std::uint64_t& end) const {
    std::uint64_t committed = committed_.load(std::memory_order_acquire) & kCommittedMask;
    end = reserved();
    return committed == end;
}

void ReplayRing::hold(std::uint64_t allowedEnd) {
    allowedEnd_.store(allowedEnd, std::memory_order_release);
    overrun_.store(false, std::memory_order_release);
    word_.fetch_and(~kDirect, std::memory_order_acq_rel);
}

bool ReplayRing::release(std::uint64_t end, std::uint32_t tag) {
    std::uint64_t word = word_.load(std::memory_order_acquire);
    if (word >> kPositionShift != end) return false;
    std::uint64_t released = (end << kPositionShift) | (word & (kGenerationMask << kGenerationShift)) |
                             (std::uint64_t{tag & kTagMask} << kTagShift) | kTagged | kDirect;
    return word_.compare_exchange_strong(word, released, std::memory_order_acq_rel);
}

std::size_t ReplayRing::spans(std::uint64_t from, std::uint64_t to, ByteSpan out[2]) const {
    Buffer* buffer = buffer_.load(std::memory_order_acquire);
    if (to <= from || !buffer) return 0;
    const std::size_t capacity = buffer->capacity;
    unsigned char* bytes = buffer->bytes.get();
    std::size_t at = static_cast<std::size_t>(from % capacity);
    std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(to - from, capacity));
    std::size_t first = std::min(size, capacity - at);
    out[0] = {bytes + at, first};
    if (first == size) return 1;
    out[1] = {bytes, size - first};
    return 2;
}

} // namespace QUORVEX
