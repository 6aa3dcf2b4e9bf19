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
    std::uint32_t actions = advance(session::Event::DestroyCheck).transition.actions;
    if (actions & session::kDestroyNow) {
        sdkLog("%s destory suc state!", sessionId.c_str());
        request->result = 0;
        notify("onDestroyed", [](QvAsrClientListener& l) { l.onDestroyed(0); });
        completeDestroy(request);
    } else if (actions & session::kDestroyOnClose) {
        sdkLog("%s not stable state destory!", sessionId.c_str());
        request->result = 0;
        pendingDestroy_ = request;
        // A failed session waits for the server to close; do not let the caller wait on it.
        close();
    } else {
        sdkLog("%s can not destory!", sessionId.c_str());
        request->result = -5;
        completeDestroy(request);
    }
}

} // namespace QUORVEX
