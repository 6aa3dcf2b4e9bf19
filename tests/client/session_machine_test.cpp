// SPDX-License-Identifier: Apache-2.0
// The session table without sockets: every row, state by state.
#include <gtest/gtest.h>

#include <initializer_list>

#include "client/session_machine.h"

using namespace QUORVEX;
using namespace QUORVEX::session;

namespace {

constexpr int kSame = kUnchanged;

struct Expected {
    Event event;
    std::initializer_list<int> states;
    Facts facts;
    int next;
    std::uint32_t actions;
    bool after = false;
};

Facts resumable(bool attemptsLeft = true) { return Facts{true, attemptsLeft}; }
Facts attempts(bool left) { return Facts{false, left}; }

const char* name(Event event) {
    static const char* names[] = {"Start",        "SendAudio",     "Stop",         "Established",   "ConnectErr",
                                  "Close",        "StartAccepted", "StartRefused", "Text",          "StopAnswered",
                                  "ServerException", "OtherMessage", "DestroyCheck", "StartDeadline", "StopDeadline",
                                  "AttemptDue",   "Replayed"};
    return names[static_cast<int>(event)];
}

void expectRows(const std::vector<Expected>& rows) {
    for (const Expected& row : rows) {
        for (int state : row.states) {
            Transition got = step(state, row.event, row.facts);
            EXPECT_EQ(got.next, row.next) << name(row.event) << " in " << state;
            EXPECT_EQ(got.actions, row.actions) << name(row.event) << " in " << state;
            EXPECT_EQ(got.enterAfterActions, row.after) << name(row.event) << " in " << state;
        }
    }
}

} // namespace

// With resumption off no fact is ever set: the rows as specified.
TEST(SessionMachine, SpecifiedRows) {
    const Facts none{};
    expectRows({
        {Event::Start, {0, 10}, none, ASR_STATE_CONNECTING, kConnect},
        {Event::Start, {6, 9}, none, kSame, kLogNotStable | kRefuse},
        {Event::Start, {1, 3, 4, 5, 7, 11, 12}, none, kSame, kRefuse},
        {Event::SendAudio, {4}, none, kSame, kWriteAudio},
        {Event::SendAudio, {0, 1, 3, 5, 6, 7, 9, 10, 12}, none, kSame, kRefuse},
        {Event::Stop, {4}, none, ASR_STATE_STOPPING, kSendStopRequest},
        {Event::Stop, {0, 1, 3, 5, 6, 7, 9, 10, 12}, none, kSame, kRefuse},
        {Event::Established, {0, 1, 3, 4, 5, 6, 7, 9, 10}, none, ASR_STATE_STARTING, kSendStartRequest},
        {Event::ConnectErr, {0, 1, 3, 4, 5, 6, 7, 9, 10}, none, ASR_STATE_CLOSED, kReportConnectFailure},
        {Event::Close, {6, 9}, none, ASR_STATE_CLOSED, 0},
        {Event::Close, {7}, none, ASR_STATE_CLOSED, kCompleteDestroy, true},
        {Event::Close, {0, 1, 3, 4, 5, 10}, none, ASR_STATE_CLOSED, kReportLost, true},
        {Event::StartAccepted, {0, 1, 3, 4, 5, 6, 9, 10}, none, ASR_STATE_STARTED, kDeliverStarted},
        {Event::StartAccepted, {7}, none, kSame, kDeliverStarted},
        {Event::StartRefused, {0, 1, 3, 4, 5, 6, 9, 10}, none, ASR_STATE_FAILED, kReportRefused},
        {Event::StartRefused, {7}, none, kSame, kReportRefused},
        {Event::Text, {0, 1, 3, 4, 5, 6, 7, 9, 10, 11, 12}, none, kSame, kDeliverText},
        {Event::StopAnswered, {0, 1, 3, 4, 5, 6, 9, 10}, none, ASR_STATE_STOPPED, kDeliverStop},
        {Event::StopAnswered, {7}, none, kSame, kDeliverStop},
        {Event::ServerException, {0, 1, 3, 4, 5, 6, 9, 10}, none, ASR_STATE_FAILED, kReportException},
        {Event::ServerException, {7}, none, kSame, kReportException},
        {Event::OtherMessage, {0, 1, 3, 4, 5, 6, 7, 9, 10}, none, kSame, 0},
        {Event::DestroyCheck, {0, 10}, none, kSame, kDestroyNow},
        {Event::DestroyCheck, {6, 9}, none, ASR_STATE_DESTROY_PENDING, kDestroyOnClose},
        {Event::DestroyCheck, {1, 3, 4, 5, 7, 11, 12}, none, kSame, kDestroyRefused},
        {Event::StartDeadline, {3}, none, ASR_STATE_FAILED, kReportStartTimeout},
        {Event::StartDeadline, {0, 1, 4, 5, 6, 7, 9, 10}, none, kSame, 0},
        {Event::StopDeadline, {5}, none, kSame, kStopSilence},
        {Event::StopDeadline, {0, 1, 3, 4, 6, 7, 9, 10, 11, 12}, none, kSame, 0},
        {Event::AttemptDue, {0, 1, 3, 4, 5, 6, 7, 9, 10}, none, kSame, 0},
        {Event::Replayed, {0, 1, 3, 4, 5, 6, 7, 9, 10}, none, kSame, 0},
    });
}

