// SPDX-License-Identifier: Apache-2.0
#include "client/session_machine.h"

namespace QUORVEX::session {

namespace {

using Mask = std::uint32_t;
constexpr Mask in(int state) { return 1u << state; }
template <typename... States>
constexpr Mask in(int state, States... more) {
    return in(state) | in(more...);
}
constexpr Mask kAny = ~0u;
constexpr Mask kResuming = in(ASR_STATE_RESUMING, ASR_STATE_RESUMING_STOP);

enum class Guard : std::uint8_t { None, Resumable, NotResumable, AttemptsLeft, NoAttemptsLeft };

struct Row {
    Event event;
    Mask from;
    Guard guard;
    int next;
    std::uint32_t actions;
    bool enterAfterActions;
};

// First matching row wins; an event without a matching row changes nothing.
// The resumption rows sit before the rows for "any" state they refine.
constexpr Row kTable[] = {
    {Event::Start, in(ASR_STATE_IDLE, ASR_STATE_CLOSED), Guard::None, ASR_STATE_CONNECTING, kConnect, false},
    {Event::Start, in(ASR_STATE_STOPPED, ASR_STATE_FAILED), Guard::None, kUnchanged, kLogNotStable | kRefuse, false},
    {Event::Start, kAny, Guard::None, kUnchanged, kRefuse, false},

    {Event::SendAudio, in(ASR_STATE_STARTED, ASR_STATE_RESUMING), Guard::None, kUnchanged, kWriteAudio, false},
    {Event::SendAudio, kAny, Guard::None, kUnchanged, kRefuse, false},

    {Event::Stop, in(ASR_STATE_STARTED), Guard::None, ASR_STATE_STOPPING, kSendStopRequest, false},
    {Event::Stop, in(ASR_STATE_RESUMING), Guard::None, ASR_STATE_RESUMING_STOP, 0, false},
    {Event::Stop, kAny, Guard::None, kUnchanged, kRefuse, false},

    {Event::Established, kResuming, Guard::None, kUnchanged, kSendStartRequest, false},
    {Event::Established, kAny, Guard::None, ASR_STATE_STARTING, kSendStartRequest, false},

    {Event::ConnectErr, kResuming, Guard::AttemptsLeft, kUnchanged, kAttemptFailed | kScheduleAttempt, false},
    {Event::ConnectErr, kResuming, Guard::NoAttemptsLeft, ASR_STATE_CLOSED, kAttemptFailed | kGiveUp, true},
    {Event::ConnectErr, kAny, Guard::None, ASR_STATE_CLOSED, kReportConnectFailure, false},

    {Event::Close, in(ASR_STATE_STOPPED, ASR_STATE_FAILED), Guard::None, ASR_STATE_CLOSED, 0, false},
    {Event::Close, in(ASR_STATE_DESTROY_PENDING), Guard::None, ASR_STATE_CLOSED, kCompleteDestroy, true},
    {Event::Close, in(ASR_STATE_STARTED), Guard::Resumable, ASR_STATE_RESUMING, kBeginResume | kScheduleAttempt,
     false},
    {Event::Close, in(ASR_STATE_STOPPING), Guard::Resumable, ASR_STATE_RESUMING_STOP,
     kBeginResume | kScheduleAttempt, false},
    {Event::Close, kResuming, Guard::AttemptsLeft, kUnchanged, kAttemptFailed | kScheduleAttempt, false},
    {Event::Close, kResuming, Guard::NoAttemptsLeft, ASR_STATE_CLOSED, kAttemptFailed | kGiveUp, true},
    {Event::Close, kAny, Guard::None, ASR_STATE_CLOSED, kReportLost, true},

    // A pending destruction stays pending whatever the server says, or its
    // caller would wait for a close that no longer completes it.
    {Event::StartAccepted, in(ASR_STATE_DESTROY_PENDING), Guard::None, kUnchanged, kDeliverStarted, false},
    {Event::StartAccepted, kResuming, Guard::None, kUnchanged, kResumeSession, false},
    {Event::StartAccepted, kAny, Guard::None, ASR_STATE_STARTED, kDeliverStarted, false},

    {Event::StartRefused, in(ASR_STATE_DESTROY_PENDING), Guard::None, kUnchanged, kReportRefused, false},
    {Event::StartRefused, kResuming, Guard::Resumable, kUnchanged, kAttemptFailed | kCloseAtOnce, false},
    {Event::StartRefused, kResuming, Guard::NotResumable, kUnchanged, kAttemptFailed | kLastAttempt | kCloseAtOnce,
     false},
    {Event::StartRefused, kAny, Guard::None, ASR_STATE_FAILED, kReportRefused, false},

    {Event::Text, kAny, Guard::None, kUnchanged, kDeliverText, false},

    {Event::StopAnswered, in(ASR_STATE_DESTROY_PENDING), Guard::None, kUnchanged, kDeliverStop, false},
    {Event::StopAnswered, kAny, Guard::None, ASR_STATE_STOPPED, kDeliverStop, false},

    {Event::ServerException, in(ASR_STATE_DESTROY_PENDING), Guard::None, kUnchanged, kReportException, false},
    {Event::ServerException, in(ASR_STATE_STARTED), Guard::Resumable, ASR_STATE_RESUMING,
     kBeginResume | kCloseAtOnce, false},
    {Event::ServerException, in(ASR_STATE_STOPPING), Guard::Resumable, ASR_STATE_RESUMING_STOP,
     kBeginResume | kCloseAtOnce, false},
    {Event::ServerException, kResuming, Guard::Resumable, kUnchanged, kAttemptFailed | kCloseAtOnce, false},
    {Event::ServerException, kResuming, Guard::NotResumable, kUnchanged,
     kAttemptFailed | kLastAttempt | kCloseAtOnce, false},
    {Event::ServerException, kAny, Guard::None, ASR_STATE_FAILED, kReportException, false},

    {Event::DestroyCheck, in(ASR_STATE_IDLE, ASR_STATE_CLOSED), Guard::None, kUnchanged, kDestroyNow, false},
    {Event::DestroyCheck, in(ASR_STATE_STOPPED, ASR_STATE_FAILED), Guard::None, ASR_STATE_DESTROY_PENDING,
     kDestroyOnClose, false},
    {Event::DestroyCheck, kAny, Guard::None, kUnchanged, kDestroyRefused, false},

    {Event::StartDeadline, in(ASR_STATE_STARTING), Guard::None, ASR_STATE_FAILED, kReportStartTimeout, false},
    {Event::StartDeadline, kResuming, Guard::None, kUnchanged, kAttemptFailed | kCloseAtOnce, false},

    {Event::StopDeadline, in(ASR_STATE_STOPPING), Guard::None, kUnchanged, kStopSilence, false},

    {Event::AttemptDue, kResuming, Guard::None, kUnchanged, kReconnect, false},

    {Event::Replayed, in(ASR_STATE_RESUMING), Guard::None, ASR_STATE_STARTED, 0, false},
    {Event::Replayed, in(ASR_STATE_RESUMING_STOP), Guard::None, ASR_STATE_STOPPING, kSendStopRequest, false},
};

bool holds(Guard guard, const Facts& facts) {
    switch (guard) {
    case Guard::None: return true;
    case Guard::Resumable: return facts.resumable;
    case Guard::NotResumable: return !facts.resumable;
    case Guard::AttemptsLeft: return facts.attemptsLeft;
    case Guard::NoAttemptsLeft: return !facts.attemptsLeft;
    }
    return false;
}

bool contains(Mask mask, int state) { return state >= 0 && state < 32 && (mask & (1u << state)) != 0; }

} // namespace

Transition step(int state, Event event, const Facts& facts) {
    for (const Row& row : kTable) {
        if (row.event == event && contains(row.from, state) && holds(row.guard, facts))
            return {row.next, row.actions, row.enterAfterActions};
    }
    return {};
}

} // namespace QUORVEX::session
