// SPDX-License-Identifier: Apache-2.0
#include <mutex>

#include "client/asr_client_impl.h"
#include "client/listener_calls.h"
#include "sdk/log.h"
#include "sdk/runtime.h"

namespace QUORVEX {

// ---- destruction hand-shake (loop thread, sdkMutex held by the callers' protocol) ----

void QvAsrClientImpl::completeDestroy(DestroyRequest* request) {
    if (!request) return;
    request->completed = true;
    // One condition variable serves every waiter: wake them all, each checks its own request.
    sdkCond->notify_all();
}

void QvAsrClientImpl::checkDestroy(DestroyRequest* request) {
    std::lock_guard<std::mutex> guard(*sdkMutex);
    switch (state.load()) {
    case ASR_STATE_IDLE:
    case ASR_STATE_CLOSED:
        sdkLog("%s destory suc state!", sessionId.c_str());
        request->result = 0;
        notify("onDestroyed", [](QvAsrClientListener& l) { l.onDestroyed(0); });
        completeDestroy(request);
        return;
    case ASR_STATE_STOPPED:
    case ASR_STATE_FAILED:
        sdkLog("%s not stable state destory!", sessionId.c_str());
        request->result = 0;
        state = ASR_STATE_DESTROY_PENDING;
        pendingDestroy_ = request;
        // A failed session waits for the server to close; do not let the caller wait on it.
        close();
        return;
    default:
        sdkLog("%s can not destory!", sessionId.c_str());
        request->result = -5;
        completeDestroy(request);
        return;
    }
}

} // namespace QUORVEX
