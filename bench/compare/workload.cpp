// SPDX-License-Identifier: Apache-2.0
#include "workload.h"

#include <pthread.h>

#include "plain_handoff.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace quorvex::bench {

std::int64_t microsSince(Clock::time_point then) {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - then).count();
}

std::int64_t usSinceClockEpoch(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
}

namespace {
// Each frame period is cut into slots; a session sends in its own slot.
constexpr int kSlots = 20;
} // namespace

Sessions::Sessions(const Workload& load)
    : records_(static_cast<std::size_t>(load.sessions)),
      pacerTimes_(static_cast<std::size_t>(std::max(1, load.writerThreads))) {
    for (auto& record : records_) {
        record.frameSentUs = std::vector<std::atomic<std::int64_t>>(static_cast<std::size_t>(load.frames()) + 1);
        record.frameDueUs = std::vector<std::atomic<std::int64_t>>(static_cast<std::size_t>(load.frames()) + 1);
        // Touched now, so that memory measured later is the client's alone.
        record.texts.assign(static_cast<std::size_t>(load.frames() / load.textEvery) + 1, TextTimes{});
        record.texts.clear();
    }
    const auto frames = static_cast<std::size_t>(load.frames());
    const std::size_t perThread = records_.size() / pacerTimes_.size() + 1;
    for (CallTimes& times : pacerTimes_) times.prepare(perThread * frames, frames * kSlots);
}

void Sessions::started(int session, bool ok) {
    SessionRecord& record = (*this)[session];
    std::lock_guard<std::mutex> guard(lock_);
    if (record.startReported) return;
    record.startReported = true;
    record.startUs = ok ? microsSince(record.startCalled) : -1;
    ++started_;
    changed_.notify_all();
}

void Sessions::text(int session, const std::string& text) {
    SessionRecord& record = (*this)[session];
    if (text.rfind("bytes:", 0) == 0) {
        record.bytesConfirmed = std::atoll(text.c_str() + 6);
        return;
    }
    if (text.empty() || text[0] != 'f') return;
    char* end = nullptr;
    std::size_t count = std::strtoul(text.c_str() + 1, &end, 10);
    if (count >= record.frameSentUs.size() || *end != '@') return;
    // The server's steady clock is this one (CLOCK_MONOTONIC: one per machine).
    std::int64_t serverRead = std::atoll(end + 1) - usSinceClockEpoch(epoch_);
    std::int64_t now = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - epoch_).count();
    std::int64_t sent = record.frameSentUs[count].load(std::memory_order_relaxed);
    record.texts.push_back({now - sent, serverRead - sent, now - serverRead,
                            now - record.frameDueUs[count].load(std::memory_order_relaxed)});
}

void Sessions::ended(int session, bool ok) {
    SessionRecord& record = (*this)[session];
    std::lock_guard<std::mutex> guard(lock_);
    if (record.endReported) return;
    record.endReported = true;
    record.stopUs = microsSince(record.stopCalled);
    record.ok = ok;
    ++ended_;
    changed_.notify_all();
}

void Sessions::frameSent(int session, int count, Clock::time_point due) {
    auto since = [&](Clock::time_point t) { return std::chrono::duration_cast<std::chrono::microseconds>(t - epoch_).count(); };
    SessionRecord& record = (*this)[session];
    record.frameSentUs[static_cast<std::size_t>(count)].store(since(Clock::now()), std::memory_order_relaxed);
    record.frameDueUs[static_cast<std::size_t>(count)].store(since(due), std::memory_order_relaxed);
}

bool Sessions::waitStarted(std::chrono::seconds deadline) {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, deadline, [&] { return started_ == size(); });
}

bool Sessions::waitEnded(std::chrono::seconds deadline) {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, deadline, [&] { return ended_ == size(); });
}

int Sessions::startedCount() {
    std::lock_guard<std::mutex> guard(lock_);
    return started_;
}

