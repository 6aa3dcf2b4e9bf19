#ifndef QUORVEX_TRANSPORT_DETAIL_EVENT_LOOP_H
#define QUORVEX_TRANSPORT_DETAIL_EVENT_LOOP_H

#include <libwebsockets.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client_connector.h"
#include "connections.h"
#include "liveness.h"
#include "send_path.h"
#include "server_side.h"
#include "timer_set.h"

class CWSSContext;
class CWSSConn;
struct tagWSSvrConfig;
struct uv_loop_s;

namespace quorvex::transport::detail {

// The event loop of one CWSSContext: the libwebsockets context, the thread
// that services it, and the command queue other threads use to reach it.
// The loop's pieces (timers, connections, client attempts, the server side,
// the send path) live in their own files and run on this thread.
class EventLoop {
public:
    using Command = std::function<void()>;
    static constexpr const char* kProtocolName = "quorvex-ws";
    static constexpr unsigned int kClientFrameBufferBytes = 512;

    explicit EventLoop(CWSSContext* owner);
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // A null factory makes a client-only context that listens nowhere.
    bool start(const tagWSSvrConfig& config, unsigned int rxBufferSize, unsigned int txFragmentSize,
               ServerSide::ConnFactory factory = nullptr, const tagWSSLimits& acceptedLimits = tagWSSLimits());
    void stop(); // any thread but the loop's; joins it
    bool onLoopThread() const { return loopThread_.load() == std::this_thread::get_id(); }
    // Any thread: the loop runs its commands and flushes soon. At most one
    // system call, and none while a wake-up is already on its way.
    void wake();
    // Any thread: the connection's queue is written on the loop's next pass.
    // No allocation once the list has grown to the connections in use.
    // False when the loop no longer runs.
    bool flushSoon(CWSSConn* conn);

    // Any thread. False when the loop no longer runs commands.
    bool post(Command command);
    // Any thread; runs the command on the loop and returns when it has run
    // (at once when called on the loop thread).
    void runOnLoop(const Command& command);

    TimerSet& timers() { return timers_; }
    Connections& connections() { return connections_; }
    ClientConnector& connector() { return connector_; }
    ServerSide& server() { return server_; }
    SendPath& sendPath() { return sendPath_; }
    int listenPort() const { return server_.port(); }

    CWSSContext* owner() const { return owner_; }
    lws_context* lwsContext() const { return context_; } // loop; null once destroyed
    const std::string& moduleName() const { return moduleName_; }

private:
    static int callback(lws* wsi, lws_callback_reasons reason, void* user, void* in, std::size_t len);
    int onConnectionEvent(ConnLink* link, lws* wsi, lws_callback_reasons reason, void* in, std::size_t len);
    void onWsiDestroyed(ConnLink* link);

    void run(const tagWSSvrConfig& config, const std::function<void(bool)>& ready);
    bool createLwsContext(const tagWSSvrConfig& config);
    void shutDown();
    void closeEvents();
    void destroyLwsContext();
    void runUntilIdle();
    void onWake();
    void drainCommands();
    void waitForWakers();

    CWSSContext* owner_;
    std::string moduleName_;
    std::vector<lws_protocols> protocols_;
    unsigned int readBufferBytes_ = 4096;
    lws_context* context_ = nullptr;
    // libuv (epoll) under libwebsockets: a pass costs what is ready, not a
    // poll() over every socket.
    std::unique_ptr<uv_loop_s> events_;
    std::thread thread_;
    std::atomic<std::thread::id> loopThread_{};
    std::atomic<bool> stopRequested_{false};

    // Application threads hold these locks for a few instructions (a push
    // onto a vector) and the loop for a swap: nobody waits on them for I/O.
    std::mutex queueLock_; // guards commands_; alive_ changes under it
    std::vector<Command> commands_;
    std::mutex readyLock_; // guards ready_
    std::vector<CWSSConn*> ready_;      // connections with something to write
    std::vector<CWSSConn*> readySpare_; // loop: the list being flushed, kept for its capacity
    std::atomic<bool> alive_{false};    // the libwebsockets context may be woken
    std::atomic<bool> wakePending_{false};
    std::atomic<int> wakers_{0}; // threads inside lws_cancel_service

    TimerSet timers_;
    Connections connections_;
    ClientConnector connector_;
    ServerSide server_;
    SendPath sendPath_;
    Liveness liveness_;
};

} // namespace quorvex::transport::detail

#endif
