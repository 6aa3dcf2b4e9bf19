// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TOOLS_SERVER_SESSION_H
#define QUORVEX_TOOLS_SERVER_SESSION_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "server_shared.h"

namespace quorvex::server {

// The part of a connection that its recognition work shares. Work runs on
// the session's strand, in arrival order; what it sends goes through the loop
// thread, which alone knows whether the connection is still there.
class Session {
public:
    explicit Session(AsrServer::Shared& server) : shared(server), strand(server.pool->makeStrand()) {}

    AsrServer::Shared& shared;
    const std::shared_ptr<WorkerPool::Strand> strand;
    SessionConn* conn = nullptr;              // loop thread; null once the session has ended
    std::atomic<bool> gone{false};            // ended: queued work is dropped, nothing more is sent
    std::atomic<std::size_t> backlogBytes{0}; // audio posted and not yet recognised
    std::atomic<int> slotsHeld{0};            // one per start not yet finished
    std::atomic<bool> readingPaused{false};   // the backlog is full: the connection is not read
    std::atomic<std::int64_t> textsSent{0};   // of the session running now, as the metrics count them
    std::unique_ptr<Recogniser> recogniser;   // strand only
};

// Loop thread: queue recognition work on the session's strand.
void openRecogniser(const std::shared_ptr<Session>& session, const std::string& sessionId);
void recognise(const std::shared_ptr<Session>& session, std::vector<std::int16_t> samples);
void finishRecognition(const std::shared_ptr<Session>& session);
// The session has ended: queued work is dropped, the recogniser and the slot
// are given back once the work running now (if any) is done. Idempotent.
void abandonRecognition(const std::shared_ptr<Session>& session);

} // namespace quorvex::server

#endif
