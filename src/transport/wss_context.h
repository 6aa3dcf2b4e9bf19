// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_WSS_CONTEXT_H
#define QUORVEX_TRANSPORT_WSS_CONTEXT_H

#include <functional>
#include <memory>
#include <set>
#include <string>

#include "quorvex/export.h"
#include "wss_limits.h"

struct lws_context;
class CWSSConn;
struct tagWSSvrConfig;

// One libwebsockets context with its own event-loop thread. Every connection
// event and every timer callback of the context runs on that thread.
class QUORVEX_API CWSSContext {
public:
    CWSSContext();
    ~CWSSContext();
    CWSSContext(const CWSSContext&) = delete;
    CWSSContext& operator=(const CWSSContext&) = delete;

    void init(lws_context* ctx);
    lws_context* getContext();
    std::set<void*>& getAll(); // live connections; loop thread only
    unsigned int getTaskId();
    void setTaskId(unsigned int id);

    // Any thread. Returns a handle at once; the callback runs on the loop
    // thread after intervalMs (0: on the loop's next pass) and again every
    // intervalMs while it returns true. Null if the loop is not running.
    void* addTimer(std::function<bool(void*)> callback, unsigned int intervalMs);
    // Any thread; harmless on a timer that has already run or was deleted.
    void delTimer(void* handle);

    // Makes the connection for an accepted WebSocket upgrade or HTTP
    // connection from its request path; null refuses it. The context owns
    // what it returns and deletes it on the loop thread after onClose (or
    // onHttpClose): other threads may use it only until then.
    using ConnFactory = std::function<CWSSConn*(const std::string& path)>;

    // A listening context: binds config.bindInterface (empty: every address)
    // and config.listenPort (0: an ephemeral port, see listenPort()), serves
    // WebSocket upgrades and plain HTTP requests on it. TLS when
    // config.certFile and config.keyFile are set. Accepted connections get
    // the limits given (idle pings, send queue, incoming message size).
    bool startServer(const tagWSSvrConfig& config, ConnFactory factory, unsigned int rxBufferSize = 4096,
                     unsigned int txFragmentSize = 4096, const tagWSSLimits& limits = tagWSSLimits());
    int listenPort() const;

    // Component use.
    bool start(const tagWSSvrConfig& config, unsigned int rxBufferSize, unsigned int txFragmentSize);
    void stop(); // stops and joins the loop thread; not from the loop thread
    bool isLoopThread() const;
    // The transport behind the context; opaque outside the library.
    struct Loop;
    const std::shared_ptr<Loop>& loop() const { return loop_; }

private:
    lws_context* lwsContext;
    std::set<void*> allSet;
    std::shared_ptr<Loop> loop_;
    unsigned int taskId;
};

#endif
