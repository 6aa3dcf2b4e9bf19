// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_CLIENT_ASR_CLIENT_IMPL_H
#define QUORVEX_CLIENT_ASR_CLIENT_IMPL_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "client/arrival_log.h"
#include "client/odd_byte_carry.h"
#include "client/replay_ring.h"
#include "client/session_machine.h"
#include "client/start_failure.h"
#include "quorvex/quorvex.h"
#include "transport/wss_client.h"

namespace QUORVEX {

struct ClassifiedFrame;

// 16 kHz, 16-bit, mono.
constexpr std::uint64_t kBytesPerMs = 32;

namespace detail {
inline std::int64_t steadyNowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
} // namespace detail

// One destroyAsrInstance call, living in the caller's frame. Guarded by sdkMutex.
struct DestroyRequest {
    int result = 0;
    bool completed = false; // the caller may return: set for this request only
};

// The recognition client: the application's QvAsrClient, and a CWSSClient
// whose events arrive on the shared loop thread.
class QvAsrClientImpl : public QvAsrClient, public CWSSClient {
public:
    explicit QvAsrClientImpl(CWSSContext* context);
    ~QvAsrClientImpl() override;

    // Application threads.
    int init(QvAsrClientListener* listener) override;
    int start(const QvAsrStartParam* param) override;
    int sendAudio(const QvAsrAudioFrame* frame) override;
    int stop() override;
    // Any thread: the failure listener registered explicitly; null: none.
    void setFailureListener(QvAsrStartFailureListener* explicitListener);
    void setResumeListener(QvAsrResumeListener* resumeListener) { resumeListener_ = resumeListener; }
    // Any thread; never waits for the loop.
    void fillStats(QvAsrSessionStats& stats);

    // Loop thread.
    void onEstablished() override;
    void onTextData(const char* data, int len) override;
    void onClose() override;
    void onConnectErr() override;
    // Loop thread, from destroyAsrInstance's timer: decides whether the client
    // may go now, later (when the connection closes) or not at all.
    void checkDestroy(DestroyRequest* request);
    // The current context of the loop this client is bound to; null when
    // the library is not initialised.
    CWSSContext* loopContext() const;

    int currentState() const { return state.load(); }

private:
    struct Applied {
        session::Transition transition;
        int from; // the state the transition was taken from
    };
    // Any thread: the table's transition for the event, the state moved by
    // compare-and-swap unless the row moves it after its actions.
    Applied advance(session::Event event, const session::Facts& facts = {});
    // Loop thread: advance, then carry out the actions of a connection event.
    void handle(session::Event event, const session::Facts& facts = {});
    void perform(const Applied& applied, session::Event event);
    template <typename Call>
    void notify(const char* what, Call&& call);
    // Loop thread: the failure listener hears why, then the listener the code.
    void reportStartFailure(const StartFailureReport& report, int code);
    // STOP_SESSION_REQ for the connection given, and the deadline for its answer.
    void sendStopRequest(std::uint64_t connection, bool onLoop);
    void deliverStarted();
    void deliverStop();
    void reportLost(int current);
    void destroyOnClose();
    void deliverText();
    // Resumption (asr_client_resume.cpp), loop thread.
    session::Facts factsFor(session::Event event);
    void performResumption(std::uint32_t actions, session::Event event, int from);
    std::size_t replayBytes() const; // at start
    void beginResume(int from);
    // Ring positions, with reserved bytes so far: the last final result's end,
    // and where a replay for a loss would begin (that end, or the oldest audio kept).
    std::uint64_t lastFinalEnd(std::uint64_t reserved) const;
    std::uint64_t replayStart(std::uint64_t reserved) const;
    bool progressedSinceResumed() const;
    void noteOverrun();
    void scheduleAttempt();
    void reconnect();
    void noteAttemptFailure(session::Event event);
    void giveUp();
    void continueReplay(unsigned int epoch);
    void replayRange(std::uint64_t connection, std::uint64_t from, std::uint64_t to);
    void onAttemptDue(unsigned int epoch);
    void waitForWriters(unsigned int epoch);
    int writeKept(const OddByteCarry::Pieces& pieces, std::uint64_t connection, std::uint32_t generation,
                  std::int64_t now);
    void writeFrame(const char* text, int len) { writeText(text, len); }
    void completeDestroy(DestroyRequest* request);
    // Runs then(epoch) on the loop after delayMs, unless the client is gone by then.
    void afterLoop(unsigned int epoch, int delayMs, void (QvAsrClientImpl::*then)(unsigned int));
    // Deadlines for the server's answers; a stale one (older epoch) does nothing.
    void armDeadline(int timeoutMs, void (QvAsrClientImpl::*expire)(unsigned int));
    void onStartDeadline(unsigned int epoch);
    void onStopDeadline(unsigned int epoch);

