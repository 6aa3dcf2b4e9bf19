// SPDX-License-Identifier: Apache-2.0
#include "platform/system.h"

#include <uv.h>
#include <windows.h>
#include <bcrypt.h>

#include <cstring>

namespace quorvex::platform {

// SetThreadDescription exists from Windows 10 1607 on: looked up, so that
// the DLL still loads where it is missing.
void nameThisThread(const char* name) {
    using Describe = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    FARPROC found = kernel ? GetProcAddress(kernel, "SetThreadDescription") : nullptr;
    if (!found) return;
    wchar_t wide[64] = {};
    if (MultiByteToWideChar(CP_UTF8, 0, name, -1, wide, 63) == 0) return;
    Describe describe;
    static_assert(sizeof describe == sizeof found);
    std::memcpy(&describe, &found, sizeof describe); // a function pointer cast GCC warns about
    describe(GetCurrentThread(), wide);
}

bool randomBytes(void* buffer, std::size_t size) {
    return BCryptGenRandom(nullptr, static_cast<PUCHAR>(buffer), static_cast<ULONG>(size),
                           BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0;
}

// Paths are UTF-8, as everywhere else in the interface.
PathKind pathKind(const std::string& path) {
    int length = MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, nullptr, 0);
    if (length <= 0) return PathKind::Missing;
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, wide.data(), length);
    DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::Missing;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? PathKind::Folder : PathKind::Other;
}

bool eventLibraryAvailable(std::string&) { return true; }

// libwebsockets makes the only idle handles on the loop.
void serviceLwsSoon(uv_loop_s* loop) {
    uv_walk(
        loop,
        [](uv_handle_t* handle, void*) {
            if (handle->type != UV_IDLE || uv_is_active(handle) || uv_is_closing(handle)) return;
            auto* idle = reinterpret_cast<uv_idle_t*>(handle);
            if (idle->idle_cb) uv_idle_start(idle, idle->idle_cb);
        },
        nullptr);
}

bool isEventDescriptor(int) { return false; }

void closeDescriptor(int) {}

} // namespace quorvex::platform
