#ifndef QUORVEX_TRANSPORT_DETAIL_EVENT_LOOP_H
#define QUORVEX_TRANSPORT_DETAIL_EVENT_LOOP_H

#include <libwebsockets.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "resolver.h"
#include "url.h"
#include "ws_frame.h"

class CWSSConn;
class CWSSClient;
class CWSSContext;
struct tagWSSvrConfig;

namespace quorvex::transport::detail {

// The libwebsockets side of one connection. Owned by the loop; outlives the
// CWSSConn's interest in it (conn is cleared when the owner detaches).
struct ConnLink {
    enum class Phase { Connecting, Open, Done };
    CWSSConn* conn = nullptr;
    bool client = false; // opened by a CWSSClient, which owns conn
    bool http = false;   // a plain HTTP connection accepted by a server context
    std::uint64_t attempt = 0;
    Phase phase = Phase::Connecting;
    lws* wsi = nullptr;
    std::string rx; // message being reassembled
    bool rxBinary = false;
    bool rxDiscarding = false; // over the size limit: drop until the final fragment
};

struct Timer;
class SendQueue;

// The event loop of one CWSSContext: libwebsockets context, its thread, the
// command queue other threads use to reach it, timers and connections.
// Functions marked "loop" run on the loop thread only.
class EventLoop {
public:
    using Command = std::function<void()>;
    // Makes the connection object for an accepted WebSocket upgrade or HTTP
    // connection, given the request path; null refuses it. The loop owns and
    // deletes what it returns, after onClose / onHttpClose.
    using ConnFactory = std::function<CWSSConn*(const std::string& path)>;
    static constexpr std::size_t kMaxMessageBytes = 64u << 20;

    explicit EventLoop(CWSSContext* owner);
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // A null factory makes a client-only context that listens nowhere.
    bool start(const tagWSSvrConfig& config, unsigned int rxBufferSize, unsigned int txFragmentSize,
               ConnFactory factory = nullptr);
    int listenPort() const { return listenPort_.load(); }
    void stop();
    bool onLoopThread() const { return loopThread_.load() == std::this_thread::get_id(); }

    // Any thread. False when the loop no longer runs commands.
    bool post(Command command);
    // Any thread; runs the command on the loop and returns when it has run
    // (at once when called on the loop thread).
    void runOnLoop(const Command& command);

    void* addTimer(std::function<bool(void*)> callback, unsigned int intervalMs);
    void delTimer(void* handle);

    // Called by the connection classes.
    bool beginConnect(CWSSClient* client, WsUrl url);     // any thread
    void requestFlush(CWSSConn* conn);                    // any thread
    void requestClose(CWSSConn* conn, lws* wsi);          // any thread
    void detach(CWSSConn* conn);                          // any thread, synchronous

private:
    static int callback(lws* wsi, lws_callback_reasons reason, void* user, void* in, std::size_t len);
    static void onTimerDue(lws_sorted_usec_list_t* sul);

    void run(const tagWSSvrConfig& config, std::function<void(bool)> ready);
    bool createLwsContext(const tagWSSvrConfig& config);
    bool createListener(const tagWSSvrConfig& config, lws_context_creation_info& info);
    void shutDown();
    void drainCommands(); // loop

    // loop: timers
    void armTimer(std::uint64_t id);
    void fireTimer(Timer* timer);
    void cancelTimer(std::uint64_t id);

    // loop: connection life
    bool attached(CWSSConn* conn) const;
    void attach(CWSSConn* conn);
    void startAttempt(CWSSClient* client, std::uint64_t attempt, const WsUrl& url);
    void openAttempt(CWSSClient* client, std::uint64_t attempt, const WsUrl& url, const std::string& address);
    void failAttempt(CWSSClient* client, std::uint64_t attempt, const char* why);
    void failUnresolvedAttempts();
    void settleOpen(ConnLink* link, lws* wsi);
    void settleFailure(ConnLink* link, const char* why);
    void settleClose(ConnLink* link);
    void releaseServerConn(ConnLink* link);

    // loop: server side
    int acceptUpgrade(lws* wsi);
    int onHttpRequest(lws* wsi, void* user, const char* uri, std::size_t len);
    int onHttpBodyDone(ConnLink* link);
    int answerRequest(lws* wsi, ConnLink* link, bool handled);
    void onHttpClosed(ConnLink* link);
    void flushNow(CWSSConn* conn);
    void detachNow(CWSSConn* conn);
    ConnLink* findLink(void* user) const;
    void forgetLink(ConnLink* link);

    // loop: traffic
    int onReceive(ConnLink* link, const void* in, std::size_t len);
    int onWritable(ConnLink* link);
    bool writeBatch(ConnLink* link, SendQueue& queue);
    bool writeFragment(ConnLink* link, SendQueue& queue);
    void deliver(ConnLink* link);

    CWSSContext* owner_;
    ConnFactory factory_;
    std::atomic<int> listenPort_{0};
    std::string moduleName_;
    unsigned int txFragmentSize_ = 4096;
    std::vector<lws_protocols> protocols_;
    lws_context* context_ = nullptr; // loop; null once destroyed
    std::thread thread_;
    std::atomic<std::thread::id> loopThread_{};
    std::atomic<bool> stopRequested_{false};

    std::mutex queueLock_; // guards commands_ and alive_
    std::vector<Command> commands_;
    bool alive_ = false; // lws_cancel_service may be called

    std::atomic<std::uint64_t> nextTimerId_{1};
    std::unordered_map<std::uint64_t, std::unique_ptr<Timer>> timers_; // loop
    std::uint64_t firingTimer_ = 0;                                    // loop

    std::atomic<std::uint64_t> nextAttempt_{1};
    std::unordered_map<ConnLink*, std::unique_ptr<ConnLink>> links_; // loop
    Resolver resolver_;
    std::vector<unsigned char> batch_; // loop: frames of one raw write
    MaskKeys maskKeys_;                // loop
};

std::uint64_t nowMillis();

} // namespace quorvex::transport::detail

#endif
