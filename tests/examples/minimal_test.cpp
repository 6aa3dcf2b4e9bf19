// SPDX-License-Identifier: Apache-2.0
// The documented example as a user runs it, against a scripted server: it
// must end its session and let go of its client, or give up within its bounds.
#include <gtest/gtest.h>

#include <string>

#include "asr_fixture.h"
#include "program_run.h"

using namespace quorvex::test;

TEST(MinimalExample, EndsItsSessionAndDestroysItsClient) {
    ScriptedServer server;
    ProgramRun run = runProgram(std::string(QUORVEX_MINIMAL_EXAMPLE) + " " + server.url() + " token");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("start result 0 sid-1"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("final words"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("stop result 0"), std::string::npos) << run.output;
}

TEST(MinimalExample, AStopThatIsNeverAnsweredEndsWithinTheLibrarysBound) {
    ScriptedServer server;
    server.answerStop = false;
    ProgramRun run = runProgram(std::string(QUORVEX_MINIMAL_EXAMPLE) + " " + server.url());
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_NE(run.output.find("session error 1: disconnect from server! state:5"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("left allocated"), std::string::npos) << "the ended session's client was not destroyed";
}
