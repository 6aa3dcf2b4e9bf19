// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_PLATFORM_DESCRIPTOR_TABLE_H
#define QUORVEX_PLATFORM_DESCRIPTOR_TABLE_H

#include <vector>

namespace quorvex::platform {

// A thread's own copy of the process's descriptor table, for a teardown in
// which a dependency closes a descriptor twice: in the shared table another
// thread may have been given that number between the two closes, and would
// lose its socket or file to the second. In a copy the number stays taken
// for everyone else until the process's table is closed, once, by another
// thread after this one has ended. Linux; elsewhere take() declines.
class PrivateDescriptorTable {
public:
    // Calling thread, for the rest of its life; again is a no-op. False,
    // with nothing changed, where the copy cannot be made or read.
    bool take();
    bool taken() const { return taken_; }
    // The same thread, at its end: the descriptors it has closed since
    // take(), which the process's table still holds.
    std::vector<int> closedSinceTaken() const;

private:
    bool taken_ = false;
    std::vector<int> openWhenTaken_;
};

} // namespace quorvex::platform

#endif
