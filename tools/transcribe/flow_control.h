// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TOOLS_TRANSCRIBE_FLOW_CONTROL_H
#define QUORVEX_TOOLS_TRANSCRIBE_FLOW_CONTROL_H

#include <algorithm>

namespace quorvex::tools {

// Audio goes out no further than kAheadMs ahead of the recogniser's results,
// or of real time, whichever is further on. Real time alone must keep the
// audio moving: silence brings no results, and a sender held back by them
// would never send the speech after a long pause. The library's send queue
// is what bounds a server that takes in less than real time.
constexpr long long kAheadMs = 20000;

// The milliseconds of audio that may have been sent, given the end of the
// last result (heardMs) and the time since the first frame (elapsedMs).
constexpr long long mayHaveSentMs(long long heardMs, long long elapsedMs) {
    return std::max(heardMs, elapsedMs) + kAheadMs;
}

} // namespace quorvex::tools

#endif
