// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_IO_MESSAGE_ASSEMBLER_H
#define QUORVEX_TRANSPORT_IO_MESSAGE_ASSEMBLER_H

#include <cstddef>
#include <string>

namespace quorvex::transport::detail {

// Joins the fragments of one incoming WebSocket message, up to a byte limit.
// A message over the limit is dropped: its buffer is given back at once and
// its remaining fragments are ignored.
class MessageAssembler {
public:
    enum class Outcome {
        Partial,  // more fragments to come (or the rest of a dropped message)
        Complete, // take() holds the whole message
        TooBig,   // this fragment crossed the limit: the message is dropped
    };

    explicit MessageAssembler(std::size_t limit) : limit_(limit) {}

    Outcome add(bool firstFragment, bool finalFragment, bool binary, const void* data, std::size_t size);
    bool binary() const { return binary_; }
    std::size_t limit() const { return limit_; }
    // The completed message; the assembler starts empty.
    std::string take();
    // Hands a delivered message's buffer back for reuse, unless it is huge.
    void recycle(std::string&& used);

private:
    static constexpr std::size_t kKeptCapacity = 64 * 1024;
    std::size_t limit_;
    std::string message_;
    bool binary_ = false;
    bool discarding_ = false;
};

} // namespace quorvex::transport::detail

#endif
