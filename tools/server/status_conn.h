// SPDX-License-Identifier: Apache-2.0
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

    // A body over the limit is refused (413) by the transport as it arrives.
    void onHttpClose() override;

private:
    void answer(int status, const std::string& body);

    AsrServer::Shared& shared_;
};

} // namespace quorvex::server

#endif
