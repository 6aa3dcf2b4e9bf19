// SPDX-License-Identifier: Apache-2.0
#include "session_conn.h"

#include <libwebsockets.h>

#include <algorithm>
#include <cstring>

#include "control_message.h"
#include "replies.h"
#include "server_log.h"
#include "session.h"
#include "transport/transport_control.h"

namespace quorvex::server {

namespace {
using std::chrono::milliseconds;
// What libwebsockets may still deliver after reading stops: its receive buffer
// and a message it had begun to assemble.
constexpr std::size_t kBacklogSlackBytes = 128 * 1024;
}

SessionConn::SessionConn(AsrServer::Shared& shared)
    : shared_(shared), session_(std::make_shared<Session>(shared)) {
    session_->conn = this;
}

SessionConn::~SessionConn() {
    abandonRecognition(session_); // a handshake that failed never reaches onClose
    if (registered_) shared_.sessionConns.erase(this);
}

void SessionConn::onEstablished() {
    registered_ = true;
    shared_.sessionConns.insert(this);
    ++shared_.metrics.connectionsOpen;
    shared_.metrics.announce();
    enter(Phase::Waiting);
}

void SessionConn::onTextData(const char* data, int len) {
    if (phase_ == Phase::Closing) return; // after a final answer nothing more is read
    auto now = Clock::now();
    lastHeard_ = now;
    // Before a session, an address locked out for wrong tokens is refused unparsed.
    if (phase_ != Phase::Running && shared_.tokens.lockedOut(getPeerAddr(), now)) {
        refuseStart(now, "");
        return;
    }
    ControlMessage message = readControlMessage(data, static_cast<std::size_t>(len), shared_.options.maxMessageBytes,
                                                shared_.options.maxJsonDepth);
    if (message.ok) {
        handleControl(message);
        return;
    }
    shared_.metrics.refused(message.refusal);
    reply(exceptionNtf(message.code, message.description));
    if (message.refusal == Refusal::MessageTooLarge) {
        shared_.log.log("message_too_large", "control message from " + displayAddress(getPeerAddr()) + " over " +
                                                 std::to_string(shared_.options.maxMessageBytes) + " bytes; closed");
        end(CloseReason::TooLarge);
    }
}

void SessionConn::handleControl(const ControlMessage& message) {
    if (message.type == ControlType::Start) {
        startSession(message.token);
    } else {
        stopSession();
    }
}

void SessionConn::startSession(const std::string& token) {
    if (phase_ == Phase::Running) {
        shared_.metrics.refused(Refusal::WrongState);
        reply(exceptionNtf(kWrongState, "session already started"));
        return;
    }
    if (refuseStart(Clock::now(), token)) return;
    ++session_->slotsHeld;
    ++shared_.metrics.sessionsOpen;
    ++shared_.metrics.sessionsTotal;
    shared_.metrics.announce();
    enter(Phase::Running);
    sessionId_ = shared_.newSessionId();
    sessionStart_ = Clock::now();
    sessionAudioBytes_ = 0;
    session_->textsSent = 0;
    openRecogniser(session_, sessionId_);
}

void SessionConn::logSessionEnd(const std::string& how) {
    if (sessionId_.empty()) return;
    double seconds = std::chrono::duration<double>(Clock::now() - sessionStart_).count();
    logLine("session %s from %s:%u ended (%s) after %.1f s: %.1f s of audio, %lld text(s) sent", sessionId_.c_str(),
            displayAddress(getPeerAddr()).c_str(), static_cast<unsigned>(getPeerPort()), how.c_str(), seconds,
            static_cast<double>(sessionAudioBytes_) / 32000.0, static_cast<long long>(session_->textsSent.load()));
    sessionId_.clear();
}

// The answers to a START that cannot go ahead; each is final. True when refused
// (a slot is taken otherwise).
bool SessionConn::refuseStart(Clock::time_point now, const std::string& token) {
    const std::string& peer = getPeerAddr();
    if (shared_.tokens.lockedOut(peer, now)) {
        shared_.metrics.refused(Refusal::TokenLockout);
        shared_.log.log("token_lockout", "too many wrong tokens from " + displayAddress(peer) + "; refused until its window ends");
        reply(startSessionRes(kSlowDown, "too many wrong tokens from this address; retry later"));
        end(CloseReason::TokenLockout);
        return true;
    }
    if (!shared_.tokens.matches(token)) {
        unsigned int count = shared_.tokens.recordFailure(peer, now);
        shared_.metrics.refused(Refusal::BadToken);
        shared_.log.log("bad_token", "wrong token from " + displayAddress(peer) + " (" + std::to_string(count) + " in its window)");
        reply(startSessionRes(kBadToken, "invalid token"));
        end(CloseReason::BadToken);
        return true;
    }
    if (shared_.draining) {
        shared_.metrics.refused(Refusal::Draining);
        reply(startSessionRes(kBusy, "server shutting down; retry elsewhere"));
        end(CloseReason::Shutdown);
        return true;
    }
    if (!shared_.takeSlot()) {
        shared_.metrics.refused(Refusal::Busy);
        shared_.log.log("busy", "all " + std::to_string(shared_.options.maxSessions) +
                                    " session slots in use; START refused");
        reply(startSessionRes(kBusy, "busy: all sessions in use; retry later"));
        end(CloseReason::Busy);
        return true;
    }
    return false;
}

void SessionConn::stopSession() {
    if (phase_ != Phase::Running) {
        shared_.metrics.refused(Refusal::WrongState);
        reply(exceptionNtf(kWrongState, "STOP_SESSION_REQ without a session"));
        return;
    }
    --shared_.metrics.sessionsOpen;
    shared_.metrics.announce();
    enter(Phase::Stopped);
    finishRecognition(session_);
}

void SessionConn::onBinaryData(const unsigned char* data, int len) {
    if (phase_ == Phase::Closing) return;
    lastHeard_ = Clock::now();
    auto size = static_cast<std::size_t>(len);
    if (phase_ != Phase::Running) {
        shared_.metrics.refused(Refusal::WrongState);
        reply(exceptionNtf(kWrongState, phase_ == Phase::Stopped ? "audio after STOP_SESSION_REQ"
                                                                 : "audio before START_SESSION_REQ"));
        return;
    }
    if (size > shared_.options.maxFrameBytes) {
        shared_.metrics.refused(Refusal::FrameTooLarge);
        shared_.log.log("frame_too_large", "audio frame from " + displayAddress(getPeerAddr()) + " over " +
                                               std::to_string(shared_.options.maxFrameBytes) + " bytes; session ended");
        reply(exceptionNtf(kTooLarge, "audio frame of " + std::to_string(size) + " bytes is over the limit of " +
                                          std::to_string(shared_.options.maxFrameBytes)));
        end(CloseReason::TooLarge);
        return;
    }
    if (size % 2 != 0) {
        shared_.metrics.refused(Refusal::BadFrame);
        reply(exceptionNtf(kBadRequest, "audio frame of " + std::to_string(size) + " bytes is not 16-bit PCM"));
        return;
    }
    // Reading stops once the backlog is full, so a peer that sends faster than
    // recognition is held back by TCP; only what libwebsockets had already read
    // can come on top, and a peer past even that is not one we hold back.
    std::size_t slack = std::max<std::size_t>(kBacklogSlackBytes, 2 * std::size_t(shared_.options.maxFrameBytes));
    if (session_->backlogBytes + size > shared_.backlogLimitBytes() + slack) {
        shared_.metrics.refused(Refusal::Backlog);
        shared_.log.log("backlog", "audio from " + displayAddress(getPeerAddr()) + " arrives faster than it is recognised; session ended");
        reply(exceptionNtf(kSlowDown, "audio arrives faster than it is recognised: over " +
                                          std::to_string(shared_.options.maxBacklogMs) + " ms waiting; session ended"));
        end(CloseReason::Backlog);
        return;
    }
    shared_.metrics.audioBytes += len;
    ++shared_.metrics.audioFrames;
    sessionAudioBytes_ += size;
    session_->backlogBytes += size;
    std::vector<std::int16_t> samples(size / 2);
    if (size > 0) std::memcpy(samples.data(), data, size);
    recognise(session_, std::move(samples));
    if (session_->backlogBytes >= shared_.backlogLimitBytes()) pauseReading();
}

void SessionConn::pauseReading() {
    if (session_->readingPaused.exchange(true)) return;
    setReading(false);
    ++shared_.metrics.readingPauses;
    shared_.metrics.announce();
    // The strand may have recognised the backlog before the flag was up.
    if (session_->backlogBytes <= shared_.backlogLimitBytes() / 2 && session_->readingPaused.exchange(false))
        setReading(true);
}

void SessionConn::resumeReading() {
    if (phase_ == Phase::Closing) return;
    lastHeard_ = Clock::now(); // the time it was held back is not the peer's silence
    setReading(true);
}

void SessionConn::setReading(bool on) {
    std::lock_guard<std::mutex> guard(connLock);
    if (wsi) lws_rx_flow_control(wsi, on ? 1 : 0);
}

void SessionConn::onClose() {
    if (sessionRunning()) logSessionEnd("client gone");
    if (phase_ == Phase::Running) --shared_.metrics.sessionsOpen;
    phase_ = Phase::Closing;
    abandonRecognition(session_);
    // Counted before the connection goes from the gauge: whoever waits for the
    // gauge finds the reason already there.
    CloseReason reason = closeReason_;
    if (forced_) reason = CloseReason::CloseTimeout;
    else if (quorvex::transport::sendQueueOverflowed(*this)) reason = CloseReason::NotReading;
    else if (reason == CloseReason::Peer) reason = transportReason();
    shared_.metrics.closed(reason);
    if (registered_) {
        registered_ = false;
        shared_.sessionConns.erase(this);
        --shared_.metrics.connectionsOpen;
        shared_.metrics.announce();
    }
}

// The transport ends some connections by itself, as the limits say.
CloseReason SessionConn::transportReason() {
    using quorvex::transport::TransportEnd;
    switch (quorvex::transport::transportEnd(*this)) {
    case TransportEnd::MessageTooLarge:
        return CloseReason::TooLarge;
    case TransportEnd::PeerSilent:
        return CloseReason::PeerSilent;
    case TransportEnd::None:
        break;
    }
    return CloseReason::Peer;
}

void SessionConn::end(CloseReason reason) {
    if (phase_ == Phase::Closing) return;
    if (sessionRunning())
        logSessionEnd(reason == CloseReason::Shutdown           ? std::string("drain")
                      : reason == CloseReason::RecogniserFailed ? std::string("no recogniser")
                                                                : std::string("limit: ") + closeReasonName(reason));
    if (phase_ == Phase::Running) {
        --shared_.metrics.sessionsOpen;
        shared_.metrics.announce();
    }
    closeReason_ = reason;
    enter(Phase::Closing);
    abandonRecognition(session_);
    quorvex::transport::close(*this, quorvex::transport::Closing::AfterSending, closeStatus(reason));
}

// The close frame says why, as RFC 6455 numbers it.
int SessionConn::closeStatus(CloseReason reason) {
    switch (reason) {
    case CloseReason::Shutdown: return 1001;                   // going away
    case CloseReason::BadToken:
    case CloseReason::TokenLockout:
    case CloseReason::WrongPath: return 1008;                  // policy violation
    case CloseReason::TooLarge: return 1009;                   // message too big
    case CloseReason::Busy:
    case CloseReason::Backlog:
    case CloseReason::RecogniserFailed: return 1013;           // try again later
    default: return 1000;
    }
}

void SessionConn::enter(Phase phase) {
    phase_ = phase;
    stopAnswered_ = false;
    phaseSince_ = Clock::now();
}

void SessionConn::checkDeadlines(Clock::time_point now) {
    const ServerOptions& limits = shared_.options;
    if (phase_ == Phase::Closing) {
        if (!forced_ && now - phaseSince_ >= milliseconds(limits.closeGraceMs)) {
            forced_ = true; // a peer that does not read never lets the close frame out
            quorvex::transport::close(*this, quorvex::transport::Closing::AtOnce);
        }
    } else if (phase_ == Phase::Running) {
        if (session_->readingPaused) lastHeard_ = now; // held back by us, not silent
        if (now - lastHeard_ < milliseconds(limits.idleTimeoutMs)) return;
        shared_.log.log("idle_timeout", "session of " + displayAddress(getPeerAddr()) + " silent too long; closed");
        reply(exceptionNtf(kTimedOut, "nothing received for " + std::to_string(limits.idleTimeoutMs) + " ms"));
        end(CloseReason::IdleTimeout);
    } else if (phase_ == Phase::Stopped && !stopAnswered_) {
        return; // still recognising what came before STOP: its results are due
    } else if (now - phaseSince_ >= milliseconds(limits.startTimeoutMs)) {
        shared_.log.log("start_timeout", "connection of " + displayAddress(getPeerAddr()) + " without START_SESSION_REQ; closed");
        reply(exceptionNtf(kTimedOut, "no START_SESSION_REQ within " + std::to_string(limits.startTimeoutMs) + " ms"));
        end(CloseReason::StartTimeout);
    }
}

void SessionConn::closeForShutdown(bool force) {
    bool working = phase_ == Phase::Running || (phase_ == Phase::Stopped && !stopAnswered_);
    if (phase_ == Phase::Closing || (working && !force)) return;
    if (phase_ != Phase::Stopped) reply(exceptionNtf(kBusy, "server shutting down; retry elsewhere"));
    end(CloseReason::Shutdown);
}

void SessionConn::stopAnswered() {
    if (phase_ != Phase::Stopped) return;
    logSessionEnd("stop");
    stopAnswered_ = true;
    phaseSince_ = Clock::now();
}

void SessionConn::endAfterRecogniserFailure() {
    reply(startSessionRes(kBusy, "no recogniser available; retry later"));
    end(CloseReason::RecogniserFailed);
}

} // namespace quorvex::server
