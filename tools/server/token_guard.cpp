// SPDX-License-Identifier: Apache-2.0
#include "token_guard.h"

namespace quorvex::server {

TokenGuard::TokenGuard(std::string expected, unsigned int maxFailures, std::chrono::milliseconds window,
                       std::size_t maxAddresses)
    : expected_(std::move(expected)), maxFailures_(maxFailures), window_(window), maxAddresses_(maxAddresses) {}

bool TokenGuard::matches(const std::string& token) const {
    if (expected_.empty()) return true;
    unsigned char difference = token.size() == expected_.size() ? 0 : 1;
    for (std::size_t i = 0; i < token.size(); ++i)
        difference |= static_cast<unsigned char>(token[i] ^ expected_[i % expected_.size()]);
    return difference == 0;
}

bool TokenGuard::lockedOut(const std::string& address, Clock::time_point now) {
    auto found = failures_.find(address);
    if (found == failures_.end()) return false;
    if (now - found->second.start >= window_) {
        failures_.erase(found);
        return false;
    }
    return found->second.count >= maxFailures_;
}

unsigned int TokenGuard::recordFailure(const std::string& address, Clock::time_point now) {
    auto found = failures_.find(address);
    if (found != failures_.end() && now - found->second.start >= window_) {
        failures_.erase(found);
        found = failures_.end();
    }
    if (found == failures_.end()) {
        makeRoom(now);
        found = failures_.emplace(address, Window{now, 0}).first;
    }
    return ++found->second.count;
}

// Full: forget ended windows, then, if need be, the oldest one.
void TokenGuard::makeRoom(Clock::time_point now) {
    if (failures_.size() < maxAddresses_) return;
    for (auto it = failures_.begin(); it != failures_.end();)
        it = now - it->second.start >= window_ ? failures_.erase(it) : std::next(it);
    if (failures_.size() < maxAddresses_) return;
    auto oldest = failures_.begin();
    for (auto it = failures_.begin(); it != failures_.end(); ++it)
        if (it->second.start < oldest->second.start) oldest = it;
    failures_.erase(oldest);
}

} // namespace quorvex::server
