#ifndef QUORVEX_TRANSPORT_DETAIL_RESOLVER_H
#define QUORVEX_TRANSPORT_DETAIL_RESOLVER_H

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace quorvex::transport::detail {

// Looks host names up off the event loop: libwebsockets resolves on the
// loop thread and would stall every other connection while it waits.
class Resolver {
public:
    // Receives a numeric address, or an empty string when the name is unknown.
    using Done = std::function<void(const std::string& address)>;

    Resolver() = default;
    ~Resolver();
    Resolver(const Resolver&) = delete;
    Resolver& operator=(const Resolver&) = delete;

    void resolve(const std::string& host, Done done); // any thread
    void stop(); // drops lookups not started; waits for the running one

private:
    struct Job {
        std::string host;
        Done done;
    };
    void run();

    std::mutex lock_; // guards jobs_, stopping_, worker_
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    bool stopping_ = false;
    std::thread worker_; // started with the first lookup
};

std::string lookUpHost(const std::string& host);

} // namespace quorvex::transport::detail

#endif
