#include "resolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

namespace quorvex::transport::detail {

std::string lookUpHost(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) return {};
    char text[INET6_ADDRSTRLEN] = {};
    const void* raw = found->ai_family == AF_INET6
                          ? static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(found->ai_addr)->sin6_addr)
                          : static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr);
    const char* ok = inet_ntop(found->ai_family, raw, text, sizeof text);
    freeaddrinfo(found);
    return ok ? std::string(text) : std::string();
}

Resolver::~Resolver() { stop(); }

void Resolver::resolve(const std::string& host, Done done) {
    std::lock_guard<std::mutex> guard(lock_);
    if (stopping_) return;
    jobs_.push_back(Job{host, std::move(done)});
    if (!worker_.joinable()) worker_ = std::thread([this] { run(); });
    wake_.notify_one();
}

void Resolver::stop() {
    std::thread worker;
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
        jobs_.clear();
        worker.swap(worker_);
    }
    wake_.notify_all();
    if (worker.joinable()) worker.join();
}

void Resolver::run() {
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
        wake_.wait(guard, [this] { return stopping_ || !jobs_.empty(); });
        if (stopping_) return;
        Job job = std::move(jobs_.front());
        jobs_.pop_front();
        guard.unlock();
        std::string address = lookUpHost(job.host);
        job.done(address);
        guard.lock();
    }
}

} // namespace quorvex::transport::detail
