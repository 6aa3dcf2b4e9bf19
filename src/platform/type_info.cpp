// SPDX-License-Identifier: Apache-2.0
#include "platform/type_info.h"

namespace quorvex::platform {

bool hasTypeInfo(const void* polymorphic) {
#if defined(__GXX_ABI_VERSION)
    // Itanium C++ ABI (GCC and clang, MinGW included): the object starts with
    // its vtable pointer, and the slot before the first virtual function
    // holds the class's type_info, null when compiled with -fno-rtti.
    const void* const* vtable = *static_cast<const void* const* const*>(polymorphic);
    return vtable[-1] != nullptr;
#else
    (void)polymorphic;
    return false;
#endif
}

} // namespace quorvex::platform
