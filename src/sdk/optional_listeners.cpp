// SPDX-License-Identifier: Apache-2.0
// Listeners an application may add to a client beyond QvAsrClientListener,
// registered by a call rather than found by a cast, so that an application
// built without RTTI can have them too.
#include "client/asr_client_impl.h"
#include "log.h"

namespace QUORVEX {

int setStartFailureListener(QvAsrClient* client, QvAsrStartFailureListener* listener) {
    sdkLog("QUORVEX::setStartFailureListener");
    if (!client) return -1;
    static_cast<QvAsrClientImpl*>(client)->setFailureListener(listener);
    return 0;
}

} // namespace QUORVEX
