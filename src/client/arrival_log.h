// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_CLIENT_ARRIVAL_LOG_H
#define QUORVEX_CLIENT_ARRIVAL_LOG_H

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace QUORVEX {

// When the audio up to each point of a session was handed to sendAudio,
// so that a final result's latency can be told from its ed. One slot per
// 100 ms of audio holds the last frame that ended within it: 1 KiB per
// client covers the last 12.8 s of audio, and a point between two slots is
// interpolated, which for audio sent as it is spoken is exact to a frame.
// Writers on any thread record with one atomic store; a slot packs the
// audio's end (ms) and the time (ms after the start) in one word, so a
// reader never sees half an entry.
class ArrivalLog {
public:
    // Application thread, at start.
    void reset(std::int64_t nowMs) {
        startMs_.store(nowMs, std::memory_order_relaxed);
        for (auto& slot : slots_) slot.store(0, std::memory_order_relaxed);
    }
    // Any thread: the audio up to endMs has just been handed over.
    void note(std::uint64_t endMs, std::int64_t nowMs) {
        std::uint64_t since = static_cast<std::uint64_t>(nowMs - startMs_.load(std::memory_order_relaxed));
        slots_[(endMs / kStrideMs) % kSlots].store((endMs << 32) | (since & 0xffffffffu), std::memory_order_relaxed);
    }
    // Milliseconds since the audio at edMs was handed over; -1 when it is no
    // longer (or not yet) in the log.
    int latencyOf(std::uint64_t edMs, std::int64_t nowMs) const {
        std::uint64_t after = ~0ull, before = 0; // the nearest entries at or past edMs, and before it
        for (const auto& slot : slots_) {
            std::uint64_t entry = slot.load(std::memory_order_relaxed);
            if (entry == 0) continue;
            if ((entry >> 32) >= edMs) {
                after = std::min(after, entry);
            } else {
                before = std::max(before, entry);
            }
        }
        if (after == ~0ull || (before == 0 && edMs != 0)) return -1;
        std::int64_t at = timeOf(after);
        if (before != 0 && (after >> 32) > (before >> 32)) {
            std::int64_t span = static_cast<std::int64_t>((after >> 32) - (before >> 32));
            std::int64_t into = static_cast<std::int64_t>(edMs - (before >> 32));
            at = timeOf(before) + (timeOf(after) - timeOf(before)) * into / span;
        }
        return static_cast<int>(nowMs - startMs_.load(std::memory_order_relaxed) - at);
    }

private:
    static constexpr std::uint64_t kStrideMs = 100;
    static constexpr std::size_t kSlots = 128;
    static std::int64_t timeOf(std::uint64_t entry) { return static_cast<std::int64_t>(entry & 0xffffffffu); }

    std::atomic<std::int64_t> startMs_{0};
    std::atomic<std::uint64_t> slots_[kSlots] = {};
};

} // namespace QUORVEX

#endif
