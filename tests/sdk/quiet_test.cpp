// SPDX-License-Identifier: Apache-2.0
// What an application with logging disabled sees of the library and of
// libwebsockets on its terminal: nothing, over many sessions.
#include <gtest/gtest.h>

#include <string>

#include "asr_fixture.h"
#include "program_run.h"

using namespace quorvex::test;

TEST(Quiet, AHundredSessionsWithLoggingDisabledPrintNothing) {
    ScriptedServer server;
    ProgramRun run = runProgram(std::string(QUORVEX_QUIET_SESSIONS) + " " + server.url() + " 100");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(run.output, "") << "printed on standard output or error with logging disabled";
    EXPECT_EQ(server.sessions.load(), 100);
}
