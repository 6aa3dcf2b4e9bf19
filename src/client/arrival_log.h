// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_CLIENT_ARRIVAL_LOG_H
#define QUORVEX_CLIENT_ARRIVAL_LOG_H

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace QUORVEX {

// When the audio up to each point of a session was handed to sendAudio:
// the last frames' ends, so that a final result's latency can be told from
// its ed. Writers on any thread record with two atomic operations; a slot
// packs the audio's end (ms) and the time (ms after the start) in one word,
// so a reader never sees half an entry.
class ArrivalLog {
public:
    // Application thread, at start.
    void reset(std::int64_t nowMs) {
        startMs_.store(nowMs, std::memory_order_relaxed);
        for (auto& slot : slots_) slot.store(0, std::memory_order_relaxed);
        next_.store(0, std::memory_order_release);
    }
    // Any thread: the audio up to endMs has just been handed over.
    void note(std::uint64_t endMs, std::int64_t nowMs) {
        std::uint64_t since = static_cast<std::uint64_t>(nowMs - startMs_.load(std::memory_order_relaxed));
        std::uint32_t slot = next_.fetch_add(1, std::memory_order_relaxed) % kSlots;
        slots_[slot].store((endMs << 32) | (since & 0xffffffffu), std::memory_order_relaxed);
    }
    // Milliseconds since the frame that held the audio at edMs was handed
    // over; -1 when that frame is no longer (or not yet) in the log.
    int latencyOf(std::uint64_t edMs, std::int64_t nowMs) const {
        std::uint64_t best = ~0ull;
        bool earlierSeen = edMs == 0;
        for (const auto& slot : slots_) {
            std::uint64_t entry = slot.load(std::memory_order_relaxed);
            if (entry == 0) continue;
            std::uint64_t endMs = entry >> 32;
            if (endMs >= edMs && entry < best) best = entry;
            if (endMs < edMs) earlierSeen = true;
        }
        if (best == ~0ull || !earlierSeen) return -1;
        std::int64_t at = startMs_.load(std::memory_order_relaxed) + static_cast<std::int64_t>(best & 0xffffffffu);
        return static_cast<int>(nowMs - at);
    }

private:
    static constexpr std::size_t kSlots = 1024; // 20 s of 20 ms frames
    std::atomic<std::int64_t> startMs_{0};
    std::atomic<std::uint32_t> next_{0};
    std::atomic<std::uint64_t> slots_[kSlots] = {};
};

} // namespace QUORVEX

#endif
