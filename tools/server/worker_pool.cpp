// SPDX-License-Identifier: Apache-2.0
#include "worker_pool.h"

#include <cstdio>
#include <exception>

namespace quorvex::server {

namespace {
constexpr int kTasksPerTurn = 16; // then the strand yields, so busy sessions share the workers
}

WorkerPool::WorkerPool(unsigned int threads) {
    for (unsigned int i = 0; i < (threads ? threads : 1); ++i) threads_.emplace_back([this] { run(); });
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (auto& thread : threads_) thread.join();
}

std::shared_ptr<WorkerPool::Strand> WorkerPool::makeStrand() { return std::shared_ptr<Strand>(new Strand(*this)); }

void WorkerPool::Strand::post(std::function<void()> task) {
    bool first = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        tasks_.push_back(std::move(task));
        first = !scheduled_;
        scheduled_ = true;
    }
    // Only this call made it scheduled, so only this call hands it to the pool.
    if (first) pool_.schedule(shared_from_this());
}

void WorkerPool::Strand::dropQueued() {
    std::deque<std::function<void()>> dropped;
    std::lock_guard<std::mutex> guard(lock_);
    dropped.swap(tasks_); // a scheduled strand finds nothing and unschedules itself
}

void WorkerPool::schedule(std::shared_ptr<Strand> strand) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        ready_.push_back(std::move(strand));
    }
    wake_.notify_one();
}

void WorkerPool::run() {
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
        wake_.wait(guard, [this] { return stopping_ || !ready_.empty(); });
        if (ready_.empty()) return; // stopping, and nothing left to run
        auto strand = std::move(ready_.front());
        ready_.pop_front();
        guard.unlock();
        runSome(strand);
        guard.lock();
    }
}

void WorkerPool::runSome(const std::shared_ptr<Strand>& strand) {
    for (int done = 0; done < kTasksPerTurn; ++done) {
        std::function<void()> task;
        {
            std::lock_guard<std::mutex> guard(strand->lock_);
            if (strand->tasks_.empty()) {
                strand->scheduled_ = false;
                return;
            }
            task = std::move(strand->tasks_.front());
            strand->tasks_.pop_front();
        }
        try {
            task();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "quorvex-server: task failed: %s\n", e.what());
        }
    }
    schedule(strand); // more waiting: back of the line
}

} // namespace quorvex::server
