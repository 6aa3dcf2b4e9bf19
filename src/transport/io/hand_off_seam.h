// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_IO_HAND_OFF_SEAM_H
#define QUORVEX_TRANSPORT_IO_HAND_OFF_SEAM_H

namespace quorvex::transport::detail {

// The points inside the lock-free hand-off where a thread that is
// descheduled matters most. The library's queues take this one, which
// compiles to nothing; a unit test instantiates them with its own to stop a
// thread at each point and show that nobody waits for it.
struct NoSeam {
    static void betweenExchangeAndLink() {} // a producer has taken its place, not yet linked it
    static void whileTaking() {}            // the consumer is in the middle of taking
};

} // namespace quorvex::transport::detail

#endif
