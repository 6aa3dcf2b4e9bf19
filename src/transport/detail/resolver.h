#ifndef QUORVEX_TRANSPORT_DETAIL_RESOLVER_H
#define QUORVEX_TRANSPORT_DETAIL_RESOLVER_H

#include <functional>
#include <memory>
#include <string>

namespace quorvex::transport::detail {

// Looks host names up off the event loop (libwebsockets would resolve on the
// loop thread and stall every other connection). Each lookup is one of
// glibc's asynchronous getaddrinfo_a requests: lookups never queue behind
// each other, and no thread of ours waits for one.
class Resolver {
public:
    // Receives a numeric address, or an empty string when the name is
    // unknown. Runs on a thread of glibc's, never after stop() has returned.
    using Done = std::function<void(const std::string& address)>;

    Resolver();
    ~Resolver();
    Resolver(const Resolver&) = delete;
    Resolver& operator=(const Resolver&) = delete;

    void resolve(const std::string& host, Done done); // any thread
    // Any thread; returns at once. Lookups still running finish on glibc's
    // threads, and their results are dropped.
    void stop();

    struct Shared;

private:
    std::shared_ptr<Shared> shared_;
};

} // namespace quorvex::transport::detail

#endif
