// SPDX-License-Identifier: Apache-2.0
#include "transport/loop/mailbox.h"

#include <libwebsockets.h>
#include <uv.h>

#include "platform/system.h"

#include <chrono>
#include <memory>
#include <thread>

namespace quorvex::transport::detail {

struct Mailbox::Door {
    lws_context* context = nullptr;
    bool libuv = false; // async is open
    uv_async_t async{};
    std::function<void()> onWake, onTick;
    Mailbox* mailbox = nullptr;
    // After every poll: a wake-up pending through two passes in a row was
    // claimed by a sender that has not made it yet (descheduled right
    // there); the loop takes what is listed and posted without it.
    uv_check_t check{};
    int pendingPasses = 0;
    uv_timer_t tick{}; // the watch's
    int handlesOpen = 0; // freed when the last one has closed
};

namespace {
void closeDoorHandle(uv_handle_t* handle) {
    uv_close(handle, [](uv_handle_t* closed) {
        auto* door = static_cast<Mailbox::Door*>(closed->data);
        if (--door->handlesOpen == 0) delete door;
    });
}
} // namespace

bool Mailbox::open(uv_loop_s* loop, lws_context* context, std::function<void()> onWake, std::function<void()> onTick,
                   std::uint64_t idleMs) {
    auto door = std::make_unique<Door>();
    door->context = context;
    door->onWake = std::move(onWake);
    door->onTick = std::move(onTick);
    door->mailbox = this;
    door->libuv = !platform::kLwsCancelWakesLibuvLoop;
    door->async.data = door->check.data = door->tick.data = door.get();
    loop_ = loop;
    idleMs_ = idleMs;
    if (uv_check_init(loop, &door->check) != 0) return false;
    ++door->handlesOpen;
    uv_timer_init(loop, &door->tick); // cannot fail
    ++door->handlesOpen;
    if (door->libuv &&
        uv_async_init(loop, &door->async, [](uv_async_t* async) { static_cast<Door*>(async->data)->onWake(); }) != 0) {
        auto* unused = door.release();
        closeDoorHandle(reinterpret_cast<uv_handle_t*>(&unused->tick));
        closeDoorHandle(reinterpret_cast<uv_handle_t*>(&unused->check));
        return false;
    }
    if (door->libuv) ++door->handlesOpen;
    uv_check_start(&door->check, [](uv_check_t* check) {
        auto* door = static_cast<Door*>(check->data);
        if (!door->mailbox->wakeUpOverdue()) {
            door->pendingPasses = 0;
        } else if (++door->pendingPasses >= 2) {
            door->pendingPasses = 0;
            door->onWake();
        }
    });
    uv_unref(reinterpret_cast<uv_handle_t*>(&door->check)); // it keeps no loop running
    door_ = door.release();
    std::lock_guard<std::mutex> guard(commandsLock_);
    alive_ = true;
    return true;
}

// A sender that passed the alive check may still be inside uv_async_send:
// the handle may not close before it is out. It is out within instructions
// unless it was descheduled right there.
bool Mailbox::close(const std::string& moduleName) {
    constexpr auto kDeadline = std::chrono::seconds(2);
    uv_check_stop(&door_->check);
    stopWatching();
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
    if (door_->libuv) closeDoorHandle(reinterpret_cast<uv_handle_t*>(&door_->async));
    closeDoorHandle(reinterpret_cast<uv_handle_t*>(&door_->check));
    closeDoorHandle(reinterpret_cast<uv_handle_t*>(&door_->tick));
    door_ = nullptr;
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

// Counted in for the push too: close waits for a writer that found the
// mailbox open, so what it lists is dropped with the rest and never stays
// listed for a loop that is gone.
bool Mailbox::flushSoon(ReadyEntry& entry) {
    wakers_.fetch_add(1);
    bool open = alive_.load();
    if (open) {
        ready_.push(entry);
        if (!wakePending_.exchange(true)) sendWakeUp();
    }
    wakers_.fetch_sub(1);
    return open;
}

void Mailbox::wake() {
    if (commandWakePending_.exchange(true)) return;
    wakers_.fetch_add(1);
    sendWakeUp();
    wakers_.fetch_sub(1);
}

// Coalesced by the flags: a sender that finds a wake-up pending makes no
// call at all (libwebsockets' cancel writes to its event pipe on every call).
void Mailbox::sendWakeUp() {
    if (!alive_.load()) return;
    if (door_->libuv)
        uv_async_send(&door_->async);
    else
        lws_cancel_service(door_->context);
}

bool Mailbox::wakeUpOverdue() const {
    return commandWakePending_.load(std::memory_order_relaxed) ||
           (!watching_ && wakePending_.load(std::memory_order_relaxed));
}

void Mailbox::clearWake() {
    commandWakePending_.exchange(false, std::memory_order_acq_rel);
    if (!watching_) wakePending_.exchange(false, std::memory_order_acq_rel);
}

void Mailbox::takeReady(std::vector<CWSSConn*>& ready) {
    auto before = ready.size();
    ready_.takeAll(ready);
    if (ready.size() == before || idleMs_ == 0 || !alive_.load()) return; // no watch once closed
    lastListedMs_ = uv_now(loop_);
    if (!watching_) watch();
}

// While watching, the listing flag stays set, so the loop sends itself the
// wake-up: the next slice comes on the next pass, after the sockets are
// read, not on the next tick. Otherwise writers that list meanwhile find
// the flag set and their wake-up serves.
void Mailbox::wakeAgain() {
    if (watching_ || !wakePending_.exchange(true)) sendWakeUp();
}

// The flag is set from here on: writers that find it so make no call. It
// may already stand for a wake-up on its way, which then finds the watch.
// An exchange, not a store: a store would end the release sequence that the
// last clear acquires from writers that found the flag set.
void Mailbox::watch() {
    watching_ = true;
    watchingSeen_.store(true, std::memory_order_relaxed);
    wakePending_.exchange(true, std::memory_order_acq_rel);
    uv_timer_start(&door_->tick, &Mailbox::onTick, kWatchTickMs, kWatchTickMs);
}

void Mailbox::stopWatching() {
    if (!watching_) return;
    uv_timer_stop(&door_->tick);
    watching_ = false;
    watchingSeen_.store(false, std::memory_order_relaxed);
}

// The last tick of a watch clears the flag before it takes the list, as a
// wake-up does: what was listed while the flag stood is taken now, and what
// is listed after finds it clear.
void Mailbox::onTick(uv_timer_s* timer) {
    auto* door = static_cast<Door*>(timer->data);
    Mailbox& box = *door->mailbox;
    if (uv_now(box.loop_) - box.lastListedMs_ >= box.idleMs_) {
        box.stopWatching();
        box.wakePending_.exchange(false, std::memory_order_acq_rel);
    }
    door->onTick();
}

std::vector<Mailbox::Command> Mailbox::takeCommands() {
    std::vector<Command> batch;
    std::lock_guard<std::mutex> guard(commandsLock_);
    batch.swap(commands_);
    return batch;
}

// The entries are unlisted, so that their connections can be listed again
// on another loop.
void Mailbox::dropReady() {
    std::vector<CWSSConn*> dropped;
    ready_.takeAll(dropped);
}

} // namespace quorvex::transport::detail
