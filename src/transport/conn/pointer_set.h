// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_CONN_POINTER_SET_H
#define QUORVEX_TRANSPORT_CONN_POINTER_SET_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvex::transport::detail {

// A set of pointers in one flat array (open addressing, linear probing). The
// loop asks it once per flushed connection: a lookup here costs one cache
// line where a node-based set costs a bucket and a node. Null is never a member.
template <typename T>
class PointerSet {
public:
    bool contains(const T* item) const {
        if (!item || count_ == 0) return false;
        for (std::size_t slot = home(item);; slot = next(slot)) {
            if (slots_[slot] == item) return true;
            if (!slots_[slot]) return false;
        }
    }

    void insert(T* item) {
        if (!item || contains(item)) return;
        if (2 * (count_ + 1) > slots_.size()) grow();
        place(item);
        ++count_;
    }

    // Backward-shift deletion: no tombstones, so lookups stay short however
    // many connections come and go.
    void erase(const T* item) {
        if (!item || count_ == 0) return;
        std::size_t hole = home(item);
        while (slots_[hole] != item) {
            if (!slots_[hole]) return;
            hole = next(hole);
        }
        for (std::size_t slot = next(hole); slots_[slot]; slot = next(slot)) {
            std::size_t wanted = home(slots_[slot]);
            // The entry may move into the hole unless its home lies after the hole, up to it.
            bool homeBetween = hole <= slot ? (hole < wanted && wanted <= slot) : (hole < wanted || wanted <= slot);
            if (homeBetween) continue;
            slots_[hole] = slots_[slot];
            hole = slot;
        }
        slots_[hole] = nullptr;
        --count_;
    }

    std::size_t size() const { return count_; }

private:
    std::size_t home(const T* item) const {
        // Fibonacci hashing of the address; allocation alignment leaves the low bits all alike.
        auto bits = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(item));
        return static_cast<std::size_t>((bits * 0x9E3779B97F4A7C15ull) >> 32) & (slots_.size() - 1);
    }
    std::size_t next(std::size_t slot) const { return (slot + 1) & (slots_.size() - 1); }

    void place(T* item) {
        std::size_t slot = home(item);
        while (slots_[slot]) slot = next(slot);
        slots_[slot] = item;
    }

    void grow() {
        std::vector<T*> old(slots_.empty() ? 16 : 2 * slots_.size(), nullptr);
        old.swap(slots_);
        for (T* item : old)
            if (item) place(item);
    }

    std::vector<T*> slots_;
    std::size_t count_ = 0;
};

} // namespace quorvex::transport::detail

#endif
