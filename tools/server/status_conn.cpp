#include "status_conn.h"

#include <libwebsockets.h>
#include <sys/socket.h>

namespace quorvex::server {

namespace {
constexpr int kMethodGet = 0;
}

StatusConn::StatusConn(AsrServer::Shared& shared) : shared_(shared) { shared_.statusConns.insert(this); }

StatusConn::~StatusConn() { shared_.statusConns.erase(this); }

bool StatusConn::processRequest() {
    if (method != kMethodGet) {
        if (requestBody.size() > shared_.options.maxPostBytes) {
            shared_.metrics.refused(Refusal::PostTooLarge);
            answer(413, "request body over " + std::to_string(shared_.options.maxPostBytes) + " bytes\n");
        } else {
            answer(405, "GET only\n");
        }
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
    shared_.log.log("wrong_path", "WebSocket from " + getPeerAddr() + " on a status path refused");
    close();
}

void StatusConn::checkBody() {
    if (dropped_ || method == kMethodGet || requestBody.size() <= shared_.options.maxPostBytes) return;
    dropped_ = true;
    shared_.metrics.refused(Refusal::PostTooLarge);
    shared_.log.log("post_too_large",
                    "request body over " + std::to_string(shared_.options.maxPostBytes) + " bytes; connection dropped");
    requestBody.clear();
    requestBody.shrink_to_fit();
    // libwebsockets renews its own timeout with every body chunk, which
    // overrides close(); a socket shut down here ends the connection on the
    // next read. Loop thread, so the handle is live.
    std::lock_guard<std::mutex> guard(connLock);
    if (wsi) ::shutdown(lws_get_socket_fd(wsi), SHUT_RDWR);
}

} // namespace quorvex::server
