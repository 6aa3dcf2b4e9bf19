// SPDX-License-Identifier: Apache-2.0
#include "load_server.h"
#include "workload.h"

#include <libwebsockets.h>
#include <uv.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <string>
#include <thread>

namespace quorvex::bench {

namespace {

struct LoadPeer {
    std::deque<std::string>* out; // LWS_PRE bytes of headroom in front of each
    std::uint64_t bytes;
    int frames;
    std::string partial;
};

struct LoadState {
    int textEvery = 10;
    std::uint64_t bytes = 0;
};

std::string message(const char* type, const std::string& members) {
    return std::string(LWS_PRE, '\0') + R"({"service_type":"ASR","msg_type":")" + type + R"(","msg_id":"")" +
           members + "}";
}

std::string text(const std::string& words, int fin) {
    return message("RECOGNITION_TEXT", R"(,"msg_code":0,"msg_data":{"text":")" + words + R"(","bg":0,"ed":0,"fin":)" +
                                           std::to_string(fin) + "}");
}

void queue(lws* wsi, LoadPeer& peer, std::string message) {
    peer.out->push_back(std::move(message));
    lws_callback_on_writable(wsi);
}

void onControl(lws* wsi, LoadPeer& peer) {
    if (peer.partial.find("START_SESSION_REQ") != std::string::npos) {
        queue(wsi, peer, message("START_SESSION_RES", R"(,"msg_code":0,"msg_desc":"","msg_data":{"session_id":"s"})"));
    } else if (peer.partial.find("STOP_SESSION_REQ") != std::string::npos) {
        queue(wsi, peer, text("bytes:" + std::to_string(peer.bytes), 1));
        queue(wsi, peer, message("STOP_SESSION_RES", R"(,"msg_code":0,"msg_desc":"")"));
    }
}

int callback(lws* wsi, lws_callback_reasons reason, void* user, void* in, std::size_t len) {
    auto* peer = static_cast<LoadPeer*>(user);
    auto* state = static_cast<LoadState*>(lws_context_user(lws_get_context(wsi)));
    switch (reason) {
    case LWS_CALLBACK_ESTABLISHED:
        peer->out = new std::deque<std::string>();
        new (&peer->partial) std::string();
        peer->bytes = 0;
        peer->frames = 0;
        return 0;
    case LWS_CALLBACK_RECEIVE:
        if (lws_frame_is_binary(wsi)) {
            peer->bytes += len;
            state->bytes += len;
            if (lws_is_final_fragment(wsi) && ++peer->frames % state->textEvery == 0)
                queue(wsi, *peer, text("f" + std::to_string(peer->frames) + "@" +
                                           std::to_string(usSinceClockEpoch(Clock::now())), 0));
            return 0;
        }
        if (lws_is_first_fragment(wsi)) peer->partial.clear();
        peer->partial.append(static_cast<const char*>(in), len);
        if (lws_is_final_fragment(wsi)) onControl(wsi, *peer);
        return 0;
    case LWS_CALLBACK_SERVER_WRITEABLE: {
        if (peer->out->empty()) return 0;
        std::string& next = peer->out->front();
        auto* payload = reinterpret_cast<unsigned char*>(&next[LWS_PRE]);
        if (lws_write(wsi, payload, next.size() - LWS_PRE, LWS_WRITE_TEXT) < 0) return -1;
        peer->out->pop_front();
        if (!peer->out->empty()) lws_callback_on_writable(wsi);
        return 0;
    }
    case LWS_CALLBACK_CLOSED:
        delete peer->out;
        peer->partial.~basic_string();
        return 0;
    default:
        return lws_callback_http_dummy(wsi, reason, user, in, len);
    }
}

} // namespace

std::uint64_t serveLoad(int textEvery, const LoadTls& tls, const std::function<void(int port)>& ready,
                        const std::function<void()>& waitForStop) {
    lws_set_log_level(LLL_ERR, nullptr);
    LoadState state;
    state.textEvery = textEvery;
    lws_protocols protocols[] = {{"load", callback, sizeof(LoadPeer), 4096, 0, nullptr, 0}, {}};
    lws_context_creation_info info{};
    info.port = 0;
    info.iface = "127.0.0.1";
    info.protocols = protocols;
    info.user = &state;
    // On epoll, as the client's loop is: poll() over thousands of sockets
    // would cost this server a core of the two that both clients share.
    uv_loop_t events;
    uv_loop_init(&events);
    void* foreignLoops[] = {&events};
    info.foreign_loops = foreignLoops;
    info.options = LWS_SERVER_OPTION_FAIL_UPON_UNABLE_TO_BIND | LWS_SERVER_OPTION_LIBUV |
                   LWS_SERVER_OPTION_UV_NO_SIGSEGV_SIGFPE_SPIN;
    if (!tls.certFile.empty()) {
        info.options |= LWS_SERVER_OPTION_DO_SSL_GLOBAL_INIT;
        info.ssl_cert_filepath = tls.certFile.c_str();
        info.ssl_private_key_filepath = tls.keyFile.c_str();
    }
    lws_context* context = lws_create_context(&info);
    if (!context) return 0;
    int port = lws_get_vhost_listen_port(lws_get_vhost_by_name(context, "default"));
    std::atomic<bool> stop{false};
    std::thread loop([&] {
        while (!stop) uv_run(&events, UV_RUN_ONCE);
        // libwebsockets closes its handles on later passes, then finishes.
        lws_context_destroy(context);
        for (int pass = 0; pass < 1000 && uv_run(&events, UV_RUN_NOWAIT) != 0; ++pass) {
        }
        lws_context_destroy(context);
        uv_loop_close(&events);
    });
    ready(port);
    waitForStop();
    stop = true;
    lws_cancel_service(context);
    loop.join();
    return state.bytes;
}

} // namespace quorvex::bench
