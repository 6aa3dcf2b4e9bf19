// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_LOOP_LOG_CONTEXT_H
#define QUORVEX_TRANSPORT_LOOP_LOG_CONTEXT_H

#include <libwebsockets.h>

#if LWS_LIBRARY_VERSION_MAJOR > 4 || (LWS_LIBRARY_VERSION_MAJOR == 4 && LWS_LIBRARY_VERSION_MINOR >= 3)
#define QUORVEX_LWS_HAS_LOG_CX 1
#endif

namespace quorvex::transport::detail {

// libwebsockets 4.3 binds every context, vhost and connection to a log
// context and counts them there, without a lock when built for one thread
// per context (as Debian builds it). By default that is one log context for
// the whole process, so contexts on different threads race on its count and
// libwebsockets aborts on an assertion. Each context gets one of its own,
// touched only by its own thread. Its lines go on to the process-wide
// logging, so lws_set_log_level still decides what appears and where.
// Nothing to do on 4.1, which has no such count.
class LwsLogContext {
public:
    LwsLogContext();
    LwsLogContext(const LwsLogContext&) = delete;
    LwsLogContext& operator=(const LwsLogContext&) = delete;
    // For lws_create_context; this object must outlive the context.
    void bind(lws_context_creation_info& info);
    // For lws_create_vhost, which would otherwise take the process-wide one.
    static void bindVhost(lws_context* context, lws_context_creation_info& info);

private:
#if defined(QUORVEX_LWS_HAS_LOG_CX)
    lws_log_cx_t cx_{};
#endif
};

} // namespace quorvex::transport::detail

#endif