    std::string sessionId;
    // The context the client was made on. start() connects on the current
    // context of the client's loop instead: after release and init it is a new one.
    [[maybe_unused]] CWSSContext* context;
    // The loop this client is bound to for its life: its events, deadlines
    // and destruction check all run on that loop's thread.
    const unsigned int loopIndex_;
    std::string token;
    std::atomic<QvAsrClientListener*> listener;
    std::atomic<QvAsrStartFailureListener*> failureListener{nullptr}; // found by init or registered, or null
    std::atomic<bool> failureListenerFromInit_{false};
    std::atomic<int> state;
    DestroyRequest* pendingDestroy_ = nullptr; // guarded by sdkMutex; set in state 7
    QvAsrClientLimits limits_{};               // copied at start
    std::atomic<unsigned int> deadlineEpoch_{0};
    std::atomic<std::int64_t> lastHeardMs_{0}; // while stopping: the stop request, then each message
    // Loop thread: the message being handled, for the actions that deliver it.
    const ClassifiedFrame* frame_ = nullptr;
    OddByteCarry carry_;

    // Resumption: set at start, then the loop's.
    struct ResumeRun {
        int stateAtLoss = 0;
        int attemptsMade = 0;
        bool attemptRunning = false;
        bool lastAttempt = false;  // the server's answer ruled out another attempt
        bool failureNoted = false; // for the running attempt
        bool stopSilenced = false; // the stop answer's deadline closed the connection
        bool replayStarted = false;
        std::int64_t settleWaitFromMs = 0; // a writer was still copying when the replay began; 0: none
        StartFailureReport failure;
        std::string previousSessionId;
        std::uint64_t resumeFrom = 0;  // ring position of the last final result's end
        std::uint64_t replayed = 0;    // ring position replayed up to
        std::uint64_t sessionBase = 0; // ring position of the current session's 0 ms
        std::int64_t lastFinalEdMs = 0; // on the first session's timeline
        std::uint64_t replayConnection = 0;
        // A lost session resumed before counts its attempts on from that
        // loss until the resumed session gets past the audio it replayed.
        bool resumedBefore = false;
        std::uint64_t lastReplayFrom = 0;
    };
    std::string url_;
    QvAsrResumeSettings resume_{};
    ReplayRing ring_;
    ResumeRun run_;
    std::atomic<unsigned int> resumeEpoch_{0}; // back-off and replay timers of an older run do nothing
    std::atomic<QvAsrResumeListener*> resumeListener_{nullptr};
    std::atomic<std::size_t> frameBytes_{0}; // the application's last frame: a replay is cut alike
    // Statistics: written where they happen, read by any thread.
    ArrivalLog arrivals_;
    std::atomic<std::uint64_t> bytesHanded_{0};
    std::atomic<long long> textsReceived_{0};
    std::atomic<int> resumptions_{0};
    std::atomic<int> lastFinalLatencyMs_{-1};
    std::atomic<long long> queueCapBytes_{0};
    // Timer callbacks reach the client through this; cleared by the destructor
    // before it waits for the loop, so none runs on a dying client.
    std::shared_ptr<std::atomic<QvAsrClientImpl*>> self_;
};

} // namespace QUORVEX

#endif