int Sessions::endedCount() {
    std::lock_guard<std::mutex> guard(lock_);
    return ended_;
}

void CallTimes::prepare(std::size_t calls, std::size_t lags) {
    callNs_.assign(calls, 0);
    callNs_.clear();
    lagUs_.assign(lags, 0);
    lagUs_.clear();
}

void CallTimes::merge(const CallTimes& other) {
    callNs_.insert(callNs_.end(), other.callNs_.begin(), other.callNs_.end());
    lagUs_.insert(lagUs_.end(), other.lagUs_.begin(), other.lagUs_.end());
}

CallFigures CallTimes::figures() const {
    CallFigures f;
    auto at = [](std::vector<std::int64_t>& v, double q) {
        return v.empty() ? 0 : v[std::min(v.size() - 1, static_cast<std::size_t>(q * v.size()))];
    };
    std::vector<std::int64_t> calls = callNs_, lags = lagUs_;
    std::sort(calls.begin(), calls.end());
    std::sort(lags.begin(), lags.end());
    f.calls = static_cast<std::int64_t>(calls.size());
    f.p50Us = at(calls, 0.5) / 1000.0;
    f.p99Us = at(calls, 0.99) / 1000.0;
    f.p999Us = at(calls, 0.999) / 1000.0;
    f.maxUs = calls.empty() ? 0 : calls.back() / 1000.0;
    f.overOneMs = calls.end() - std::upper_bound(calls.begin(), calls.end(), std::int64_t{1000000});
    f.lagP99Ms = at(lags, 0.99) / 1000.0;
    f.lagMaxMs = lags.empty() ? 0 : lags.back() / 1000.0;
    return f;
}

namespace {

void percentiles(std::vector<std::int64_t> values, double& p50, double& p99) {
    if (values.empty()) return;
    std::sort(values.begin(), values.end());
    auto at = [&](double q) { return values[std::min(values.size() - 1, static_cast<std::size_t>(q * values.size()))]; };
    p50 = at(0.50) / 1000.0;
    p99 = at(0.99) / 1000.0;
}

std::int64_t nanosSince(Clock::time_point then) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - then).count();
}

// One pacing thread: every frame period, each of its sessions in its slot.
// Its lag is how late it starts a slot; each call to the client is timed.
void pace(const Workload& load, LoadClient& client, Sessions& sessions, const std::vector<int>& mine,
          CallTimes& times) {
    std::vector<unsigned char> pcm(static_cast<std::size_t>(load.frameBytes));
    for (std::size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<unsigned char>(i * 7);
    auto next = Clock::now();
    const auto slot = std::chrono::microseconds(load.frameMs * 1000 / kSlots);
    for (int count = 1; count <= load.frames(); ++count) {
        for (int s = 0; s < kSlots; ++s) {
            times.lag(std::max<std::int64_t>(0, microsSince(next)));
            for (int session : mine) {
                if (session % kSlots != s || sessions[session].startUs < 0) continue; // not its slot, or never started
                sessions.frameSent(session, count, next);
                auto before = Clock::now();
                client.sendFrame(session, pcm.data(), load.frameBytes);
                times.call(nanosSince(before));
                sessions[session].bytesSent += load.frameBytes;
            }
            next += slot;
            std::this_thread::sleep_until(next); // the speakers' pace
        }
    }
}

// The sessions shared among the writer threads (session 0 apart when it
// streams alone), and the times of each kind of thread.
void stream(const Workload& load, LoadClient& client, Sessions& sessions, RunFigures& figures) {
    int threads = std::max(1, load.writerThreads);
    std::vector<std::vector<int>> shares(static_cast<std::size_t>(threads));
    for (int session = load.pacedAlone ? 1 : 0; session < load.sessions; ++session)
        shares[static_cast<std::size_t>(session % threads)].push_back(session);
    CallTimes alone, plain;
    alone.prepare(static_cast<std::size_t>(load.frames()), static_cast<std::size_t>(load.frames()) * kSlots);
    plain.prepare(static_cast<std::size_t>(load.frames()), static_cast<std::size_t>(load.frames()));
    std::vector<std::thread> pacers;
    for (int t = 0; t < threads; ++t)
        pacers.emplace_back([&, t] { pace(load, client, sessions, shares[static_cast<std::size_t>(t)], sessions.pacerTimes(t)); });
    if (load.pacedAlone) {
        // Named, and given a moment before their first frame, so that a
        // tracer finds them and sees every call (bench/compare/trace_paced.sh).
        constexpr auto kTracerLead = std::chrono::milliseconds(500);
        pacers.emplace_back([&] {
            pthread_setname_np(pthread_self(), "paced-session");
            std::this_thread::sleep_for(kTracerLead);
            pace(load, client, sessions, {0}, alone);
        });
        pacers.emplace_back([&] {
            pthread_setname_np(pthread_self(), "paced-plain");
            std::this_thread::sleep_for(kTracerLead);
            paceAPlainHandOff(load, plain);
        });
    }
    for (auto& pacer : pacers) pacer.join();
    for (int t = 1; t < threads; ++t) sessions.pacerTimes(0).merge(sessions.pacerTimes(t));
    figures.pacers = sessions.pacerTimes(0).figures();
    figures.alone = alone.figures();
    figures.plain = plain.figures();
}

} // namespace

