#ifndef QUORVEX_TOOLS_SERVER_STATUS_CONN_H
#define QUORVEX_TOOLS_SERVER_STATUS_CONN_H

#include "server_shared.h"
#include "transport/wss_conn.h"

namespace quorvex::server {

// GET /healthz and GET /metrics. Loop thread.
class StatusConn : public CWSSConn {
public:
    explicit StatusConn(AsrServer::Shared& shared);
    ~StatusConn() override;

    bool processRequest() override;
    // Only the session path takes WebSockets.
    void onEstablished() override;

    // The body arrives unseen until it is complete: over the limit, the
    // connection is dropped on the next check rather than kept growing.
    void checkBody();

private:
    void answer(int status, const std::string& body);

    AsrServer::Shared& shared_;
    bool dropped_ = false;
};

} // namespace quorvex::server

#endif
