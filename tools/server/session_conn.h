// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TOOLS_SERVER_SESSION_CONN_H
#define QUORVEX_TOOLS_SERVER_SESSION_CONN_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "metrics.h"
#include "server_shared.h"
#include "transport/wss_conn.h"

namespace quorvex::server {

class Session;
struct ControlMessage;

// One WebSocket on the session path. Every event, and every call below, on
// the loop thread.
class SessionConn : public CWSSConn {
public:
    using Clock = std::chrono::steady_clock;

    explicit SessionConn(AsrServer::Shared& shared);
    ~SessionConn() override;

    void onEstablished() override;
    void onTextData(const char* data, int len) override;
    void onBinaryData(const unsigned char* data, int len) override;
    void onClose() override;

    // Deadlines: no START in time, a silent session, a close that does not finish.
    void checkDeadlines(Clock::time_point now);
    // Shutdown: a connection without a running session goes at once; with
    // force, every one does.
    void closeForShutdown(bool force);
    void endAfterRecogniserFailure();
    // STOP_SESSION_RES has been written: from now on the connection waits for a START.
    void stopAnswered();
    // The backlog is back under its resume mark.
    void resumeReading();

private:
    enum class Phase { Waiting, Running, Stopped, Closing };

    void handleControl(const ControlMessage& message);
    void startSession(const std::string& token);
    bool refuseStart(Clock::time_point now, const std::string& token);
    void stopSession();
    void reply(const std::string& text) { writeText(text.data(), static_cast<int>(text.size())); }
    // Ends the session (if any) and closes once what is queued has left.
    void end(CloseReason reason);
    static int closeStatus(CloseReason reason);
    CloseReason transportReason();
    void enter(Phase phase);
    // The operator's line for a session that has ended: once per session.
    void logSessionEnd(const std::string& how);
    bool sessionRunning() const { return phase_ == Phase::Running || (phase_ == Phase::Stopped && !stopAnswered_); }
    void pauseReading();
    void setReading(bool on);

    AsrServer::Shared& shared_;
    std::shared_ptr<Session> session_;
    Phase phase_ = Phase::Waiting;
    bool registered_ = false;
    bool forced_ = false;
    bool stopAnswered_ = false; // a stopped session's final texts may take a while
    CloseReason closeReason_ = CloseReason::Peer;
    Clock::time_point phaseSince_ = Clock::now();
    Clock::time_point lastHeard_ = phaseSince_;
    std::string sessionId_;       // of the session running now; empty once its end is logged
    Clock::time_point sessionStart_{};
    std::uint64_t sessionAudioBytes_ = 0;
};

} // namespace quorvex::server

#endif
