// SPDX-License-Identifier: Apache-2.0
#include "asr_client_impl.h"

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "client/listener_calls.h"
#include "platform/type_info.h"
#include "protocol/asr_messages.h"
#include "sdk/limits.h"
#include "sdk/log.h"
#include "sdk/network_settings.h"
#include "sdk/resume_settings.h"
#include "sdk/runtime.h"
#include "sdk/runtime_gate.h"
#include "transport/transport_control.h"
#include "transport/wss_context.h"

namespace QUORVEX {

namespace {
bool isValidFormat(const QvAsrAudioFrame& frame) {
    return frame.bitsPerSample == 16 && frame.sampleRate == 16000 && frame.channels == 1;
}
// The failure listener on the same object as the listener, where the
// application's class has the type information a cross-cast needs.
QvAsrStartFailureListener* failureListenerOf(QvAsrClientListener* listener) {
    if (!quorvex::platform::hasTypeInfo(listener)) return nullptr;
    return dynamic_cast<QvAsrStartFailureListener*>(listener);
}
tagWSSLimits transportLimits(const QvAsrClientLimits& limits) {
    tagWSSLimits transport;
    transport.connectTimeoutMs = static_cast<unsigned int>(limits.connectTimeoutMs);
    transport.sendQueueBytes = static_cast<std::size_t>(limits.sendQueueBytes);
    transport.pingAfterSeconds = static_cast<unsigned short>(limits.pingAfterSeconds);
    transport.hangUpAfterSeconds = static_cast<unsigned short>(limits.hangUpAfterSeconds);
    return transport;
}
} // namespace

QvAsrClientImpl::QvAsrClientImpl(CWSSContext* ctx)
    : CWSSClient(std::function<void(const char*, int)>(), std::function<void()>()), context(ctx), loopIndex_(nextLoopIndex()),
      listener(nullptr), state(ASR_STATE_IDLE), self_(std::make_shared<std::atomic<QvAsrClientImpl*>>(this)) {}

QvAsrClientImpl::~QvAsrClientImpl() {
    self_->store(nullptr);
    // Detach before our own fields die: the loop must not call into a half-destroyed
    // client. This waits for the loop, so a timer callback already inside us returns first.
    clearSet();
}

void QvAsrClientImpl::reportStartFailure(const StartFailureReport& report, int code) {
    QvAsrStartFailure failure = report.view();
    detail::callGuarded(failureListener.load(), sessionId, "onStartFailure",
                        [&failure](QvAsrStartFailureListener& l) { l.onStartFailure(&failure); });
    notify("onStartResult", [code](QvAsrClientListener& l) { l.onStartResult(code, nullptr); });
}

QvAsrClientImpl::Applied QvAsrClientImpl::advance(session::Event event, const session::Facts& facts) {
    int current = state.load();
    for (;;) {
        session::Transition transition = session::step(current, event, facts);
        if (transition.next == session::kUnchanged || transition.enterAfterActions) return {transition, current};
        if (state.compare_exchange_weak(current, transition.next)) return {transition, current};
    }
}

CWSSContext* QvAsrClientImpl::loopContext() const { return QUORVEX::loopContext(loopIndex_); }

// ---- application operations ------------------------------------------------

int QvAsrClientImpl::init(QvAsrClientListener* newListener) {
    sdkLog("QUORVEX::QvAsrClientImpl::init");
    if (!newListener) return -1;
    // The same object's, or none: a plain listener also unbinds one that a
    // previous init found, but not one registered explicitly.
    if (QvAsrStartFailureListener* found = failureListenerOf(newListener)) {
        failureListener = found;
        failureListenerFromInit_ = true;
    } else if (failureListenerFromInit_.exchange(false)) {
        failureListener = nullptr;
    }
    listener = newListener;
    return 0;
}

void QvAsrClientImpl::setFailureListener(QvAsrStartFailureListener* explicitListener) {
    failureListenerFromInit_ = false;
    failureListener = explicitListener;
}

int QvAsrClientImpl::start(const QvAsrStartParam* param) {
    sdkLog("QUORVEX::QvAsrClientImpl::start");
    if (!param || !param->url || !param->token) {
        sdkLog("QUORVEX::QvAsrClientImpl::start refused: null start parameter");
        return -1;
    }
    int previous = state.load();
    session::Transition decided = session::step(previous, session::Event::Start, {});
    if (decided.actions & session::kRefuse) {
        if (decided.actions & session::kLogNotStable) sdkLog("is not stable state.fix next!");
        return -5;
    }
    GateUse initialised(entryGate); // the loop's context must outlive this call
    CWSSContext* loop = initialised ? loopContext() : nullptr;
    if (!loop) {
        sdkLog("QUORVEX::QvAsrClientImpl::start refused: library not initialised");
        return -1;
    }
    const char* why = nullptr;
    auto url = quorvex::transport::parseWsUrl(param->url, &why);
    if (!url) {
        sdkLog("QUORVEX::QvAsrClientImpl::start refused: %s", why);
        return -1;
    }
    std::optional<tagWSSRoute> route = currentRoute(*url);
    if (!route) return -1;
    // Token and state go in place before the connection can report.
    if (!state.compare_exchange_strong(previous, decided.next)) return -5;
    std::string previousToken = token;
    token = param->token;
    limits_ = currentClientLimits();
    url_ = param->url;
    resume_ = currentResumeSettings();
    // Allocated here, once per session, never per frame.
    ring_.reset(resume_.enabled ? replayBytes() : 0);
    resumeEpoch_.fetch_add(1);
    arrivals_.reset(detail::steadyNowMs());
    bytesHanded_ = 0;
    textsReceived_ = 0;
    resumptions_ = 0;
    lastFinalLatencyMs_ = -1;
    queueCapBytes_ = limits_.sendQueueBytes;
    carry_.drop(); // half a sample of an earlier session is not this one's
    quorvex::transport::setConnLimits(*this, transportLimits(limits_));
    quorvex::transport::setConnRoute(*this, *route);
    if (!connect(loop, std::string(param->url), std::string(), std::function<void(bool)>(), 1)) {
        token = previousToken;
        state = previous;
        return -1;
    }
    return 0;
}

int QvAsrClientImpl::sendAudio(const QvAsrAudioFrame* frame) {
    if (!frame) {
        sdkLog("QUORVEX::QvAsrClientImpl::sendAudio refused: null frame");
        return -1;
    }
    if (!isValidFormat(*frame)) return -1;
    if (frame->length < 0 || (frame->length > 0 && !frame->data)) {
        sdkLog("QUORVEX::QvAsrClientImpl::sendAudio refused: %d bytes at %p", frame->length,
               static_cast<const void*>(frame->data));
        return -1;
    }
    // Read first: the frame is for the connection and the session found running.
    std::uint64_t connection = quorvex::transport::sendConnection(*this);
    std::uint32_t generation = ring_.generation();
    if (session::step(state.load(), session::Event::SendAudio, {}).actions & session::kRefuse) return -5;
    if (quorvex::transport::sendQueueOverflowed(*this)) return -5; // the session is ending
    OddByteCarry::Pieces pieces;
    carry_.take(frame->data, static_cast<std::size_t>(frame->length), pieces);
    std::int64_t now = detail::steadyNowMs();
    if (ring_.capacity()) return writeKept(pieces, connection, generation, now);
    std::uint64_t size = 0;
    for (std::size_t i = 0; i < pieces.count; ++i) size += pieces.spans[i].size;
    arrivals_.note((bytesHanded_.fetch_add(size, std::memory_order_relaxed) + size) / kBytesPerMs, now);
    quorvex::transport::writeBinaryFor(*this, connection, pieces.spans, pieces.count);
    return quorvex::transport::sendQueueOverflowed(*this) ? -5 : 0;
}

int QvAsrClientImpl::stop() {
    sdkLog("QUORVEX::QvAsrClientImpl::stop");
    std::uint64_t connection = quorvex::transport::sendConnection(*this);
    // State 5 is in place before the answer can be handled.
    Applied applied = advance(session::Event::Stop);
    if (applied.transition.actions & session::kRefuse) return -5;
    if (carry_.drop()) sdkLog("%s the audio's last byte is dropped: half a 16-bit sample", sessionId.c_str());
    // While resuming, the new session is stopped once the audio is replayed.
    if (applied.transition.actions & session::kSendStopRequest) sendStopRequest(connection, false);
    return 0;
}

void QvAsrClientImpl::sendStopRequest(std::uint64_t connection, bool onLoop) {
    lastHeardMs_ = detail::steadyNowMs();
    if (onLoop) {
        armDeadline(limits_.stopTimeoutMs, &QvAsrClientImpl::onStopDeadline);
    } else if (GateUse initialised{entryGate}) {
        armDeadline(limits_.stopTimeoutMs, &QvAsrClientImpl::onStopDeadline);
    }
    sendMessage(StopSessionReq(), [this, connection](const char* text, int len) {
        quorvex::transport::writeTextFor(*this, connection, text, len);
    });
}

} // namespace QUORVEX
