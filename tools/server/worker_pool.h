// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TOOLS_SERVER_WORKER_POOL_H
#define QUORVEX_TOOLS_SERVER_WORKER_POOL_H

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace quorvex::server {

// Threads that run recognition off the event loop. Work is posted to
// strands: one strand's tasks run one at a time and in order, different
// strands in parallel.
class WorkerPool {
public:
    class Strand : public std::enable_shared_from_this<Strand> {
    public:
        void post(std::function<void()> task); // any thread
        // Any thread: drops the tasks not yet started (the running one ends as it will).
        void dropQueued();

    private:
        friend class WorkerPool;
        explicit Strand(WorkerPool& pool) : pool_(pool) {}
        WorkerPool& pool_;
        std::mutex lock_; // guards tasks_ and scheduled_
        std::deque<std::function<void()>> tasks_;
        bool scheduled_ = false;
    };

    explicit WorkerPool(unsigned int threads);
    ~WorkerPool(); // runs what is queued, then joins: drop a gone session's work first
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    std::shared_ptr<Strand> makeStrand();

private:
    void schedule(std::shared_ptr<Strand> strand);
    void run();
    void runSome(const std::shared_ptr<Strand>& strand);

    std::mutex lock_; // guards ready_ and stopping_
    std::condition_variable wake_;
    std::deque<std::shared_ptr<Strand>> ready_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

} // namespace quorvex::server

#endif