TEST(SessionMachine, ResumptionRows) {
    expectRows({
        // A loss while started or stopping, or the server going away.
        {Event::Close, {4}, resumable(), ASR_STATE_RESUMING, kBeginResume | kScheduleAttempt},
        {Event::Close, {5}, resumable(), ASR_STATE_RESUMING_STOP, kBeginResume | kScheduleAttempt},
        {Event::Close, {0, 1, 3, 10}, resumable(), ASR_STATE_CLOSED, kReportLost, true},
        {Event::ServerException, {4}, resumable(), ASR_STATE_RESUMING, kBeginResume | kCloseAtOnce},
        {Event::ServerException, {5}, resumable(), ASR_STATE_RESUMING_STOP, kBeginResume | kCloseAtOnce},
        {Event::ServerException, {3, 9}, resumable(), ASR_STATE_FAILED, kReportException},
        // Meanwhile the application streams on, and may stop.
        {Event::SendAudio, {11}, {}, kSame, kWriteAudio},
        {Event::Stop, {11}, {}, ASR_STATE_RESUMING_STOP, 0},
        // Attempts.
        {Event::AttemptDue, {11, 12}, {}, kSame, kReconnect},
        {Event::Established, {11, 12}, {}, kSame, kSendStartRequest},
        {Event::ConnectErr, {11, 12}, attempts(true), kSame, kAttemptFailed | kScheduleAttempt},
        {Event::ConnectErr, {11, 12}, attempts(false), ASR_STATE_CLOSED, kAttemptFailed | kGiveUp, true},
        {Event::Close, {11, 12}, attempts(true), kSame, kAttemptFailed | kScheduleAttempt},
        {Event::Close, {11, 12}, attempts(false), ASR_STATE_CLOSED, kAttemptFailed | kGiveUp, true},
        {Event::StartRefused, {11, 12}, resumable(), kSame, kAttemptFailed | kCloseAtOnce},
        {Event::StartRefused, {11, 12}, {}, kSame, kAttemptFailed | kLastAttempt | kCloseAtOnce},
        {Event::ServerException, {11, 12}, resumable(), kSame, kAttemptFailed | kCloseAtOnce},
        {Event::ServerException, {11, 12}, {}, kSame, kAttemptFailed | kLastAttempt | kCloseAtOnce},
        {Event::StartDeadline, {11, 12}, {}, kSame, kAttemptFailed | kCloseAtOnce},
        // The new session: replayed, then the writers go on; a stop asked for meanwhile follows.
        {Event::StartAccepted, {11, 12}, {}, kSame, kResumeSession},
        {Event::Replayed, {11}, {}, ASR_STATE_STARTED, 0},
        {Event::Replayed, {12}, {}, ASR_STATE_STOPPING, kSendStopRequest},
    });
}
