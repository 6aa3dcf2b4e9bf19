// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_CLIENT_SESSION_MACHINE_H
#define QUORVEX_CLIENT_SESSION_MACHINE_H

#include <cstdint>

namespace QUORVEX {

// Session states; the numbers appear in "disconnect from server! state:N".
enum AsrClientState : int {
    ASR_STATE_IDLE = 0,
    ASR_STATE_CONNECTING = 1,
    ASR_STATE_STARTING = 3,
    ASR_STATE_STARTED = 4,
    ASR_STATE_STOPPING = 5,
    ASR_STATE_STOPPED = 6,
    ASR_STATE_DESTROY_PENDING = 7,
    ASR_STATE_FAILED = 9,
    ASR_STATE_CLOSED = 10,
    // A started session lost its connection and is being carried over to a
    // new one (only with resumption on). sendAudio still takes audio.
    ASR_STATE_RESUMING = 11,
    // The same after stop(): the new session is stopped once replayed.
    ASR_STATE_RESUMING_STOP = 12,
};

namespace session {

enum class Event : std::uint8_t {
    Start,
    SendAudio,
    Stop,
    Established,
    ConnectErr,
    Close,
    StartAccepted,
    StartRefused,
    Text,
    StopAnswered,
    ServerException,
    OtherMessage,
    DestroyCheck,
    StartDeadline,
    StopDeadline,
    AttemptDue, // the back-off before a resumption attempt has passed
    Replayed,   // the kept audio is on the new connection; the writers send again
};

// What the client knows beyond the state when an event comes.
struct Facts {
    bool resumable = false;    // the session may be carried over (Close, ServerException, StartRefused)
    bool attemptsLeft = false; // another resumption attempt is allowed
};

// What the client does for a transition; each bit one action.
enum Action : std::uint32_t {
    kRefuse = 1u << 0,             // the operation returns -5
    kLogNotStable = 1u << 1,       // "is not stable state.fix next!"
    kConnect = 1u << 2,            // start's connection request
    kWriteAudio = 1u << 3,         // sendAudio's frame
    kSendStartRequest = 1u << 4,   // START_SESSION_REQ with the token, and its deadline
    kSendStopRequest = 1u << 5,    // STOP_SESSION_REQ, and its deadline
    kReportConnectFailure = 1u << 6, // onStartFailure, onStartResult(-2)
    kReportLost = 1u << 7,         // onSessionError(1, "disconnect from server! state:N")
    kCompleteDestroy = 1u << 8,    // onDestroyed(0) under sdkMutex, wake the destroying caller
    kDeliverStarted = 1u << 9,     // session id kept, onStartResult(0, id)
    kReportRefused = 1u << 10,     // onStartFailure, onStartResult(-4)
    kDeliverText = 1u << 11,       // onRecognitionText
    kDeliverStop = 1u << 12,       // onStopResult(0), then the connection closes
    kReportException = 1u << 13,   // onSessionError(1, msg_desc)
    kDestroyNow = 1u << 14,        // onDestroyed(0); the destruction succeeds
    kDestroyOnClose = 1u << 15,    // the destruction waits for onClose; the connection closes
    kDestroyRefused = 1u << 16,    // the destruction returns -5
    kReportStartTimeout = 1u << 17, // onStartFailure, onStartResult(-2), closed at once
    kStopSilence = 1u << 18,       // the stop answer is late: close at once unless the server still talks
    kBeginResume = 1u << 19,       // keep the audio after the last final result for replay
    kCloseAtOnce = 1u << 20,       // drop the connection without the close hand-shake
    kScheduleAttempt = 1u << 21,   // wait out the back-off, then AttemptDue
    kReconnect = 1u << 22,         // a new connection to the same URL
    kAttemptFailed = 1u << 23,     // the running attempt failed: its reason is kept
    kResumeSession = 1u << 24,     // the new session runs: replay, then Replayed
    kGiveUp = 1u << 25,            // onStartFailure (last attempt), onSessionError as kReportLost
    kLastAttempt = 1u << 26,       // the server's answer rules out another attempt
};

constexpr int kUnchanged = -1;

struct Transition {
    int next = kUnchanged;     // kUnchanged: the state stays as it is
    std::uint32_t actions = 0; // Action bits
    // The listener hears the event while the old state is still in place
    // (a close that nobody asked for); otherwise the state moves first.
    bool enterAfterActions = false;
};

// The table: a pure function of the state, the event and the facts.
Transition step(int state, Event event, const Facts& facts);

} // namespace session
} // namespace QUORVEX

#endif
