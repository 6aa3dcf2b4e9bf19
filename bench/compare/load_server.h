// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_BENCH_COMPARE_LOAD_SERVER_H
#define QUORVEX_BENCH_COMPARE_LOAD_SERVER_H

#include <cstdint>
#include <functional>
#include <string>

namespace quorvex::bench {

// A recognition server reduced to its wire behaviour, on one libwebsockets
// loop thread: START answered at once, a text "f<count>@<us>" after every
// textEvery-th audio frame (its count, and when the server read it on the
// machine's steady clock), and on STOP a final text "bytes:<n>" (the audio
// bytes it received) and STOP_SESSION_RES. Runs until waitForStop returns;
// the audio bytes it received in all. With a certificate and key (PEM
// files), it terminates TLS itself, with OpenSSL through libwebsockets.
struct LoadTls {
    std::string certFile, keyFile; // empty: ws://
};
std::uint64_t serveLoad(int textEvery, const LoadTls& tls, const std::function<void(int port)>& ready,
                        const std::function<void()>& waitForStop);

} // namespace quorvex::bench

#endif
