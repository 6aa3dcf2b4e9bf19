// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_WSS_CLIENT_H
#define QUORVEX_TRANSPORT_WSS_CLIENT_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "quorvex/export.h"
#include "wss_conn.h"

class CWSSContext;
struct tagWSSvrConfig;

// A connection that opens client WebSockets, and that can create and own a
// context of its own.
class QUORVEX_API CWSSClient : public CWSSConn {
public:
    explicit CWSSClient(std::function<void(const char*, int)> textCallback = {},
                        std::function<void()> closeCallback = {});
    ~CWSSClient() override;

    // Creates the context this client owns and starts its loop thread. The
    // record is copied. 0/0 picks defaults for the receive buffer and the
    // largest frame fragment sent.
    CWSSContext* createContext(const tagWSSvrConfig* config, unsigned int rxBufferSize,
                               unsigned int txFragmentSize);
    // Stops and frees the context this client created; nothing otherwise.
    void destroyContext();
    CWSSContext* getContext();

    // The next connections accept any server certificate.
    void setNoSSLVerify();
    // ws:// or wss:// URL. false at once for a URL that cannot be parsed, an
    // unsupported scheme, a null context or a connection already in progress.
    // Otherwise exactly one of onEstablished / onConnectErr follows on the
    // loop thread, possibly before connect returns.
    bool connect(CWSSContext* ctx, const std::string& url, const std::string& subprotocol,
                 std::function<void(bool)> onResult, int ietfVersion);
    // Detaches this object from every loop: afterwards no event reaches it.
    void clearSet();

    void onEstablished() override;
    void onTextData(const char* data, int len) override;
    void onClose() override;
    virtual void onConnectErr();

protected:
    std::function<void(bool)> connectCallback;
    std::function<void()> closeCallback;
    std::function<void(const char*, int)> textCallback;
    std::vector<std::uint64_t> pendingAttempts; // loop thread: attempts not yet settled
    CWSSContext* clientContext;

private:
    friend class quorvex::transport::detail::ConnFields; // pendingAttempts
};

#endif
