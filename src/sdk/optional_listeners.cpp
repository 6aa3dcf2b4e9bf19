// SPDX-License-Identifier: Apache-2.0
// Listeners an application may add to a client beyond QvAsrClientListener,
// registered by a call rather than found by a cast, so that an application
// built without RTTI can have them too.
#include <algorithm>
#include <cstring>

#include "client/asr_client_impl.h"
#include "log.h"

namespace QUORVEX {

int setStartFailureListener(QvAsrClient* client, QvAsrStartFailureListener* listener) {
    sdkLog("QUORVEX::setStartFailureListener");
    if (!client) return -1;
    static_cast<QvAsrClientImpl*>(client)->setFailureListener(listener);
    return 0;
}

int setResumeListener(QvAsrClient* client, QvAsrResumeListener* listener) {
    sdkLog("QUORVEX::setResumeListener");
    if (!client) return -1;
    static_cast<QvAsrClientImpl*>(client)->setResumeListener(listener);
    return 0;
}

// Fills as much of the caller's record as its size says, keeping its size.
int getSessionStats(QvAsrClient* client, QvAsrSessionStats* stats) {
    if (!client || !stats || stats->size < static_cast<int>(sizeof stats->size)) return -1;
    QvAsrSessionStats full{};
    static_cast<QvAsrClientImpl*>(client)->fillStats(full);
    full.size = stats->size;
    std::memcpy(static_cast<void*>(stats), &full, std::min(static_cast<std::size_t>(stats->size), sizeof full));
    return 0;
}

} // namespace QUORVEX
