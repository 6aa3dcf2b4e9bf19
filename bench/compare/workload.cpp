#include "workload.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace quorvex::bench {

std::int64_t microsSince(Clock::time_point then) {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - then).count();
}

Sessions::Sessions(const Workload& load) : records_(static_cast<std::size_t>(load.sessions)) {
    for (auto& record : records_) {
        record.frameSentUs = std::vector<std::atomic<std::int64_t>>(static_cast<std::size_t>(load.frames()) + 1);
        record.textUs.reserve(static_cast<std::size_t>(load.frames() / load.textEvery) + 1);
    }
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
    std::size_t count = std::strtoul(text.c_str() + 1, nullptr, 10);
    if (count >= record.frameSentUs.size()) return;
    std::int64_t now = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - epoch_).count();
    record.textUs.push_back(now - record.frameSentUs[count].load(std::memory_order_relaxed));
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

void Sessions::frameSent(int session, int count) {
    std::int64_t now = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - epoch_).count();
    (*this)[session].frameSentUs[static_cast<std::size_t>(count)].store(now, std::memory_order_relaxed);
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

namespace {

void percentiles(std::vector<std::int64_t> values, double& p50, double& p99) {
    if (values.empty()) return;
    std::sort(values.begin(), values.end());
    auto at = [&](double q) { return values[std::min(values.size() - 1, static_cast<std::size_t>(q * values.size()))]; };
    p50 = at(0.50) / 1000.0;
    p99 = at(0.99) / 1000.0;
}

// Each frame period is cut into slots; a session sends in its own slot.
constexpr int kSlots = 20;

void stream(const Workload& load, LoadClient& client, Sessions& sessions) {
    std::vector<unsigned char> pcm(static_cast<std::size_t>(load.frameBytes));
    for (std::size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<unsigned char>(i * 7);
    auto next = Clock::now();
    const auto slot = std::chrono::microseconds(load.frameMs * 1000 / kSlots);
    for (int count = 1; count <= load.frames(); ++count) {
        for (int s = 0; s < kSlots; ++s) {
            for (int session = s; session < load.sessions; session += kSlots) {
                if (sessions[session].startUs < 0) continue; // never started
                sessions.frameSent(session, count);
                client.sendFrame(session, pcm.data(), load.frameBytes);
                sessions[session].bytesSent += load.frameBytes;
            }
            next += slot;
            std::this_thread::sleep_until(next); // the speakers' pace
        }
    }
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
    stream(load, client, sessions);
    probe.join();
    paced([&](int session) {
        sessions[session].stopCalled = Clock::now();
        client.stop(session);
    });
    if (!sessions.waitEnded(std::chrono::seconds(60)))
        std::fprintf(stderr, "only %d of %d sessions ended\n", sessions.endedCount(), load.sessions);

    std::vector<std::int64_t> starts, texts, stops;
    for (int session = 0; session < load.sessions; ++session) {
        SessionRecord& record = sessions[session];
        if (record.startUs >= 0) starts.push_back(record.startUs);
        if (record.stopUs >= 0) stops.push_back(record.stopUs);
        texts.insert(texts.end(), record.textUs.begin(), record.textUs.end());
        figures.bytesSent += record.bytesSent;
        figures.bytesConfirmed += std::max<std::int64_t>(0, record.bytesConfirmed);
        figures.sessionsOk += record.ok && record.bytesConfirmed == record.bytesSent;
    }
    figures.texts = static_cast<std::int64_t>(texts.size());
    percentiles(starts, figures.startP50, figures.startP99);
    percentiles(texts, figures.textP50, figures.textP99);
    percentiles(stops, figures.stopP50, figures.stopP99);
}

} // namespace quorvex::bench
