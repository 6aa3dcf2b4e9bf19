// SPDX-License-Identifier: Apache-2.0
#include "transport/io/message_assembler.h"

namespace quorvex::transport::detail {

MessageAssembler::Outcome MessageAssembler::add(bool firstFragment, bool finalFragment, bool binary,
                                                const void* data, std::size_t size) {
    if (firstFragment) {
        message_.clear();
        binary_ = binary;
        discarding_ = false;
    }
    if (discarding_) return Outcome::Partial;
    if (size > limit_ - message_.size()) {
        std::string().swap(message_);
        discarding_ = true;
        return Outcome::TooBig;
    }
    message_.append(static_cast<const char*>(data), size);
    return finalFragment ? Outcome::Complete : Outcome::Partial;
}

std::string MessageAssembler::take() {
    std::string message;
    message.swap(message_);
    return message;
}

void MessageAssembler::recycle(std::string&& used) {
    if (!message_.empty() || used.capacity() > kKeptCapacity) return;
    used.clear();
    message_.swap(used);
}

} // namespace quorvex::transport::detail
