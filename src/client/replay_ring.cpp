// SPDX-License-Identifier: Apache-2.0
#include "client/replay_ring.h"

#include <algorithm>
#include <cstring>

namespace QUORVEX {

using quorvex::transport::detail::ByteSpan;

void ReplayRing::reset(std::size_t capacity) {
    if (capacity != capacity_) {
        bytes_.reset(capacity ? new unsigned char[capacity] : nullptr);
        capacity_ = capacity;
    }
    word_.store(kDirect, std::memory_order_release);
    committed_.store(0, std::memory_order_release);
    allowedEnd_.store(~0ull, std::memory_order_release);
    overrun_.store(false, std::memory_order_release);
}

ReplayRing::Claim ReplayRing::append(const ByteSpan* pieces, std::size_t count) {
    std::uint64_t size = 0;
    for (std::size_t i = 0; i < count; ++i) size += pieces[i].size;
    std::uint64_t word = word_.fetch_add(size << kPositionShift, std::memory_order_acq_rel);
    Claim claim;
    std::uint64_t position = word >> kPositionShift;
    claim.end = position + size;
    claim.direct = (word & kDirect) != 0;
    claim.tagged = (word & kTagged) != 0;
    claim.tag = static_cast<std::uint32_t>((word >> kTagShift) & kTagMask);
    if (!claim.direct && claim.end > allowedEnd_.load(std::memory_order_acquire)) {
        claim.kept = false;
        overrun_.store(true, std::memory_order_release);
    } else if (capacity_) {
        copyIn(position, pieces, count);
    }
    committed_.fetch_add(size, std::memory_order_acq_rel);
    return claim;
}

void ReplayRing::copyIn(std::uint64_t position, const ByteSpan* pieces, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned char* data = pieces[i].data;
        std::size_t size = pieces[i].size;
        if (size > capacity_) { // only its last capacity bytes can be kept
            data += size - capacity_;
            position += size - capacity_;
            size = capacity_;
        }
        while (size > 0) {
            std::size_t at = static_cast<std::size_t>(position % capacity_);
            std::size_t run = std::min(size, capacity_ - at);
            std::memcpy(bytes_.get() + at, data, run);
            data += run;
            position += run;
            size -= run;
        }
    }
}

// Committed is read first: if it equals what is reserved afterwards, there
// was a moment when every reservation so far had been written.
bool ReplayRing::settled(std::uint64_t& end) const {
    std::uint64_t committed = committed_.load(std::memory_order_acquire);
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
    std::uint64_t released = (end << kPositionShift) | (std::uint64_t{tag & kTagMask} << kTagShift) | kTagged | kDirect;
    return word_.compare_exchange_strong(word, released, std::memory_order_acq_rel);
}

std::size_t ReplayRing::spans(std::uint64_t from, std::uint64_t to, ByteSpan out[2]) const {
    if (to <= from || !capacity_) return 0;
    std::size_t at = static_cast<std::size_t>(from % capacity_);
    std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(to - from, capacity_));
    std::size_t first = std::min(size, capacity_ - at);
    out[0] = {bytes_.get() + at, first};
    if (first == size) return 1;
    out[1] = {bytes_.get(), size - first};
    return 2;
}

} // namespace QUORVEX
