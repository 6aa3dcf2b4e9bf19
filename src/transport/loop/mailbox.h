// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_LOOP_MAILBOX_H
#define QUORVEX_TRANSPORT_LOOP_MAILBOX_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "transport/loop/ready_stack.h"

class CWSSConn;
struct lws_context;
struct uv_loop_s;
struct uv_timer_s;

namespace quorvex::transport::detail {

// The one way other threads reach a loop: commands, and a list of
// connections with something to write. A writer lists its connection without
// a lock (ReadyStack) and makes at most one system call, the wake-up, and
// none while one is already on its way. Commands take a lock for a push onto
// a vector, the loop takes it for a swap: no thread ever waits on one for
// I/O, and writers never take it. The wake-up is libwebsockets' own
// lws_cancel_service where it wakes a libuv loop (Linux), else libuv's
// uv_async_t (Windows). Listings and commands each coalesce their wake-ups
// with a flag of their own.
//
// While connections are listed the loop watches the list instead: it keeps
// the listing flag set, so writers make no system call at all, and looks
// every kWatchTickMs on its own. A wake-up costs the writer a system call
// that wakes another thread (tens of microseconds on a virtual machine);
// a streaming writer lists every few milliseconds, so the loop would be
// woken anyway. It stops watching once nothing was listed for idleMs: it
// clears the flag (an exchange, so it acquires every listing made while the
// flag stood) and takes what is listed once more; whatever comes later
// finds the flag clear and wakes it. Commands always wake the loop, and
// run only on a wake-up: inside libwebsockets' service on Linux, where
// connects and closes have always run.
class Mailbox {
public:
    using Command = std::function<void()>;
    static constexpr std::uint64_t kWatchTickMs = 1;

    // Loop: from here on senders may wake it. Where the wake-up is libuv's,
    // onWake runs on the loop for each (coalesced) one; otherwise the loop
    // calls it on LWS_CALLBACK_EVENT_WAIT_CANCELLED. onTick runs on each of
    // the watch's ticks; idleMs 0: never watch. False if libuv refused.
    bool open(uv_loop_s* loop, lws_context* context, std::function<void()> onWake, std::function<void()> onTick,
              std::uint64_t idleMs);
    // Loop, at shutdown: no more wake-ups; the handle closes on the loop's
    // next passes. False when a sender stalled inside one for longer than the
    // deadline: the handle and the loop must then not be freed.
    bool close(const std::string& moduleName);
    bool alive() const { return alive_.load(); }

    // Any thread. False when the loop no longer runs.
    bool post(Command command);
    // Any thread, without a lock: the entry's connection is written on the
    // loop's next passes. False when the loop no longer runs.
    bool flushSoon(ReadyEntry& entry);
    // Any thread: a wake-up for the commands (or a stop), coalesced; the loop
    // clears the flag before it takes them, so whatever is posted after
    // that wakes it again.
    void wake();

    // Loop, first on a wake-up: whatever is posted, or listed unless the
    // loop watches, from here on wakes it again. Read-modify-writes, so that
    // they acquire what every sender that found a flag set (and so made no
    // wake-up) had listed or posted before: the senders' exchanges are in
    // their release sequence.
    void clearWake();
    // Loop, on a wake-up, in this order: the ready list (appended to ready,
    // whose capacity is kept), then the commands, one batch. Also on a tick
    // and before a connection object is freed or detached: its entry leaves
    // the list.
    void takeReady(std::vector<CWSSConn*>& ready);
    std::vector<Command> takeCommands();
    void dropReady();
    // Loop: whether a wake-up for commands is on its way.
    bool commandsComing() const { return commandWakePending_.load(std::memory_order_acquire); }
    // Loop: one more pass soon, whether or not writers list meanwhile.
    void wakeAgain();
    // Any thread: whether the loop watches the list now (the loop paces its
    // rounds only then; tests look at it too).
    bool watching() const { return watchingSeen_.load(std::memory_order_relaxed); }

    struct Door; // the wake-up: the context, or libuv's async handle and what it calls

private:
    void sendWakeUp();
    bool wakeUpOverdue() const;
    void watch();
    void stopWatching();
    static void onTick(uv_timer_s* timer);

    std::mutex commandsLock_; // guards commands_; alive_ changes under it
    std::vector<Command> commands_;
    ReadyStack<> ready_;
    Door* door_ = nullptr; // made before alive_, sent to only while alive_; freed once closed
    std::atomic<bool> alive_{false};
    std::atomic<bool> wakePending_{false};        // for listings
    std::atomic<bool> commandWakePending_{false}; // for commands and stops
    std::atomic<int> wakers_{0};                  // senders inside a wake-up or a listing
    // The watch, loop-only: while on, wakePending_ stays set and the tick takes the list.
    uv_loop_s* loop_ = nullptr;
    std::uint64_t idleMs_ = 0;
    bool watching_ = false;
    std::uint64_t lastListedMs_ = 0;
    std::atomic<bool> watchingSeen_{false}; // mirrors watching_ for other threads
};

} // namespace quorvex::transport::detail

#endif
