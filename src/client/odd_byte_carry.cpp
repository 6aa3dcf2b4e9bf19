// SPDX-License-Identifier: Apache-2.0
#include "client/odd_byte_carry.h"

namespace QUORVEX {

int OddByteCarry::park(unsigned char byte) {
    for (;;) {
        int expected = kNone;
        if (pending_.compare_exchange_weak(expected, byte, std::memory_order_acq_rel)) return kNone;
        int other = pending_.exchange(kNone, std::memory_order_acq_rel);
        if (other != kNone) return other;
    }
}

void OddByteCarry::take(const unsigned char* data, std::size_t size, Pieces& out) {
    // The common case, even frames with nothing waiting, costs one load.
    int carried = pending_.load(std::memory_order_relaxed) == kNone
                      ? kNone
                      : pending_.exchange(kNone, std::memory_order_acq_rel);
    bool hasLead = carried != kNone;
    out.lead = static_cast<unsigned char>(hasLead ? carried : 0);
    std::size_t body = size;
    int other = kNone;
    if ((body + (hasLead ? 1u : 0u)) % 2 != 0) {
        other = park(body > 0 ? data[body - 1] : out.lead);
        // The parked byte leaves this frame, unless another writer's byte
        // came back to complete the sample instead.
        if (other == kNone && body > 0) --body;
        else if (other == kNone) hasLead = false;
    }
    out.count = 0;
    if (hasLead) out.spans[out.count++] = {&out.lead, 1};
    out.spans[out.count++] = {data, body};
    if (other != kNone) {
        out.trail = static_cast<unsigned char>(other);
        out.spans[out.count++] = {&out.trail, 1};
    }
}

} // namespace QUORVEX
