// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_PLATFORM_SYSTEM_H
#define QUORVEX_PLATFORM_SYSTEM_H

#include <cstddef>
#include <string>

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

// libwebsockets 4.3's cancel-service pipe, which it leaks on a libuv loop:
// whether a descriptor is one (Linux only), and closing it.
bool isEventDescriptor(int fd);
void closeDescriptor(int fd);

} // namespace quorvex::platform

#endif
