// SPDX-License-Identifier: Apache-2.0
#include "metrics.h"

namespace quorvex::server {

namespace {

constexpr const char* kRefusalNames[] = {
    "busy",       "draining",      "bad_token",       "token_lockout", "message_too_large",
    "bad_json",   "json_too_deep", "unknown_type",    "wrong_state",   "frame_too_large",
    "bad_frame",  "backlog",       "wrong_path",      "post_too_large", "connection_limit",
};
static_assert(std::size(kRefusalNames) == static_cast<std::size_t>(Refusal::Count));

constexpr const char* kCloseNames[] = {
    "peer",      "start_timeout", "idle_timeout", "close_timeout", "bad_token", "token_lockout",
    "too_large", "backlog",       "busy",         "shutdown",      "wrong_path", "recogniser_failed",
    "not_reading", "peer_silent",
};
static_assert(std::size(kCloseNames) == static_cast<std::size_t>(CloseReason::Count));

void header(std::string& text, const char* name, const char* type, const char* help) {
    text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void single(std::string& text, const char* name, const char* help, std::int64_t value) {
    header(text, name, std::string(name).find("_total") != std::string::npos ? "counter" : "gauge", help);
    text += std::string(name) + " " + std::to_string(value) + "\n";
}

template <typename Counters>
void labelled(std::string& text, const char* name, const char* help, const char* const* labels,
              const Counters& counters) {
    header(text, name, "counter", help);
    for (std::size_t i = 0; i < counters.size(); ++i)
        text += std::string(name) + "{reason=\"" + labels[i] + "\"} " + std::to_string(counters[i].load()) + "\n";
}

} // namespace

const char* refusalName(Refusal reason) { return kRefusalNames[static_cast<std::size_t>(reason)]; }
const char* closeReasonName(CloseReason reason) { return kCloseNames[static_cast<std::size_t>(reason)]; }

void Metrics::refused(Refusal reason) {
    ++refusals[static_cast<std::size_t>(reason)];
    announce();
}

void Metrics::closed(CloseReason reason) {
    ++closes[static_cast<std::size_t>(reason)];
    announce();
}

std::int64_t Metrics::refusalCount(Refusal reason) const { return refusals[static_cast<std::size_t>(reason)]; }
std::int64_t Metrics::closeCount(CloseReason reason) const { return closes[static_cast<std::size_t>(reason)]; }

void Metrics::announce() {
    std::lock_guard<std::mutex> guard(lock_);
    changed_.notify_all();
}

bool Metrics::waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline) const {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, deadline, condition);
}

std::string Metrics::render(const ServerOptions& limits, bool draining) const {
    std::string text;
    single(text, "quorvex_sessions_open", "Recognition sessions running now.", sessionsOpen);
    single(text, "quorvex_sessions_total", "Recognition sessions started.", sessionsTotal);
    single(text, "quorvex_session_slots_used", "Sessions holding a recogniser slot.", sessionSlotsUsed);
    single(text, "quorvex_connections_open", "WebSocket connections on the session path.", connectionsOpen);
    single(text, "quorvex_recognisers_loaded", "Recognisers in memory, in use or idle.", recognisersLoaded);
    single(text, "quorvex_audio_bytes_total", "Audio bytes received.", audioBytes);
    single(text, "quorvex_audio_frames_total", "Audio frames received.", audioFrames);
    single(text, "quorvex_texts_sent_total", "Recognition texts written to a connection.", textsSent);
    single(text, "quorvex_reading_paused_total",
           "Times a session's backlog filled and its connection was not read until half of it was recognised.",
           readingPauses);
    single(text, "quorvex_draining", "1 while the server is shutting down.", draining ? 1 : 0);
    labelled(text, "quorvex_refusals_total", "Requests and sessions refused, by reason.", kRefusalNames, refusals);
    labelled(text, "quorvex_closes_total", "WebSocket connections ended, by reason.", kCloseNames, closes);
    header(text, "quorvex_limit", "gauge", "Limits in force (bytes, milliseconds or counts).");
    auto limit = [&text](const char* name, std::uint64_t value) {
        text += std::string("quorvex_limit{name=\"") + name + "\"} " + std::to_string(value) + "\n";
    };
    limit("max_sessions", limits.maxSessions);
    limit("max_connections", limits.maxConnections);
    limit("max_message_bytes", limits.maxMessageBytes);
    limit("max_json_depth", limits.maxJsonDepth);
    limit("max_frame_bytes", limits.maxFrameBytes);
    limit("max_backlog_ms", limits.maxBacklogMs);
    limit("max_post_bytes", limits.maxPostBytes);
    limit("start_timeout_ms", limits.startTimeoutMs);
    limit("idle_timeout_ms", limits.idleTimeoutMs);
    limit("close_grace_ms", limits.closeGraceMs);
    limit("drain_timeout_ms", limits.drainTimeoutMs);
    limit("max_failed_tokens", limits.maxFailedTokens);
    limit("failed_token_window_ms", limits.failedTokenWindowMs);
    limit("recogniser_idle_ms", limits.recogniserIdleMs);
    limit("max_send_queue_bytes", limits.maxSendQueueBytes);
    limit("ping_after_s", limits.pingAfterSeconds);
    limit("hang_up_after_s", limits.hangUpAfterSeconds);
    limit("workers", limits.workers);
    return text;
}

} // namespace quorvex::server
