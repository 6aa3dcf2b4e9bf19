// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_CLIENT_LISTENER_CALLS_H
#define QUORVEX_CLIENT_LISTENER_CALLS_H

#include <exception>
#include <string>
#include <utility>

#include "client/asr_client_impl.h"
#include "sdk/log.h"

namespace QUORVEX {

namespace detail {
// Listener calls never unwind into the library: a pending destruction must still complete.
template <typename Target, typename Call>
void callGuarded(Target* target, const std::string& sessionId, const char* what, Call&& call) {
    if (!target) return;
    try {
        call(*target);
    } catch (const std::exception& e) {
        sdkLog("%s listener %s threw: %s", sessionId.c_str(), what, e.what());
    } catch (...) {
        sdkLog("%s listener %s threw", sessionId.c_str(), what);
    }
}
} // namespace detail

template <typename Call>
void QvAsrClientImpl::notify(const char* what, Call&& call) {
    detail::callGuarded(listener.load(), sessionId, what, std::forward<Call>(call));
}

} // namespace QUORVEX

#endif
