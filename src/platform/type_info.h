// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_PLATFORM_TYPE_INFO_H
#define QUORVEX_PLATFORM_TYPE_INFO_H

namespace quorvex::platform {

// Whether the class of a polymorphic object was compiled with run-time type
// information, so that a dynamic_cast across its bases is safe. An
// application built with -fno-rtti has none, and a cross-cast would read
// through a null pointer. False where the compiler's ABI does not say.
bool hasTypeInfo(const void* polymorphic);

} // namespace quorvex::platform

#endif
