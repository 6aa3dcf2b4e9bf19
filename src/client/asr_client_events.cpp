// SPDX-License-Identifier: Apache-2.0
// The client's connection events (loop thread): each is classified into an
// event of the session table, and the transition's actions carried out.
#include <mutex>
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

void QvAsrClientImpl::handle(Event event, const session::Facts& facts) {
    Applied applied = advance(event, facts);
    perform(applied, event);
    if (applied.transition.enterAfterActions && !(applied.transition.actions & session::kCompleteDestroy))
        state = applied.transition.next;
}

void QvAsrClientImpl::perform(const Applied& applied, Event event) {
    std::uint32_t actions = applied.transition.actions;
    performResumption(actions, event, applied.from);
    if (actions & session::kSendStartRequest) {
        if (applied.from != ASR_STATE_RESUMING && applied.from != ASR_STATE_RESUMING_STOP) run_ = ResumeRun{};
        StartSessionReq request;
        request.msg_data.token = token;
        sendMessage(request, [this](const char* text, int len) { writeFrame(text, len); });
        armDeadline(limits_.startTimeoutMs, &QvAsrClientImpl::onStartDeadline);
    }
    if (actions & session::kReportConnectFailure) {
        quorvex::transport::ConnectFailure failure = quorvex::transport::connectFailure(*this);
        sdkLog("%s connection failed: %s", sessionId.c_str(), failure.text.c_str());
        reportStartFailure(connectFailureReport(failure), -2);
    }
    if (actions & session::kDeliverStarted) deliverStarted();
    if (actions & session::kReportRefused) {
        const auto& response = std::get<StartSessionRes>(frame_->message);
        reportStartFailure(sessionRefusedReport(response.msg_code, response.msg_desc), -4);
        sdkLog("%s %s error", sessionId.c_str(), AsrMsgTypeNames[START_SESSION_RES]);
    }
    if (actions & session::kDeliverText) deliverText();
    if (actions & session::kSendStopRequest) sendStopRequest(quorvex::transport::sendConnection(*this), true);
    if (actions & session::kDeliverStop) deliverStop();
    if (actions & session::kReportException) {
        const std::string& description = std::get<ExceptionNtf>(frame_->message).msg_desc;
        notify("onSessionError", [&description](QvAsrClientListener& l) { l.onSessionError(1, description.c_str()); });
        sdkLog("%s %s error:%s", sessionId.c_str(), AsrMsgTypeNames[EXCEPTION_NTF], description.c_str());
    }
    if (actions & session::kReportStartTimeout) {
        sdkLog("%s %s not received within %d ms", sessionId.c_str(), AsrMsgTypeNames[START_SESSION_RES],
               limits_.startTimeoutMs);
        reportStartFailure(startTimeoutReport(limits_.startTimeoutMs), -2);
        quorvex::transport::close(*this, quorvex::transport::Closing::AtOnce);
    }
    if (actions & session::kReportLost) reportLost(applied.from);
    if (actions & session::kCompleteDestroy) destroyOnClose();
}

void QvAsrClientImpl::deliverStarted() {
    sessionId = std::get<StartSessionRes>(frame_->message).msg_data.session_id;
    notify("onStartResult", [this](QvAsrClientListener& l) { l.onStartResult(0, sessionId.c_str()); });
    sdkLog("%s %s suc", sessionId.c_str(), AsrMsgTypeNames[START_SESSION_RES]);
}

// Texts of a session carried over are shifted onto the first session's
// timeline; a final result already delivered is not delivered again.
void QvAsrClientImpl::deliverText() {
    const auto& data = std::get<RecognitionText>(frame_->message).msg_data;
    QvAsrRecognitionResult result{data.bg, data.ed, data.fin, data.text.c_str()};
    if (ring_.capacity()) {
        int baseMs = static_cast<int>(run_.sessionBase / 32);
        result.bg += baseMs;
        result.ed += baseMs;
        if (result.fin && resumptions_.load() > 0 && result.ed <= run_.lastFinalEdMs) {
            sdkLog("%s final result up to %d ms delivered before: not again", sessionId.c_str(), result.ed);
            return;
        }
    }
    textsReceived_.fetch_add(1, std::memory_order_relaxed);
    if (result.fin) {
        if (result.ed > run_.lastFinalEdMs) run_.lastFinalEdMs = result.ed;
        std::int64_t now = detail::steadyNowMs();
        int latency = arrivals_.latencyOf(static_cast<std::uint64_t>(result.ed > 0 ? result.ed : 0), now);
        if (latency >= 0) lastFinalLatencyMs_.store(latency, std::memory_order_relaxed);
    }
    notify("onRecognitionText", [&result](QvAsrClientListener& l) { l.onRecognitionText(&result); });
}

