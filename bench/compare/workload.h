// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_BENCH_COMPARE_WORKLOAD_H
#define QUORVEX_BENCH_COMPARE_WORKLOAD_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quorvex::bench {

using Clock = std::chrono::steady_clock;

// The load both clients carry: every session streams frames in real time and
// the load server answers one text per textEvery frames, each naming the
// frame count it answers and when it read that frame ("f<count>@<us>"), and a
// final text "bytes:<n>".
struct Workload {
    int sessions = 1000;
    int seconds = 5;
    int frameBytes = 640;
    int frameMs = 20;
    int textEvery = 10;
    int arrivalUs = 500; // between one session's start (or stop) and the next
    int writerThreads = 1;  // threads that share the sessions' frames
    bool pacedAlone = false; // session 0 streams from a thread of its own
    bool slowListener = false; // session 1's listener takes 100 ms for each text (the library only)
    int frames() const { return seconds * 1000 / frameMs; }
};

// How long the calls that hand a frame over took, and how far the threads
// that pace them fell behind their schedule.
struct CallFigures {
    double p50Us = 0, p99Us = 0, p999Us = 0, maxUs = 0;
    double lagP99Ms = 0, lagMaxMs = 0;
    std::int64_t calls = 0, overOneMs = 0;
};

// Call durations and lags of one or more pacing threads, merged at the end.
class CallTimes {
public:
    // Sized and touched before the client is measured, so that the memory
    // these figures take is not counted as the client's.
    void prepare(std::size_t calls, std::size_t lags);
    void call(std::int64_t ns) { callNs_.push_back(ns); }
    void lag(std::int64_t us) { lagUs_.push_back(us); }
    void merge(const CallTimes& other);
    CallFigures figures() const;

private:
    std::vector<std::int64_t> callNs_, lagUs_;
};

// One text's latency, from the frame's hand-off to the client, split where
// the load server read the frame; and from the frame's due time, which also
// counts how far the client's pacing fell behind (the hand-off time does not).
struct TextTimes {
    std::int64_t fromHandOff = 0, toServer = 0, back = 0, fromDue = 0; // us
};

// One session's timings. The runner writes the send side; the client's
// receiving thread writes the answers. The runner reads the answers only
// after the session reported its end (the lock of Sessions is the fence).
struct SessionRecord {
    Clock::time_point startCalled, stopCalled;
    std::int64_t startUs = -1, stopUs = -1;
    // By frame count, since the run began.
    std::vector<std::atomic<std::int64_t>> frameSentUs, frameDueUs;
    std::vector<TextTimes> texts;
    std::int64_t bytesSent = 0, bytesConfirmed = -1;
    bool ok = false;
    bool startReported = false, endReported = false; // under the lock of Sessions
};

// Every session of a run, and a count of those started and ended that the
// runner waits on with a deadline.
class Sessions {
public:
    Sessions(const Workload& load);
    SessionRecord& operator[](int session) { return records_[static_cast<std::size_t>(session)]; }
    int size() const { return static_cast<int>(records_.size()); }

    // Receiving side.
    void started(int session, bool ok);
    void text(int session, const std::string& text); // "f<count>@<us>" or "bytes:<n>"
    void ended(int session, bool ok);
    // Sending side.
    void frameSent(int session, int count, Clock::time_point due);
    CallTimes& pacerTimes(int thread) { return pacerTimes_[static_cast<std::size_t>(thread)]; }

    bool waitStarted(std::chrono::seconds deadline);
    bool waitEnded(std::chrono::seconds deadline);
    int startedCount();
    int endedCount();

private:
    Clock::time_point epoch_ = Clock::now();
    std::vector<SessionRecord> records_;
    std::vector<CallTimes> pacerTimes_; // one per writer thread
    std::mutex lock_;
    std::condition_variable changed_;
    int started_ = 0, ended_ = 0;
};

// What a client reports back to the runner (through a pipe: plain data only).
struct RunFigures {
    double cpuSeconds = 0;
    double rssKiBPerSession = 0;
    double startP50 = 0, startP99 = 0, textP50 = 0, textP99 = 0, stopP50 = 0, stopP99 = 0; // ms
    double toServerP50 = 0, toServerP99 = 0, backP50 = 0, backP99 = 0, fromDueP50 = 0, fromDueP99 = 0; // ms
    std::int64_t bytesSent = 0, bytesConfirmed = 0, texts = 0;
    int sessionsOk = 0;
    CallFigures pacers;  // the threads that pace the sessions
    CallFigures alone;   // session 0 on its own thread (pacedAlone)
    CallFigures plain;   // a plain lock-copy-eventfd hand-off beside it
    static constexpr int kLoopsShown = 4;
    double loopShare[kLoopsShown] = {}; // each loop thread's share of a core while streaming
};

// The client under test, driven by runWorkload on the runner's thread.
class LoadClient {
public:
    virtual ~LoadClient() = default;
    virtual void start(int session) = 0;
    virtual void sendFrame(int session, const unsigned char* pcm, int bytes) = 0;
    virtual void stop(int session) = 0;
};

std::int64_t microsSince(Clock::time_point then);
std::int64_t usSinceClockEpoch(Clock::time_point t);

// Starts every session, streams in real time (sessions spread over each
// frame period, as independent speakers are), stops them all and fills the
// figures except CPU and memory, which the caller brackets.
void runWorkload(const Workload& load, LoadClient& client, Sessions& sessions,
                 const std::function<void()>& whileStreaming, RunFigures& figures);

} // namespace quorvex::bench

#endif
