// SPDX-License-Identifier: Apache-2.0
#include "platform/descriptor_table.h"

namespace quorvex::platform {

// Windows has no per-thread descriptor tables; nor does libwebsockets close
// a handle twice there (it has no event pipe on Windows).
bool runInPrivateDescriptorTable(const std::function<void()>&) { return false; }

} // namespace quorvex::platform
