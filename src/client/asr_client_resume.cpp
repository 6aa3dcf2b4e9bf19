// SPDX-License-Identifier: Apache-2.0
// Resumption: a started session whose connection is lost is carried over to
// a new session on a new connection, with the audio after the last final
// result sent again. Loop thread, except writeKept and fillStats.
#include <algorithm>
#include <random>
#include <string>

#include "client/asr_client_impl.h"
#include "client/listener_calls.h"
#include "protocol/asr_messages.h"
#include "sdk/log.h"
#include "sdk/runtime.h"
#include "transport/transport_control.h"
#include "transport/wss_context.h"

namespace QUORVEX {

using session::Event;
namespace transport = quorvex::transport;

// The key function: the interface's type information lives in the library.
QvAsrResumeListener::~QvAsrResumeListener() {}

namespace {

// A server may take each message as a step of its recognition (the
// reference server looks for the end of speech once a message): replayed
// audio goes in messages of the application's frame size, so that the new
// session hears what the lost one did; no smaller than 20 ms (1500 messages
// for the default buffer), no larger than a second.
constexpr std::size_t kReplayMessageBytesMin = 640;
constexpr std::size_t kReplayMessageBytesMax = 32000;
constexpr int kReplayRetryMs = 1; // a writer is in the middle of its copy
// A copy of one frame takes microseconds; a writer that has not finished in
// this long is stopped for good (a debugger, a suspended thread).
constexpr std::int64_t kReplaySettleMs = 1000;

// Answers the client caused: trying again would get the same.
bool clientCaused(int code) { return code == 400 || code == 401 || code == 409 || code == 413; }

int waitBefore(int attempt, const QvAsrResumeSettings& settings) {
    long long wait = settings.backoffMs;
    for (int i = 1; i < attempt && wait < settings.backoffMaxMs; ++i) wait *= 2;
    wait = std::min<long long>(wait, settings.backoffMaxMs);
    static thread_local std::minstd_rand random(std::random_device{}());
    long long jitter = wait * settings.jitterPercent / 100;
    if (jitter > 0) wait -= std::uniform_int_distribution<long long>(0, jitter)(random);
    return static_cast<int>(wait);
}

} // namespace

session::Facts QvAsrClientImpl::factsFor(Event event) {
    session::Facts facts;
    facts.attemptsLeft = !run_.lastAttempt && run_.attemptsMade < resume_.attempts;
    if (!ring_.capacity()) return facts;
    int current = state.load();
    bool resuming = current == ASR_STATE_RESUMING || current == ASR_STATE_RESUMING_STOP;
    switch (event) {
    case Event::Close:
        facts.resumable = !transport::sendQueueOverflowed(*this) &&
                          transport::transportEnd(*this) != transport::TransportEnd::MessageTooLarge &&
                          !run_.stopSilenced;
        break;
    case Event::ServerException: {
        int code = std::get<ExceptionNtf>(frame_->message).msg_code;
        facts.resumable = code == 503 || (resuming && !clientCaused(code)); // 503: the server is going away
        break;
    }
    case Event::StartRefused: facts.resumable = !clientCaused(std::get<StartSessionRes>(frame_->message).msg_code); break;
    default: break;
    }
    // A server that takes each new session and then fails on what is
    // replayed to it would otherwise be resumed without end.
    if (facts.resumable && !resuming && (event == Event::Close || event == Event::ServerException) &&
        !progressedSinceResumed() && run_.attemptsMade >= resume_.attempts) {
        facts.resumable = false;
        sdkLog("%s lost again before getting past the audio replayed to it: no attempts left", sessionId.c_str());
    }
    return facts;
}

std::uint64_t QvAsrClientImpl::lastFinalEnd(std::uint64_t reserved) const {
    std::uint64_t finalEnd = static_cast<std::uint64_t>(std::max<std::int64_t>(run_.lastFinalEdMs, 0)) * kBytesPerMs;
    return std::min(finalEnd, reserved);
}

std::uint64_t QvAsrClientImpl::replayStart(std::uint64_t reserved) const {
    std::uint64_t capacity = ring_.capacity();
    return std::max(lastFinalEnd(reserved), reserved > capacity ? reserved - capacity : 0);
}

bool QvAsrClientImpl::progressedSinceResumed() const {
    return !run_.resumedBefore || replayStart(ring_.reserved()) > run_.lastReplayFrom;
}

// The replay goes into the new connection's send queue at once: it may take
// half the queue, leaving the rest for what is sent while it drains.
std::size_t QvAsrClientImpl::replayBytes() const {
    std::size_t wanted = static_cast<std::size_t>(resume_.replayMs) * kBytesPerMs;
    std::size_t bound = static_cast<std::size_t>(limits_.sendQueueBytes) / 2 / kBytesPerMs * kBytesPerMs;
    if (wanted <= bound) return wanted;
    sdkLog("QUORVEX::QvAsrClientImpl::start: audio kept for replay cut to %d ms, half the send queue's %d bytes",
           static_cast<int>(bound / kBytesPerMs), limits_.sendQueueBytes);
    return bound;
}

void QvAsrClientImpl::performResumption(std::uint32_t actions, Event event, int from) {
    if (actions & session::kBeginResume) beginResume(from);
    if (actions & session::kAttemptFailed) noteAttemptFailure(event);
    if (actions & session::kLastAttempt) run_.lastAttempt = true;
    if (actions & session::kCloseAtOnce) transport::close(*this, transport::Closing::AtOnce);
    if (actions & session::kScheduleAttempt) scheduleAttempt();
    if (actions & session::kReconnect) reconnect();
    if (actions & session::kGiveUp) giveUp();
    if (actions & session::kResumeSession) {
        run_.attemptRunning = false;
        run_.replayStarted = false;
        run_.settleWaitFromMs = 0;
        sessionId = std::get<StartSessionRes>(frame_->message).msg_data.session_id;
        run_.replayConnection = transport::sendConnection(*this);
        ++deadlineEpoch_; // the start answer came
        sdkLog("%s %s suc: resumes %s", sessionId.c_str(), AsrMsgTypeNames[START_SESSION_RES],
               run_.previousSessionId.c_str());
        continueReplay(resumeEpoch_.load());
    }
}

// Writers stop sending; what follows the last final result waits for the new session.
void QvAsrClientImpl::beginResume(int from) {
    run_.stateAtLoss = from;
    run_.previousSessionId = sessionId;
    if (progressedSinceResumed()) run_.attemptsMade = 0;
    run_.attemptRunning = run_.lastAttempt = false;
    std::uint64_t reserved = ring_.reserved();
    run_.resumeFrom = lastFinalEnd(reserved);
    std::uint64_t queueBound = reserved + static_cast<std::uint64_t>(limits_.sendQueueBytes);
    ring_.hold(std::min(replayStart(reserved) + ring_.capacity(), queueBound));
    ++deadlineEpoch_; // an answer's deadline of the lost connection has nothing left to do
    sdkLog("%s connection lost in state %d: resuming from %llu ms", sessionId.c_str(), from,
           static_cast<unsigned long long>(run_.resumeFrom / kBytesPerMs));
}

void QvAsrClientImpl::scheduleAttempt() {
    run_.attemptRunning = false;
    ++deadlineEpoch_; // the failed attempt's start deadline must not cut the next one
    int attempt = ++run_.attemptsMade;
    afterLoop(resumeEpoch_.load(), waitBefore(attempt, resume_), &QvAsrClientImpl::onAttemptDue);
}

void QvAsrClientImpl::onAttemptDue(unsigned int epoch) {
    if (epoch == resumeEpoch_.load()) handle(Event::AttemptDue, factsFor(Event::AttemptDue));
}

void QvAsrClientImpl::reconnect() {
    run_.attemptRunning = true;
    run_.failureNoted = false;
    sdkLog("%s resuming: attempt %d of %d", sessionId.c_str(), run_.attemptsMade, resume_.attempts);
    CWSSContext* loop = loopContext();
    if (ring_.overrun()) {
        noteOverrun();
    } else if (loop && connect(loop, url_, std::string(), std::function<void(bool)>(), 1)) {
        return;
    }
    if (!run_.failureNoted) {
        run_.failure = {QvAsrStartFailureCategory::Other, 0, 0, "connection request refused"};
        run_.failureNoted = true;
    }
    handle(Event::ConnectErr, factsFor(Event::ConnectErr));
}

void QvAsrClientImpl::noteOverrun() {
    run_.failure = {QvAsrStartFailureCategory::Other, 0, 0, "audio held while resuming passed its bound"};
    run_.failureNoted = true;
    run_.lastAttempt = true;
}

void QvAsrClientImpl::noteAttemptFailure(Event event) {
    if (!run_.attemptRunning || run_.failureNoted) return;
    run_.failureNoted = true;
    switch (event) {
    case Event::ConnectErr: run_.failure = connectFailureReport(transport::connectFailure(*this)); break;
    case Event::StartDeadline: run_.failure = startTimeoutReport(limits_.startTimeoutMs); break;
    case Event::StartRefused: {
        const auto& response = std::get<StartSessionRes>(frame_->message);
        run_.failure = sessionRefusedReport(response.msg_code, response.msg_desc);
        break;
    }
    case Event::ServerException: {
        const auto& notification = std::get<ExceptionNtf>(frame_->message);
        run_.failure = sessionRefusedReport(notification.msg_code, notification.msg_desc);
        break;
    }
    default:
        run_.failure = {QvAsrStartFailureCategory::Other, 0, 0, "connection closed before the session started"};
        break;
    }
    sdkLog("%s resumption attempt %d failed: %s", sessionId.c_str(), run_.attemptsMade, run_.failure.text.c_str());
}

// Every attempt failed: the failure listener hears the last one, then the
// session ends as it would have without resumption.
void QvAsrClientImpl::giveUp() {
    ++deadlineEpoch_;
    QvAsrStartFailure failure = run_.failure.view();
    detail::callGuarded(failureListener.load(), sessionId, "onStartFailure",
                        [&failure](QvAsrStartFailureListener& l) { l.onStartFailure(&failure); });
    std::string text = std::string(ring_.overrun() ? "send queue full, server not reading! state:"
                                                   : "disconnect from server! state:") +
                       std::to_string(run_.stateAtLoss);
    sdkLog("%s resumption given up after %d attempt(s)", sessionId.c_str(), run_.attemptsMade);
    notify("onSessionError", [&text](QvAsrClientListener& l) { l.onSessionError(1, text.c_str()); });
}

// The kept audio goes to the new connection; then the writers send for it
// again. Writers that reserved meanwhile are replayed first, in a new round.
void QvAsrClientImpl::continueReplay(unsigned int epoch) {
    int current = state.load();
    if (epoch != resumeEpoch_.load() || (current != ASR_STATE_RESUMING && current != ASR_STATE_RESUMING_STOP) ||
        transport::sendConnection(*this) != run_.replayConnection)
        return;
    std::uint64_t end = 0;
    for (;;) {
        if (!ring_.settled(end)) {
            waitForWriters(epoch);
            return;
        }
        run_.settleWaitFromMs = 0;
        if (!run_.replayStarted) {
            std::uint64_t capacity = ring_.capacity();
            run_.sessionBase = std::max(run_.resumeFrom, end > capacity ? end - capacity : 0);
            run_.replayed = run_.sessionBase;
            run_.replayStarted = true;
        }
        // Past the bound, positions were refused and never stored: nothing of them may go out.
        if (ring_.overrun()) {
            noteOverrun();
            transport::close(*this, transport::Closing::AtOnce);
            return;
        }
        replayRange(run_.replayConnection, run_.replayed, end);
        run_.replayed = end;
        if (ring_.release(end, ReplayRing::tagOf(run_.replayConnection))) break;
    }
    int attempt = run_.attemptsMade;
    run_.resumedBefore = true;
    run_.lastReplayFrom = run_.sessionBase;
    resumptions_.fetch_add(1, std::memory_order_relaxed);
    handle(Event::Replayed, factsFor(Event::Replayed));
    QvAsrResumeInfo info{run_.previousSessionId.c_str(), sessionId.c_str(), attempt,
                         static_cast<int>((end - run_.sessionBase) / kBytesPerMs),
                         static_cast<int>((run_.sessionBase - run_.resumeFrom) / kBytesPerMs)};
    sdkLog("%s resumed %s: attempt %d, %d ms replayed, %d ms no longer kept", sessionId.c_str(),
           run_.previousSessionId.c_str(), attempt, info.replayedMs, info.unreplayableMs);
    detail::callGuarded(resumeListener_.load(), sessionId, "onResumed",
                        [&info](QvAsrResumeListener& l) { l.onResumed(&info); });
}

// Loop thread: a writer is still copying what the replay must carry.
void QvAsrClientImpl::waitForWriters(unsigned int epoch) {
    std::int64_t now = detail::steadyNowMs();
    if (run_.settleWaitFromMs == 0) run_.settleWaitFromMs = now;
    if (now - run_.settleWaitFromMs < kReplaySettleMs) {
        afterLoop(epoch, kReplayRetryMs, &QvAsrClientImpl::continueReplay);
        return;
    }
    sdkLog("%s resuming: a sendAudio call did not finish its frame within %lld ms", sessionId.c_str(),
           static_cast<long long>(kReplaySettleMs));
    run_.failure = {QvAsrStartFailureCategory::Other, 0, 0, "a sendAudio call did not finish its frame"};
    run_.failureNoted = true;
    run_.lastAttempt = true;
    transport::close(*this, transport::Closing::AtOnce);
}

void QvAsrClientImpl::replayRange(std::uint64_t connection, std::uint64_t from, std::uint64_t to) {
    std::size_t frame = frameBytes_.load(std::memory_order_relaxed) & ~std::size_t{1}; // whole samples
    frame = std::clamp(frame, kReplayMessageBytesMin, kReplayMessageBytesMax);
    while (from < to) {
        std::uint64_t next = std::min<std::uint64_t>(to, from + frame);
        transport::ByteSpan pieces[2];
        std::size_t count = ring_.spans(from, next, pieces);
        transport::writeBinaryFor(*this, connection, pieces, count);
        from = next;
    }
}

// Application thread: the frame goes into the replay ring, and to the
// network unless a resumption holds it back.
int QvAsrClientImpl::writeKept(const OddByteCarry::Pieces& pieces, std::uint64_t connection,
                               std::uint32_t generation, std::int64_t now) {
    ReplayRing::Claim claim = ring_.append(pieces.spans, pieces.count, generation);
    if (claim.stale || !claim.kept) return -5;
    std::uint64_t size = 0;
    for (std::size_t i = 0; i < pieces.count; ++i) size += pieces.spans[i].size;
    bytesHanded_.fetch_add(size, std::memory_order_relaxed);
    if (size > 0) frameBytes_.store(static_cast<std::size_t>(size), std::memory_order_relaxed);
    arrivals_.note(claim.end / kBytesPerMs, now);
    if (!claim.direct) return 0;
    if (claim.tagged) {
        // The connection the ring was released for, or none: its successor replays these bytes.
        connection = transport::sendConnection(*this);
        if (ReplayRing::tagOf(connection) != claim.tag) return 0;
    }
    transport::writeBinaryFor(*this, connection, pieces.spans, pieces.count);
    return transport::sendQueueOverflowed(*this) ? -5 : 0;
}

void QvAsrClientImpl::fillStats(QvAsrSessionStats& stats) {
    stats.audioMsSent = static_cast<long long>(bytesHanded_.load(std::memory_order_relaxed) / kBytesPerMs);
    stats.bytesQueued = static_cast<long long>(transport::queuedBytes(*this));
    stats.queueCapBytes = queueCapBytes_.load(std::memory_order_relaxed);
    stats.textsReceived = textsReceived_.load(std::memory_order_relaxed);
    stats.resumptions = resumptions_.load(std::memory_order_relaxed);
    stats.lastPingRoundTripMs = transport::pingRoundTripMs(*this);
    stats.lastFinalLatencyMs = lastFinalLatencyMs_.load(std::memory_order_relaxed);
}

} // namespace QUORVEX
