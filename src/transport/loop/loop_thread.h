// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_LOOP_LOOP_THREAD_H
#define QUORVEX_TRANSPORT_LOOP_LOOP_THREAD_H

namespace quorvex::transport::detail {

// Prints which function broke the threading rule, then aborts.
[[noreturn]] void failLoopThreadCheck(const char* function);

} // namespace quorvex::transport::detail

// libwebsockets is not thread-safe: whatever touches a wsi, a timer or the
// connection records must run on its context's loop thread. Debug builds
// (and so the sanitizer builds) check it; release builds compile it away.
#ifdef NDEBUG
#define QUORVEX_ASSERT_LOOP_THREAD(loop) ((void)0)
#define QUORVEX_ASSERT_ON_LOOP_THREAD(loop) ((void)0)
#else
#define QUORVEX_ASSERT_ON_LOOP_THREAD(loop)                                                                 \
    do {                                                                                                    \
        if (!(loop).onLoopThread()) ::quorvex::transport::detail::failLoopThreadCheck(__func__);            \
    } while (false)
#define QUORVEX_ASSERT_LOOP_THREAD(loop) QUORVEX_ASSERT_ON_LOOP_THREAD(loop)
#endif

#endif
