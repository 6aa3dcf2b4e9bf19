// SPDX-License-Identifier: Apache-2.0
#include "transport/loop/mailbox.h"

#include <libwebsockets.h>

#include <chrono>
#include <thread>

namespace quorvex::transport::detail {

void Mailbox::open(lws_context* context) {
    std::lock_guard<std::mutex> guard(commandsLock_);
    context_ = context;
    alive_ = true;
}

// A sender that passed the alive check may still be inside
// lws_cancel_service: the context may not go before it is out. It is out
// within instructions unless it was descheduled right there.
bool Mailbox::close(const std::string& moduleName) {
    constexpr auto kDeadline = std::chrono::seconds(2);
    {
        std::lock_guard<std::mutex> guard(commandsLock_);
        alive_ = false;
    }
    auto until = std::chrono::steady_clock::now() + kDeadline;
    while (wakers_.load() != 0) {
        if (std::chrono::steady_clock::now() >= until) {
            lwsl_err("%s: a thread stalled inside a wake-up; the context is left allocated\n", moduleName.c_str());
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

bool Mailbox::post(Command command) {
    {
        std::lock_guard<std::mutex> guard(commandsLock_);
        if (!alive_) return false;
        commands_.push_back(std::move(command));
    }
    wake();
    return true;
}

bool Mailbox::flushSoon(CWSSConn* conn) {
    {
        std::lock_guard<std::mutex> guard(readyLock_);
        if (!alive_) return false;
        ready_.push_back(conn);
    }
    wake();
    return true;
}

// libwebsockets' cancel writes to its event pipe on every call: coalesced here.
void Mailbox::wake() {
    if (wakePending_.exchange(true)) return;
    wakers_.fetch_add(1);
    if (alive_.load()) lws_cancel_service(context_);
    wakers_.fetch_sub(1);
}

void Mailbox::takeReady(std::vector<CWSSConn*>& ready) {
    ready.clear();
    std::lock_guard<std::mutex> guard(readyLock_);
    ready.swap(ready_);
}

std::vector<Mailbox::Command> Mailbox::takeCommands() {
    std::vector<Command> batch;
    std::lock_guard<std::mutex> guard(commandsLock_);
    batch.swap(commands_);
    return batch;
}

void Mailbox::dropReady() {
    std::lock_guard<std::mutex> guard(readyLock_);
    ready_.clear();
}

} // namespace quorvex::transport::detail
