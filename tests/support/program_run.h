// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TESTS_SUPPORT_PROGRAM_RUN_H
#define QUORVEX_TESTS_SUPPORT_PROGRAM_RUN_H

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace quorvex::test {

struct ProgramRun {
    int exitCode = -1; // -1: could not start, or killed by a signal
    std::string output; // standard output and error together
};

// Runs a shell command line as a user would, to its end.
inline ProgramRun runProgram(const std::string& commandLine) {
    ProgramRun run;
    FILE* pipe = popen((commandLine + " 2>&1").c_str(), "r");
    if (!pipe) return run;
    char chunk[4096];
    while (std::size_t got = std::fread(chunk, 1, sizeof chunk, pipe)) run.output.append(chunk, got);
    int status = pclose(pipe);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

} // namespace quorvex::test

#endif
