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
#include "sdk/runtime.h"
#include "sdk/runtime_gate.h"
#include "transport/engine/conn_control.h"
#include "transport/client/url.h"
#include "transport/wss_context.h"

namespace QUORVEX {

namespace {
bool isStable(int state) { return state != ASR_STATE_STOPPED && state != ASR_STATE_FAILED; }
bool acceptsStart(int state) { return state == ASR_STATE_IDLE || state == ASR_STATE_CLOSED; }
bool isValidFormat(const QvAsrAudioFrame& frame) {
    return frame.bitsPerSample == 16 && frame.sampleRate == 16000 && frame.channels == 1;
}
std::int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
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

// Server messages move the state in any state but one: a destruction that
// waits for the close must stay pending, or its caller would wait forever.
void QvAsrClientImpl::enterUnlessDestroyPending(AsrClientState next) {
    int current = state.load();
    while (current != ASR_STATE_DESTROY_PENDING && !state.compare_exchange_weak(current, next)) {
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
    if (!acceptsStart(previous)) {
        if (!isStable(previous)) sdkLog("is not stable state.fix next!");
        return -5;
    }
    GateUse initialised(entryGate); // the loop's context must outlive this call
    CWSSContext* loop = initialised ? loopContext() : nullptr;
    if (!loop) {
        sdkLog("QUORVEX::QvAsrClientImpl::start refused: library not initialised");
        return -1;
    }
    const char* why = nullptr;
    auto url = quorvex::transport::detail::parseWsUrl(param->url, &why);
    if (!url) {
        sdkLog("QUORVEX::QvAsrClientImpl::start refused: %s", why);
        return -1;
    }
    std::optional<tagWSSRoute> route = currentRoute(*url);
    if (!route) return -1;
    // Token and state go in place before the connection can report.
    if (!state.compare_exchange_strong(previous, ASR_STATE_CONNECTING)) return -5;
    std::string previousToken = token;
    token = param->token;
    limits_ = currentClientLimits();
    carry_.drop(); // half a sample of an earlier session is not this one's
    quorvex::transport::detail::setConnLimits(*this, transportLimits(limits_));
    quorvex::transport::detail::setConnRoute(*this, *route);
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
    // Read first: the frame is for the connection of the session found running.
    std::uint64_t connection = quorvex::transport::detail::sendConnection(*this);
    if (state.load() != ASR_STATE_STARTED) return -5;
    if (quorvex::transport::detail::sendQueueOverflowed(*this)) return -5; // the session is ending
    OddByteCarry::Pieces pieces;
    carry_.take(frame->data, static_cast<std::size_t>(frame->length), pieces);
    quorvex::transport::detail::writeBinaryFor(*this, connection, pieces.spans, pieces.count);
    return quorvex::transport::detail::sendQueueOverflowed(*this) ? -5 : 0;
}

int QvAsrClientImpl::stop() {
    sdkLog("QUORVEX::QvAsrClientImpl::stop");
    std::uint64_t connection = quorvex::transport::detail::sendConnection(*this);
    // State 5 is in place before the answer can be handled.
    int expected = ASR_STATE_STARTED;
    if (!state.compare_exchange_strong(expected, ASR_STATE_STOPPING)) return -5;
    if (carry_.drop()) sdkLog("%s the audio's last byte is dropped: half a 16-bit sample", sessionId.c_str());
    lastHeardMs_ = nowMs();
    if (GateUse initialised{entryGate}) armDeadline(limits_.stopTimeoutMs, &QvAsrClientImpl::onStopDeadline);
    sendMessage(StopSessionReq(), [this, connection](const char* text, int len) {
        quorvex::transport::detail::writeTextFor(*this, connection, text, len);
    });
    return 0;
}

// ---- connection events (loop thread) ------------------------------------------

void QvAsrClientImpl::onEstablished() {
    sdkLog("QUORVEX::QvAsrClientImpl::onEstablished");
    StartSessionReq request;
    request.msg_data.token = token;
    sendMessage(request, [this](const char* text, int len) { writeFrame(text, len); });
    state = ASR_STATE_STARTING;
    armDeadline(limits_.startTimeoutMs, &QvAsrClientImpl::onStartDeadline);
}

void QvAsrClientImpl::armDeadline(int timeoutMs, void (QvAsrClientImpl::*expire)(unsigned int)) {
    scheduleDeadline(++deadlineEpoch_, timeoutMs, expire);
}

void QvAsrClientImpl::scheduleDeadline(unsigned int epoch, int timeoutMs,
                                       void (QvAsrClientImpl::*expire)(unsigned int)) {
    CWSSContext* loop = loopContext();
    if (!loop) return;
    auto self = self_;
    loop->addTimer(
        [self, expire, epoch](void*) {
            if (QvAsrClientImpl* client = self->load()) (client->*expire)(epoch);
            return false;
        },
        static_cast<unsigned int>(timeoutMs));
}

// Loop thread. The server upgraded but never answered the start request.
void QvAsrClientImpl::onStartDeadline(unsigned int epoch) {
    int expected = ASR_STATE_STARTING;
    if (epoch != deadlineEpoch_.load() || !state.compare_exchange_strong(expected, ASR_STATE_FAILED)) return;
    sdkLog("%s %s not received within %d ms", sessionId.c_str(), AsrMsgTypeNames[START_SESSION_RES],
           limits_.startTimeoutMs);
    reportStartFailure(startTimeoutReport(limits_.startTimeoutMs), -2);
    quorvex::transport::detail::closeAtOnce(*this);
}

// Loop thread. The stop request went unanswered: end the session as a close does.
// A server still catching up with a backlog is not a silent one: the deadline
// counts from its last message, and one timer per session is moved along.
void QvAsrClientImpl::onStopDeadline(unsigned int epoch) {
    if (epoch != deadlineEpoch_.load() || state.load() != ASR_STATE_STOPPING) return;
    std::int64_t quietMs = nowMs() - lastHeardMs_.load();
    if (quietMs < limits_.stopTimeoutMs) {
        scheduleDeadline(epoch, static_cast<int>(limits_.stopTimeoutMs - quietMs), &QvAsrClientImpl::onStopDeadline);
        return;
    }
    sdkLog("%s %s not received within %d ms", sessionId.c_str(), AsrMsgTypeNames[STOP_SESSION_RES],
           limits_.stopTimeoutMs);
    quorvex::transport::detail::closeAtOnce(*this);
}

void QvAsrClientImpl::onConnectErr() {
    quorvex::transport::detail::ConnectFailure failure = quorvex::transport::detail::connectFailure(*this);
    sdkLog("QUORVEX::QvAsrClientImpl::onConnectErr");
    sdkLog("%s connection failed: %s", sessionId.c_str(), failure.text.c_str());
    state = ASR_STATE_CLOSED;
    reportStartFailure(connectFailureReport(failure), -2);
}

void QvAsrClientImpl::onTextData(const char* data, int len) {
    if (state.load() == ASR_STATE_STOPPING) lastHeardMs_ = nowMs();
    ClassifiedFrame frame = classifyFrame(data, len);
    const char* sid = sessionId.c_str();
    switch (frame.kind) {
    case FrameKind::NotJson:
        notify("onMessageError", [](QvAsrClientListener& l) { l.onMessageError(1, "the msg is not json!"); });
        sdkLog("%s `%.*s` is not json!", sid, len, data ? data : "");
        return;
    case FrameKind::NotForAsr:
        notify("onMessageError", [](QvAsrClientListener& l) { l.onMessageError(1, "the msg is not for asr!"); });
        sdkLog("%s `%.*s` is not for asr , %s!", sid, len, data, frame.head.service_type.c_str());
        return;
    case FrameKind::StartSessionRes: {
        const auto& response = std::get<StartSessionRes>(frame.message);
        if (response.msg_code == 0) {
            enterUnlessDestroyPending(ASR_STATE_STARTED);
            sessionId = response.msg_data.session_id;
            notify("onStartResult", [this](QvAsrClientListener& l) { l.onStartResult(0, sessionId.c_str()); });
            sdkLog("%s %s suc", sessionId.c_str(), AsrMsgTypeNames[START_SESSION_RES]);
        } else {
            enterUnlessDestroyPending(ASR_STATE_FAILED);
            reportStartFailure(sessionRefusedReport(response.msg_code, response.msg_desc), -4);
            sdkLog("%s %s error", sid, AsrMsgTypeNames[START_SESSION_RES]);
        }
        return;
    }
    case FrameKind::RecognitionText: {
        const auto& data = std::get<RecognitionText>(frame.message).msg_data;
        QvAsrRecognitionResult result{data.bg, data.ed, data.fin, data.text.c_str()};
        notify("onRecognitionText", [&result](QvAsrClientListener& l) { l.onRecognitionText(&result); });
        return;
    }
    case FrameKind::StopSessionRes:
        enterUnlessDestroyPending(ASR_STATE_STOPPED);
        notify("onStopResult", [](QvAsrClientListener& l) { l.onStopResult(0); });
        sdkLog("%s %s suc", sid, AsrMsgTypeNames[STOP_SESSION_RES]);
        close();
        return;
    case FrameKind::ExceptionNtf: {
        const std::string& description = std::get<ExceptionNtf>(frame.message).msg_desc;
        enterUnlessDestroyPending(ASR_STATE_FAILED);
        notify("onSessionError", [&description](QvAsrClientListener& l) { l.onSessionError(1, description.c_str()); });
        sdkLog("%s %s error:%s", sid, AsrMsgTypeNames[EXCEPTION_NTF], description.c_str());
        return;
    }
    case FrameKind::Ignored:
        return;
    }
}

void QvAsrClientImpl::onClose() {
    sdkLog("%s %s", sessionId.c_str(), "QUORVEX::QvAsrClientImpl::onClose");
    int current = state.load();
    switch (current) {
    case ASR_STATE_STOPPED:
    case ASR_STATE_FAILED:
        state = ASR_STATE_CLOSED; // the close the session was waiting for
        return;
    case ASR_STATE_DESTROY_PENDING: {
        sdkLog("%s destory suc onClose!", sessionId.c_str());
        std::lock_guard<std::mutex> guard(*sdkMutex);
        notify("onDestroyed", [](QvAsrClientListener& l) { l.onDestroyed(0); });
        state = ASR_STATE_CLOSED;
        DestroyRequest* request = pendingDestroy_;
        pendingDestroy_ = nullptr;
        completeDestroy(request);
        return; // the owner may delete us from here on
    }
    default: {
        const char* cause = quorvex::transport::detail::sendQueueOverflowed(*this)
                                ? "send queue full, server not reading! state:"
                                : "disconnect from server! state:";
        std::string text = cause + std::to_string(current);
        notify("onSessionError", [&text](QvAsrClientListener& l) { l.onSessionError(1, text.c_str()); });
        state = ASR_STATE_CLOSED;
        return;
    }
    }
}

} // namespace QUORVEX
