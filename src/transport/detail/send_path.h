#ifndef QUORVEX_TRANSPORT_DETAIL_SEND_PATH_H
#define QUORVEX_TRANSPORT_DETAIL_SEND_PATH_H

#include <vector>

#include "ws_frame.h"

namespace quorvex::transport::detail {

class EventLoop;
class SendQueue;
struct ConnLink;

// Writes a connection's queued messages when libwebsockets reports it
// writable. Small whole messages are framed (and masked, for client
// connections) here and leave several to one raw write, because one
// lws_write per message costs a syscall each; large ones leave one
// fragment per call, so that other connections are not starved.
class SendPath {
public:
    explicit SendPath(EventLoop& loop) : loop_(loop) {}
    void setFragmentSize(unsigned int bytes) { txFragmentSize_ = bytes; } // before the loop starts

    // Loop. Non-zero closes the connection.
    int onWritable(ConnLink* link);

private:
    bool writeBatch(ConnLink* link, SendQueue& queue);
    bool writeFragment(ConnLink* link, SendQueue& queue);

    EventLoop& loop_;
    unsigned int txFragmentSize_ = 4096;
    std::vector<unsigned char> batch_; // frames of one raw write
    MaskKeys maskKeys_;
};

} // namespace quorvex::transport::detail

#endif
