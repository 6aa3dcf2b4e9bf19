// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TOOLS_SERVER_TOKEN_GUARD_H
#define QUORVEX_TOOLS_SERVER_TOKEN_GUARD_H

#include <chrono>
#include <cstddef>
#include <string>
#include <unordered_map>

namespace quorvex::server {

// Checks tokens and counts wrong ones per peer address: an address that has
// sent too many in a window is refused without a check until the window ends.
// Loop thread only.
class TokenGuard {
public:
    using Clock = std::chrono::steady_clock;

    TokenGuard(std::string expected, unsigned int maxFailures, std::chrono::milliseconds window,
               std::size_t maxAddresses = 4096);

    bool matches(const std::string& token) const; // time independent of where they differ
    bool lockedOut(const std::string& address, Clock::time_point now);
    // Counts one wrong token; returns the count in the address's window.
    unsigned int recordFailure(const std::string& address, Clock::time_point now);
    std::size_t addressesTracked() const { return failures_.size(); }

private:
    struct Window {
        Clock::time_point start;
        unsigned int count = 0;
    };
    void makeRoom(Clock::time_point now);

    std::string expected_;
    unsigned int maxFailures_;
    std::chrono::milliseconds window_;
    std::size_t maxAddresses_;
    std::unordered_map<std::string, Window> failures_;
};

} // namespace quorvex::server

#endif
