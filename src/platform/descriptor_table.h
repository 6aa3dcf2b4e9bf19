// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_PLATFORM_DESCRIPTOR_TABLE_H
#define QUORVEX_PLATFORM_DESCRIPTOR_TABLE_H

#include <functional>

namespace quorvex::platform {

// For a teardown in which a dependency closes a descriptor twice: in the
// process's table another thread may be given that number between the two
// closes, and would lose its socket or file to the second. work runs on a
// thread of its own whose table is a private copy of the process's, so the
// number stays taken for everyone else; once that thread has ended, every
// descriptor work closed is closed, once, in the process's table, before
// this returns. work must open nothing the process is to keep, and start no
// thread. The caller waits for it.
// False, with work not run, where no such thread can be had (not Linux, a
// sandbox that refuses unshare, no thread to be had).
bool runInPrivateDescriptorTable(const std::function<void()>& work);

} // namespace quorvex::platform

#endif
