// SPDX-License-Identifier: Apache-2.0
#include "status_conn.h"

#include <libwebsockets.h>

#include "transport/transport_control.h"

namespace quorvex::server {

namespace {
constexpr int kMethodGet = 0;
}

StatusConn::StatusConn(AsrServer::Shared& shared) : shared_(shared) { shared_.statusConns.insert(this); }

StatusConn::~StatusConn() { shared_.statusConns.erase(this); }

bool StatusConn::processRequest() {
    if (method != kMethodGet) {
        answer(405, "GET only\n");
        requestBody.clear();
        requestBody.shrink_to_fit();
        return true;
    }
    if (requestUri == "/healthz") {
        // A load balancer takes a draining server out of rotation on this answer.
        if (shared_.draining)
            answer(503, "draining\n");
        else
            answer(200, "ok\n");
    } else if (requestUri == "/metrics") {
        // The transport refuses those before any connection exists: its count is the count.
        shared_.metrics.refusals[static_cast<std::size_t>(Refusal::ConnectionLimit)] =
            static_cast<std::int64_t>(quorvex::transport::connectionsRefused(*shared_.context));
        answer(200, shared_.metrics.render(shared_.options, shared_.draining));
    } else {
        return false;
    }
    return true;
}

void StatusConn::answer(int status, const std::string& body) {
    responseStatus = status;
    responseContentType = "text/plain; charset=utf-8";
    response = std::string(LWS_PRE, '\0') + body; // room for the transport's header bytes
}

void StatusConn::onEstablished() {
    shared_.metrics.refused(Refusal::WrongPath);
    shared_.log.log("wrong_path", "WebSocket from " + displayAddress(getPeerAddr()) + " on a status path refused");
    close();
}

void StatusConn::onHttpClose() {
    if (!quorvex::transport::requestBodyRefused(*this)) return;
    shared_.metrics.refused(Refusal::PostTooLarge);
    shared_.log.log("post_too_large", "request body over " + std::to_string(shared_.options.maxPostBytes) +
                                          " bytes from " + displayAddress(getPeerAddr()) + "; refused with 413");
}

} // namespace quorvex::server
