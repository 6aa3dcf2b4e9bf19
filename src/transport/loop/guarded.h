// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_LOOP_GUARDED_H
#define QUORVEX_TRANSPORT_LOOP_GUARDED_H

#include <libwebsockets.h>

#include <exception>

namespace quorvex::transport::detail {

// Nothing thrown by application code may unwind through libwebsockets.
template <typename F>
void guarded(const char* what, F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        lwsl_err("%s threw: %s\n", what, e.what());
    } catch (...) {
        lwsl_err("%s threw\n", what);
    }
}

// libwebsockets' timeouts, loop thread only: they tell the loop, whose
// watch then has libwebsockets re-arm its timers (it does so only after an
// event of its own), or a close at once would wait for the next packet.
void setLwsTimeout(lws* wsi, pending_timeout reason, int seconds);
// Closes a connection at the loop's next pass.
inline void killAsync(lws* wsi) { setLwsTimeout(wsi, PENDING_TIMEOUT_USER_REASON_BASE, LWS_TO_KILL_ASYNC); }
// Closes a connection now, its close events before this returns, unless
// libwebsockets keeps it to flush what it buffered.
inline void killNow(lws* wsi) { setLwsTimeout(wsi, PENDING_TIMEOUT_USER_REASON_BASE, LWS_TO_KILL_SYNC); }

} // namespace quorvex::transport::detail

#endif
