// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_BENCH_COMPARE_PLAIN_HANDOFF_H
#define QUORVEX_BENCH_COMPARE_PLAIN_HANDOFF_H

#include "workload.h"

namespace quorvex::bench {

// The least a hand-off to another thread can cost, measured beside the
// library in the same process: a frame every period, copied into a buffer
// under a lock, then one eventfd write; a consumer thread takes it.
void paceAPlainHandOff(const Workload& load, CallTimes& times);

} // namespace quorvex::bench

#endif
