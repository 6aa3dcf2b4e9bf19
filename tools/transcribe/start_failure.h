// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TOOLS_TRANSCRIBE_START_FAILURE_H
#define QUORVEX_TOOLS_TRANSCRIBE_START_FAILURE_H

#include <optional>
#include <string>

#include "options.h"
#include "printer.h"

namespace quorvex::tools {

struct Verdict {
    int exitCode = kConnectionFailed;
    std::string message; // names the server or the proxy, the cause and what to do
};

// What the user is told when a session did not start, from the reason the
// library gave (none: it gave no reason), and the exit code that goes with it.
Verdict explainStartFailure(const std::optional<StartFailureNote>& failure, const Options& options);

} // namespace quorvex::tools

#endif
