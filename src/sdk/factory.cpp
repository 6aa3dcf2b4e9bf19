// SPDX-License-Identifier: Apache-2.0
#include <mutex>
#include <new>

#include "client/asr_client_impl.h"
#include "log.h"
#include "runtime.h"
#include "runtime_gate.h"
#include "transport/wss_context.h"

namespace QUORVEX {

namespace {

// Posts the destruction check to the loop thread and waits for this
// request's own completion (spurious and foreign wake-ups are ignored).
// The check is posted before the lock is taken: the loop takes the lock to
// run it, and must never wait for a thread that is posting. The request's
// own flag means a check that runs first is not missed.
int destroyOnLoop(QvAsrClientImpl* client, CWSSContext* context) {
    DestroyRequest request;
    void* timer = context->addTimer(
        [client, &request](void*) {
            client->checkDestroy(&request);
            return false;
        },
        0);
    if (!timer) {
        sdkLog("QUORVEX::destroyAsrInstance event loop is not running");
        return -5;
    }
    {
        std::unique_lock<std::mutex> lock(*sdkMutex);
        sdkCond->wait(lock, [&request] { return request.completed || runtimeReleased; });
        if (!request.completed) {
            sdkLog("QUORVEX::destroyAsrInstance the library was released meanwhile");
            return -5; // the check never ran: the loops stopped before it
        }
    }
    context->delTimer(timer);
    return request.result;
}

int destroyChecked(QvAsrClient* client) {
    if (!client) {
        sdkLog("QUORVEX::destroyAsrInstance client is null");
        return -1;
    }
    GateUse initialised(entryGate);
    if (!initialised) return 0;
    auto* impl = static_cast<QvAsrClientImpl*>(client);
    CWSSContext* context = impl->loopContext();
    if (!sdkMutex || !sdkCond || !context) {
        sdkLog("QUORVEX::destroyAsrInstance library initialised without its records");
        return -1;
    }
    if (context->isLoopThread()) {
        sdkLog("QUORVEX::destroyAsrInstance called on the event-loop thread (from a listener); refused");
        return -5;
    }
    return destroyOnLoop(impl, context);
}

} // namespace

QvAsrClient* createAsrInstance() {
    sdkLog("QUORVEX::createAsrInstance");
    GateUse initialised(entryGate);
    if (!initialised) return nullptr;
    return new (std::nothrow) QvAsrClientImpl(sharedClient->getContext());
}

int destroyAsrInstance(QvAsrClient* client) {
    sdkLog("QUORVEX::destroyAsrInstance");
    int result = destroyChecked(client);
    sdkLog("out %s", "QUORVEX::destroyAsrInstance");
    return result;
}

} // namespace QUORVEX
