// SPDX-License-Identifier: Apache-2.0
// Clients of the C interface: a C++ client with a listener that turns each
// call into an event, handed to the application's callback on the loop
// thread or queued for it.
#include <memory>
#include <new>
#include <utility>

#include "capi/event_queue.h"
#include "capi/sized_record.h"
#include "quorvex/quorvex.h"
#include "quorvex/quorvex_c.h"

using quorvex::capi::EventQueue;
using quorvex::capi::OwnedEvent;

namespace {

constexpr int kDefaultQueueCapacity = 1024;

qv_event viewOf(const OwnedEvent& event) {
    qv_event view{};
    view.size = sizeof view;
    view.type = event.type;
    view.code = event.code;
    view.text = event.text.c_str();
    view.bg = event.bg;
    view.ed = event.ed;
    view.fin = event.fin;
    view.category = event.category;
    view.status = event.status;
    view.retry_after_seconds = event.retryAfterSeconds;
    view.previous_session_id = event.previousSessionId.c_str();
    view.replayed_ms = event.replayedMs;
    view.unreplayable_ms = event.unreplayableMs;
    return view;
}

class EventSink : public QUORVEX::QvAsrClientListener,
                  public QUORVEX::QvAsrStartFailureListener,
                  public QUORVEX::QvAsrResumeListener {
public:
    EventSink(qv_event_fn callback, void* user, std::unique_ptr<EventQueue> queue)
        : callback_(callback), user_(user), queue_(std::move(queue)) {}

    EventQueue* queue() const { return queue_.get(); }

    void onMessageError(int code, const char* text) override { deliver(basic(QV_EVENT_MESSAGE_ERROR, code, text), true); }
    void onSessionError(int code, const char* text) override { deliver(basic(QV_EVENT_SESSION_ERROR, code, text), false); }
    void onDestroyed(int code) override { deliver(basic(QV_EVENT_DESTROYED, code, nullptr), false); }
    void onStartResult(int code, const char* sessionId) override {
        deliver(basic(QV_EVENT_START_RESULT, code, sessionId), false);
    }
    void onStopResult(int code) override { deliver(basic(QV_EVENT_STOP_RESULT, code, nullptr), false); }
    void onRecognitionText(const QUORVEX::QvAsrRecognitionResult* result) override {
        OwnedEvent event = basic(QV_EVENT_TEXT, 0, result->text);
        event.bg = result->bg;
        event.ed = result->ed;
        event.fin = result->fin;
        deliver(std::move(event), true);
    }
    void onStartFailure(const QUORVEX::QvAsrStartFailure* failure) override {
        OwnedEvent event = basic(QV_EVENT_START_FAILURE, 0, failure->text);
        event.category = static_cast<int>(failure->category);
        event.status = failure->status;
        event.retryAfterSeconds = failure->retryAfterSeconds;
        deliver(std::move(event), false);
    }

    void onResumed(const QUORVEX::QvAsrResumeInfo* info) override {
        OwnedEvent event = basic(QV_EVENT_RESUMED, info->attempt, info->newSessionId);
        event.previousSessionId = info->previousSessionId ? info->previousSessionId : "";
        event.replayedMs = info->replayedMs;
        event.unreplayableMs = info->unreplayableMs;
        deliver(std::move(event), false);
    }

private:
    static OwnedEvent basic(int type, int code, const char* text) {
        OwnedEvent event;
        event.type = type;
        event.code = code;
        event.text = text ? text : "";
        return event;
    }
    void deliver(OwnedEvent event, bool droppable) {
        if (queue_) {
            // Destroyed comes only inside qv_client_destroy, which frees the queue.
            event.droppable = droppable;
            if (event.type != QV_EVENT_DESTROYED) queue_->push(std::move(event));
            return;
        }
        qv_event view = viewOf(event);
        callback_(user_, &view);
    }

    qv_event_fn callback_;
    void* user_;
    std::unique_ptr<EventQueue> queue_;
};

} // namespace

struct qv_client {
    std::unique_ptr<EventSink> sink;
    QUORVEX::QvAsrClient* cpp = nullptr;
    OwnedEvent current; // the last event taken: its text lives until the next take
};

extern "C" {

qv_client* qv_client_create(const qv_client_options* options) {
    qv_client_options given{};
    if (!quorvex::capi::readSized(options, given) || given.queue_capacity < 0) return nullptr;
    std::unique_ptr<EventQueue> queue;
    if (!given.callback) {
        int capacity = given.queue_capacity ? given.queue_capacity : kDefaultQueueCapacity;
        queue = std::make_unique<EventQueue>(static_cast<std::size_t>(capacity));
        if (!queue->valid()) return nullptr;
    }
    auto client = std::make_unique<qv_client>();
    client->sink = std::make_unique<EventSink>(given.callback, given.user, std::move(queue));
    client->cpp = QUORVEX::createAsrInstance();
    if (!client->cpp) return nullptr;
    client->cpp->init(client->sink.get());
    QUORVEX::setStartFailureListener(client->cpp, client->sink.get());
    QUORVEX::setResumeListener(client->cpp, client->sink.get());
    return client.release();
}

int qv_client_start(qv_client* client, const char* url, const char* token) {
    if (!client || !url || !token) return QV_ERROR;
    // Session events are never dropped: their number is bounded here instead.
    if (EventQueue* queue = client->sink->queue(); queue && queue->sessionEventsBacklogged()) return QV_BUSY;
    QUORVEX::QvAsrStartParam param{url, token};
    return client->cpp->start(&param);
}

int qv_client_send_audio(qv_client* client, const void* pcm, int length) {
    if (!client || !pcm) return QV_ERROR;
    QUORVEX::QvAsrAudioFrame frame{static_cast<const unsigned char*>(pcm), length, 1, 16000, 16};
    return client->cpp->sendAudio(&frame);
}

int qv_client_stop(qv_client* client) { return client ? client->cpp->stop() : QV_ERROR; }

int qv_client_destroy(qv_client* client) {
    if (!client) return QV_ERROR;
    int result = QUORVEX::destroyAsrInstance(client->cpp);
    if (result != QV_OK) return result;
    delete client->cpp; // waits for the loop to let go of it, before the sink dies
    delete client;
    return QV_OK;
}

int qv_client_next_event(qv_client* client, int timeoutMs, qv_event* event) {
    if (!client || !event || timeoutMs < 0 || event->size < sizeof event->size) return QV_ERROR;
    EventQueue* queue = client->sink->queue();
    if (!queue) return QV_BUSY;
    if (queue->take(timeoutMs, client->current) == 0) return 0;
    qv_event view = viewOf(client->current);
    quorvex::capi::writeSized(event, view);
    return 1;
}

int qv_client_stats(qv_client* client, qv_session_stats* stats) {
    if (!client || !stats || stats->size < sizeof stats->size) return QV_ERROR;
    QUORVEX::QvAsrSessionStats cpp{};
    cpp.size = sizeof cpp;
    QUORVEX::getSessionStats(client->cpp, &cpp);
    qv_session_stats view{sizeof(qv_session_stats), cpp.audioMsSent, cpp.bytesQueued, cpp.queueCapBytes,
                          cpp.textsReceived, cpp.resumptions, cpp.lastPingRoundTripMs, cpp.lastFinalLatencyMs};
    quorvex::capi::writeSized(stats, view);
    return QV_OK;
}

int qv_client_event_fd(qv_client* client) {
    EventQueue* queue = client ? client->sink->queue() : nullptr;
    return queue ? queue->descriptor() : -1;
}

} // extern "C"
