#include "resolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <signal.h>
#include <sys/socket.h>

#include <cstring>
#include <mutex>

namespace quorvex::transport::detail {

struct Resolver::Shared {
    std::mutex lock; // guards stopped; held while a result is handed over
    bool stopped = false;
};

namespace {

// One request, alive from getaddrinfo_a until its notification has run.
struct Lookup {
    gaicb request{};
    addrinfo hints{};
    sigevent notify{};
    std::string host;
    Resolver::Done done;
    std::shared_ptr<Resolver::Shared> shared;
};

std::string firstAddress(const addrinfo* found) {
    if (!found) return {};
    char text[INET6_ADDRSTRLEN] = {};
    const void* raw = found->ai_family == AF_INET6
                          ? static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(found->ai_addr)->sin6_addr)
                          : static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr);
    return inet_ntop(found->ai_family, raw, text, sizeof text) ? std::string(text) : std::string();
}

void onLookupDone(sigval value) {
    std::unique_ptr<Lookup> lookup(static_cast<Lookup*>(value.sival_ptr));
    addrinfo* found = gai_error(&lookup->request) == 0 ? lookup->request.ar_result : nullptr;
    std::string address = firstAddress(found);
    if (found) freeaddrinfo(found);
    std::lock_guard<std::mutex> guard(lookup->shared->lock);
    if (!lookup->shared->stopped) lookup->done(address);
}

} // namespace

Resolver::Resolver() : shared_(std::make_shared<Shared>()) {}

Resolver::~Resolver() { stop(); }

void Resolver::resolve(const std::string& host, Done done) {
    auto lookup = std::make_unique<Lookup>();
    lookup->host = host;
    lookup->done = std::move(done);
    lookup->shared = shared_;
    lookup->hints.ai_family = AF_UNSPEC;
    lookup->hints.ai_socktype = SOCK_STREAM;
    lookup->request.ar_name = lookup->host.c_str();
    lookup->request.ar_request = &lookup->hints;
    lookup->notify.sigev_notify = SIGEV_THREAD;
    lookup->notify.sigev_notify_function = &onLookupDone;
    lookup->notify.sigev_value.sival_ptr = lookup.get();
    gaicb* list[] = {&lookup->request};
    {
        std::lock_guard<std::mutex> guard(shared_->lock);
        if (shared_->stopped) return;
    }
    if (getaddrinfo_a(GAI_NOWAIT, list, 1, &lookup->notify) != 0) {
        lookup->done(std::string()); // could not even be queued: report it as unknown
        return;
    }
    lookup.release(); // the notification owns it now
}

void Resolver::stop() {
    std::lock_guard<std::mutex> guard(shared_->lock);
    shared_->stopped = true;
}

} // namespace quorvex::transport::detail
