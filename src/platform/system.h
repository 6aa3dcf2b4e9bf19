// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_PLATFORM_SYSTEM_H
#define QUORVEX_PLATFORM_SYSTEM_H

#include <cstddef>
#include <string>

struct uv_loop_s;

namespace quorvex::platform {

// Names the calling thread where tools show it (top -H, perf, debuggers).
void nameThisThread(const char* name);

// Fills buffer from the system's random source; false if it has none.
bool randomBytes(void* buffer, std::size_t size);

enum class PathKind { Missing, Folder, Other };
PathKind pathKind(const std::string& path);

// Whether libwebsockets can use its libuv event library; why not if it
// cannot. Linux loads it as a plugin at run time; elsewhere it is linked in.
bool eventLibraryAvailable(std::string& why);

// Whether libwebsockets' lws_cancel_service, called from another thread,
// wakes a libuv loop: on Linux it writes the event pipe the loop watches; on
// Windows (4.1.6) it signals only libwebsockets' own loop, and libuv's
// uv_async_t must do it.
#if defined(_WIN32)
constexpr bool kLwsCancelWakesLibuvLoop = false;
#else
constexpr bool kLwsCancelWakesLibuvLoop = true;
#endif

// Whether a thread_local object's destructor may run at thread exit. MinGW's
// GCC keeps thread_local storage in emulated TLS, which a thread's exit may
// free before it runs those destructors (seen crashing under Wine): on
// Windows thread_local objects have trivial destructors only.
#if defined(_WIN32)
constexpr bool kThreadLocalDestructorsAreSafe = false;
#else
constexpr bool kThreadLocalDestructorsAreSafe = true;
#endif

// libwebsockets 4.1 on a libuv loop runs its own timers (a close it was asked
// for, a timeout) from an idle handle it starts only after one of its socket
// events. On Linux lws_cancel_service gives it one (its event pipe); on
// Windows it has no such pipe, so after the loop itself has changed
// libwebsockets' state (a timer of ours, a mailbox pass) the idle handle is
// restarted. The loop thread only.
#if defined(_WIN32)
void serviceLwsSoon(uv_loop_s* loop);
#else
inline void serviceLwsSoon(uv_loop_s*) {}
#endif

// libwebsockets 4.3's cancel-service pipe, which it leaks on a libuv loop:
// whether a descriptor is one (Linux only), and closing it.
bool isEventDescriptor(int fd);
void closeDescriptor(int fd);

} // namespace quorvex::platform

#endif
