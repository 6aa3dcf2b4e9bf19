// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_CONN_CONN_LINK_H
#define QUORVEX_TRANSPORT_CONN_CONN_LINK_H

#include <libwebsockets.h>

#include <cstdint>
#include <string>

#include "transport/conn/connect_failure.h"
#include "transport/io/message_assembler.h"

class CWSSConn;

namespace quorvex::transport::detail {

// One socket as the loop sees it: the record whose address is the wsi's
// user pointer, made when the attempt or the accepted connection begins and
// freed by the wsi's final destroy event, so a new connection starts from a
// fresh one. Everything here is the loop thread's alone; the send path,
// liveness, the connector and the server side change it through its verbs.
//
//   Connecting --opened--> Open --close--> Closing --closed--> Closed
//   Connecting --failed / closed--------------------------------> Closed
struct ConnLink {
    enum class Kind {
        Client,    // opened by a CWSSClient, which owns conn
        WebSocket, // accepted upgrade; the loop owns conn
        Http,      // accepted plain HTTP connection; the loop owns conn
    };
    enum class Phase { Connecting, Open, Closing, Closed };

    ConnLink(Kind kind, CWSSConn* conn, lws* wsi, std::size_t maxMessageBytes)
        : kind(kind), conn(conn), wsi(wsi), rx(maxMessageBytes) {}
    bool client() const { return kind == Kind::Client; }

    // ---- lifecycle ----
    // Connecting -> Open; false in any other phase.
    bool opened(lws* socket, std::uint64_t nowMs) {
        if (phase != Phase::Connecting) return false;
        phase = Phase::Open;
        wsi = socket;
        lastHeardMs = lastPingMs = nowMs;
        return true;
    }
    // Open -> Closing, with the code and reason of the close frame; while
    // closing, only a harder way (AfterSending < Now < AtOnce) changes how,
    // and the first code stays. False when nothing changes. Its deadline is
    // libwebsockets' timeout on the socket, set by whoever closes.
    bool close(Closing way, int status, const std::string& text) {
        if (phase == Phase::Closing && static_cast<int>(way) > static_cast<int>(how)) {
            how = way;
            return true;
        }
        if (phase != Phase::Open) return false;
        phase = Phase::Closing;
        how = way;
        code = status;
        reason = text.substr(0, 123); // a close frame's payload is at most 125 bytes
        return true;
    }
    // The peer's close frame: nothing more of ours goes out but libwebsockets' answer.
    void peerClosed() { close(Closing::AtOnce, 1000, ""); }
    // Connecting, Open or Closing -> Closed; false when already closed.
    bool closed() {
        if (phase == Phase::Closed) return false;
        phase = Phase::Closed;
        return true;
    }

    // ---- what the phase allows ----
    bool open() const { return phase == Phase::Open; }
    // Queued messages still leave: open, or closing after them.
    bool sending() const { return open() || (phase == Phase::Closing && how == Closing::AfterSending); }
    // Our close frame is due once the queue is empty.
    bool closeFrameDue() const { return phase == Phase::Closing && how != Closing::AtOnce && !closeFrameSent; }
    bool closeFrameWritten() const { return closeFrameSent; }
    void markCloseFrameWritten() { closeFrameSent = true; }
    int closeCode() const { return code; }
    const std::string& closeReason() const { return reason; }

    // ---- liveness: open connections only ----
    void heard(std::uint64_t nowMs) { lastHeardMs = nowMs; }
    void pinged(std::uint64_t nowMs) {
        lastPingMs = nowMs;
        pingOutstanding = true;
    }
    // The round trip of our last ping, -1 when none was outstanding.
    int ponged(std::uint64_t nowMs) {
        int roundTrip = pingOutstanding ? static_cast<int>(nowMs - lastPingMs) : -1;
        pingOutstanding = false;
        lastHeardMs = nowMs;
        return roundTrip;
    }
    std::uint64_t silentFor(std::uint64_t nowMs) const { return nowMs - lastHeardMs; }
    std::uint64_t sincePing(std::uint64_t nowMs) const { return nowMs - lastPingMs; }

    // ---- HTTP: one request at a time ----
    void beginRequest(bool head) {
        bodyBytes = 0;
        bodyRefused = false;
        headOnly = head;
    }

    const Kind kind;
    CWSSConn* conn;
    lws* wsi;
    Phase phase = Phase::Connecting;
    TransportEnd end = TransportEnd::None; // set before the transport closes it itself
    std::uint64_t attempt = 0; // client connections: the attempt it carries
    AttemptProgress progress;  // client connections: how far the attempt got
    bool tls = false;          // client connections: wss://
    bool verifiedTls = false;  // ... checking the server: only then may it leave TLS sessions for later ones
    std::string certifiedAddress; // client wss:// to an IP address, verified: the address the certificate must name
    lws_vhost* vhost = nullptr;   // client connections: the vhost of their CAs, held while they live
    MessageAssembler rx;
    std::size_t bodyBytes = 0;   // HTTP: body of the current request so far
    bool bodyRefused = false;    // HTTP: ... passed the limit (413)
    bool headOnly = false;       // HTTP: a HEAD, answered as a GET without the body

private:
    Closing how = Closing::AtOnce;
    int code = 1000;
    std::string reason;
    bool closeFrameSent = false;
    std::uint64_t lastHeardMs = 0;
    std::uint64_t lastPingMs = 0;
    bool pingOutstanding = false;
};

} // namespace quorvex::transport::detail

#endif
