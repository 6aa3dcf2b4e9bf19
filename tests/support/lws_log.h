// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TESTS_SUPPORT_LWS_LOG_H
#define QUORVEX_TESTS_SUPPORT_LWS_LOG_H

#include <string>
#include <vector>

namespace quorvex::test {

// libwebsockets' error and notice lines are captured instead of printed, so
// tests stay quiet and can assert on what the wrapper logged.
void captureLwsLog();
std::vector<std::string> lwsLogLines();
void clearLwsLog();
bool lwsLogContains(const std::string& text);

} // namespace quorvex::test

#endif