void QvAsrClientImpl::deliverStop() {
    notify("onStopResult", [](QvAsrClientListener& l) { l.onStopResult(0); });
    sdkLog("%s %s suc", sessionId.c_str(), AsrMsgTypeNames[STOP_SESSION_RES]);
    close();
}

// The connection went away while nobody expected it; the listener hears
// it while the old state is still in place.
void QvAsrClientImpl::reportLost(int current) {
    const char* cause = quorvex::transport::sendQueueOverflowed(*this) ? "send queue full, server not reading! state:"
                                                                               : "disconnect from server! state:";
    std::string text = cause + std::to_string(current);
    notify("onSessionError", [&text](QvAsrClientListener& l) { l.onSessionError(1, text.c_str()); });
}

void QvAsrClientImpl::destroyOnClose() {
    sdkLog("%s destory suc onClose!", sessionId.c_str());
    std::lock_guard<std::mutex> guard(*sdkMutex);
    notify("onDestroyed", [](QvAsrClientListener& l) { l.onDestroyed(0); });
    state = ASR_STATE_CLOSED;
    DestroyRequest* request = pendingDestroy_;
    pendingDestroy_ = nullptr;
    completeDestroy(request); // the owner may delete us from here on
}

// ---- connection events ------------------------------------------------------

void QvAsrClientImpl::onEstablished() {
    sdkLog("QUORVEX::QvAsrClientImpl::onEstablished");
    handle(Event::Established);
}

void QvAsrClientImpl::onConnectErr() {
    sdkLog("QUORVEX::QvAsrClientImpl::onConnectErr");
    handle(Event::ConnectErr, factsFor(Event::ConnectErr));
}

void QvAsrClientImpl::onTextData(const char* data, int len) {
    if (state.load() == ASR_STATE_STOPPING) lastHeardMs_ = detail::steadyNowMs();
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
    case FrameKind::Ignored:
        return;
    default:
        break;
    }
    frame_ = &frame;
    switch (frame.kind) {
    case FrameKind::StartSessionRes: {
        Event event = std::get<StartSessionRes>(frame.message).msg_code == 0 ? Event::StartAccepted : Event::StartRefused;
        handle(event, factsFor(event));
        break;
    }
    case FrameKind::RecognitionText: handle(Event::Text); break;
    case FrameKind::StopSessionRes: handle(Event::StopAnswered); break;
    case FrameKind::ExceptionNtf: handle(Event::ServerException, factsFor(Event::ServerException)); break;
    default: break;
    }
    frame_ = nullptr;
}

void QvAsrClientImpl::onClose() {
    sdkLog("%s %s", sessionId.c_str(), "QUORVEX::QvAsrClientImpl::onClose");
    handle(Event::Close, factsFor(Event::Close));
}

// ---- deadlines ----------------------------------------------------------------

void QvAsrClientImpl::afterLoop(unsigned int epoch, int delayMs, void (QvAsrClientImpl::*then)(unsigned int)) {
    CWSSContext* loop = loopContext();
    if (!loop) return;
    auto self = self_;
    loop->addTimer(
        [self, then, epoch](void*) {
            if (QvAsrClientImpl* client = self->load()) (client->*then)(epoch);
            return false;
        },
        static_cast<unsigned int>(std::max(delayMs, 0)));
}

void QvAsrClientImpl::armDeadline(int timeoutMs, void (QvAsrClientImpl::*expire)(unsigned int)) {
    afterLoop(++deadlineEpoch_, timeoutMs, expire);
}

// The server upgraded but never answered the start request.
void QvAsrClientImpl::onStartDeadline(unsigned int epoch) {
    if (epoch == deadlineEpoch_.load()) handle(Event::StartDeadline, factsFor(Event::StartDeadline));
}

// The stop request went unanswered: end the session as a close does.
// A server still catching up with a backlog is not a silent one: the deadline
// counts from its last message, and one timer per session is moved along.
void QvAsrClientImpl::onStopDeadline(unsigned int epoch) {
    if (epoch != deadlineEpoch_.load()) return;
    if (!(advance(Event::StopDeadline).transition.actions & session::kStopSilence)) return;
    std::int64_t quietMs = detail::steadyNowMs() - lastHeardMs_.load();
    if (quietMs < limits_.stopTimeoutMs) {
        afterLoop(epoch, static_cast<int>(limits_.stopTimeoutMs - quietMs), &QvAsrClientImpl::onStopDeadline);
        return;
    }
    sdkLog("%s %s not received within %d ms", sessionId.c_str(), AsrMsgTypeNames[STOP_SESSION_RES],
           limits_.stopTimeoutMs);
    run_.stopSilenced = true; // a server that takes a session but never ends it is not tried again
    quorvex::transport::close(*this, quorvex::transport::Closing::AtOnce);
}

} // namespace QUORVEX
