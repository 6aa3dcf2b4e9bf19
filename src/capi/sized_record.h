// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_CAPI_SIZED_RECORD_H
#define QUORVEX_CAPI_SIZED_RECORD_H

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace quorvex::capi {

// A caller's record as this library knows it: the bytes the caller's size
// says it has, and zero for members its (older) header did not have yet.
// False for a record too short to hold even its size.
template <typename Record>
bool readSized(const Record* given, Record& record) {
    record = Record{};
    if (!given || given->size < sizeof given->size) return false;
    std::memcpy(static_cast<void*>(&record), given, std::min(given->size, sizeof(Record)));
    record.size = sizeof(Record);
    return true;
}

// Fills as much of the caller's record as its size says it holds; its size
// stays the caller's.
template <typename Record>
bool writeSized(Record* target, const Record& record) {
    if (!target || target->size < sizeof target->size) return false;
    std::size_t size = target->size;
    std::size_t copied = std::min(size, sizeof(Record)) - sizeof target->size;
    std::memcpy(reinterpret_cast<unsigned char*>(target) + sizeof target->size,
                reinterpret_cast<const unsigned char*>(&record) + sizeof record.size, copied);
    return true;
}

} // namespace quorvex::capi

#endif