void runWorkload(const Workload& load, LoadClient& client, Sessions& sessions,
                 const std::function<void()>& whileStreaming, RunFigures& figures) {
    // Speakers arrive and leave one by one, not all in the same instant.
    auto paced = [&](const std::function<void(int)>& each) {
        auto next = Clock::now();
        for (int session = 0; session < load.sessions; ++session) {
            each(session);
            next += std::chrono::microseconds(load.arrivalUs);
            std::this_thread::sleep_until(next);
        }
    };
    paced([&](int session) {
        sessions[session].startCalled = Clock::now();
        client.start(session);
    });
    if (!sessions.waitStarted(std::chrono::seconds(60)))
        std::fprintf(stderr, "only %d of %d sessions answered their start\n", sessions.startedCount(), load.sessions);
    std::thread probe([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(load.seconds * 500)); // halfway
        whileStreaming();
    });
    stream(load, client, sessions, figures);
    probe.join();
    paced([&](int session) {
        sessions[session].stopCalled = Clock::now();
        client.stop(session);
    });
    if (!sessions.waitEnded(std::chrono::seconds(60)))
        std::fprintf(stderr, "only %d of %d sessions ended\n", sessions.endedCount(), load.sessions);

    std::vector<std::int64_t> starts, texts, toServer, back, fromDue, stops;
    for (int session = 0; session < load.sessions; ++session) {
        SessionRecord& record = sessions[session];
        if (record.startUs >= 0) starts.push_back(record.startUs);
        if (record.stopUs >= 0) stops.push_back(record.stopUs);
        for (const TextTimes& t : record.texts) {
            texts.push_back(t.fromHandOff);
            toServer.push_back(t.toServer);
            back.push_back(t.back);
            fromDue.push_back(t.fromDue);
        }
        figures.bytesSent += record.bytesSent;
        figures.bytesConfirmed += std::max<std::int64_t>(0, record.bytesConfirmed);
        figures.sessionsOk += record.ok && record.bytesConfirmed == record.bytesSent;
    }
    figures.texts = static_cast<std::int64_t>(texts.size());
    percentiles(starts, figures.startP50, figures.startP99);
    percentiles(texts, figures.textP50, figures.textP99);
    percentiles(toServer, figures.toServerP50, figures.toServerP99);
    percentiles(back, figures.backP50, figures.backP99);
    percentiles(fromDue, figures.fromDueP50, figures.fromDueP99);
    percentiles(stops, figures.stopP50, figures.stopP99);
}

} // namespace quorvex::bench
