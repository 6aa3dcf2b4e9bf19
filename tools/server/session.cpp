// SPDX-License-Identifier: Apache-2.0
#include "session.h"

#include "replies.h"
#include "session_conn.h"
#include "transport/transport_control.h"

namespace quorvex::server {

namespace {

// Any thread. Counted as a text only once written to a connection that is
// still open, which only the loop thread knows, and taken by its send queue
// (a full one refuses every later write).
void send(const std::shared_ptr<Session>& session, std::string message, bool isText) {
    session->shared.onLoop([session, message = std::move(message), isText] {
        if (!session->conn) return;
        session->conn->writeText(message.data(), static_cast<int>(message.size()));
        if (isText && !quorvex::transport::sendQueueOverflowed(*session->conn)) {
            ++session->shared.metrics.textsSent;
            ++session->textsSent;
        }
    });
}

void sendTexts(const std::shared_ptr<Session>& session, const std::vector<Recognised>& results) {
    for (const auto& result : results) send(session, recognitionText(result), true);
}

// Each start holds one slot until its finish, a failed open or the end of the
// connection gives it back; a STOP followed at once by START holds two for a moment.
void giveBackSlots(Session& session, int count) {
    for (int held = session.slotsHeld.load(); count > 0 && held > 0; held = session.slotsHeld.load()) {
        if (!session.slotsHeld.compare_exchange_weak(held, held - 1)) continue;
        session.shared.giveSlot();
        --count;
    }
}

void releaseRecogniser(Session& session) {
    if (!session.recogniser) return;
    session.recogniser.reset();
    session.shared.metrics.recognisersLoaded = static_cast<std::int64_t>(session.shared.engine->loaded());
}

} // namespace

void openRecogniser(const std::shared_ptr<Session>& session, const std::string& sessionId) {
    session->strand->post([session, sessionId] {
        if (session->gone) return;
        // Opening may load a model: a worker does it, then the session answers.
        session->recogniser = session->shared.engine->open();
        session->shared.metrics.recognisersLoaded = static_cast<std::int64_t>(session->shared.engine->loaded());
        if (session->recogniser) {
            send(session, startSessionRes(kOk, "", sessionId), false);
            return;
        }
        giveBackSlots(*session, 1);
        session->shared.log.log("no_recogniser", "the engine could not make a recogniser; session refused");
        session->shared.onLoop([session] {
            if (session->conn) session->conn->endAfterRecogniserFailure();
        });
    });
}

void recognise(const std::shared_ptr<Session>& session, std::vector<std::int16_t> samples) {
    session->strand->post([session, samples = std::move(samples)] {
        if (!session->gone && session->recogniser)
            sendTexts(session, session->recogniser->feed(samples.data(), samples.size()));
        std::size_t left = session->backlogBytes -= samples.size() * 2;
        // Half the backlog recognised: the paused connection is read again.
        if (left <= session->shared.backlogLimitBytes() / 2 && session->readingPaused.exchange(false))
            session->shared.onLoop([session] {
                if (session->conn) session->conn->resumeReading();
            });
    });
}

void finishRecognition(const std::shared_ptr<Session>& session) {
    session->strand->post([session] {
        if (session->gone) return;
        if (session->recogniser) sendTexts(session, session->recogniser->finish());
        releaseRecogniser(*session);
        // The slot goes back as the answer is written: a client that hears it may
        // start again at once, and a draining server closes only after it.
        bool queued = session->shared.onLoop([session] {
            if (session->conn) {
                std::string answer = stopSessionRes();
                session->conn->writeText(answer.data(), static_cast<int>(answer.size()));
                session->conn->stopAnswered();
            }
            giveBackSlots(*session, 1);
        });
        if (!queued) giveBackSlots(*session, 1);
    });
}

void abandonRecognition(const std::shared_ptr<Session>& session) {
    session->conn = nullptr;
    if (session->gone.exchange(true)) return;
    session->strand->dropQueued();
    session->strand->post([session] {
        releaseRecogniser(*session);
        giveBackSlots(*session, session->slotsHeld.load());
    });
}

} // namespace quorvex::server
