// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TRANSPORT_WSS_CONFIG_H
#define QUORVEX_TRANSPORT_WSS_CONFIG_H

#include <cstddef>
#include <cstdint>

#include "quorvex/export.h"

// Settings record handed to a websocket context. Its 976-byte layout is
// shared with other builds of the wrapper, so it is fixed to the byte.
struct QUORVEX_API tagWSSvrConfig {
    std::int32_t listenPort;        // server contexts; 0 asks for an ephemeral port
    char certFile[260];             // server TLS certificate (PEM), empty: plain
    char keyFile[260];              // server TLS private key (PEM)
    char caFile[260];               // CA bundle for client verification, empty: system
    std::int32_t uid;               // -1: keep
    std::int32_t gid;               // -1: keep
    std::int32_t lwsOptions;        // extra LWS_SERVER_OPTION_* bits
    std::int32_t keepAliveSeconds;  // TCP keep-alive idle time, 0: off
    std::int32_t maxHeaderPool;     // concurrent HTTP header parsers
    std::int32_t keepAliveProbes;
    std::int32_t keepAliveInterval;
    char bindInterface[64];         // server address or interface, empty: all
    char vhostName[64];             // empty: "default"
    char moduleName[32];            // owner's name, used in the wrapper's log lines
    std::int32_t timeoutSeconds;    // handshake and protocol-phase timeouts

    tagWSSvrConfig();
};

static_assert(sizeof(tagWSSvrConfig) == 976, "tagWSSvrConfig must be 976 bytes");
static_assert(offsetof(tagWSSvrConfig, certFile) == 4);
static_assert(offsetof(tagWSSvrConfig, keyFile) == 264);
static_assert(offsetof(tagWSSvrConfig, caFile) == 524);
static_assert(offsetof(tagWSSvrConfig, uid) == 784);
static_assert(offsetof(tagWSSvrConfig, gid) == 788);
static_assert(offsetof(tagWSSvrConfig, lwsOptions) == 792);
static_assert(offsetof(tagWSSvrConfig, keepAliveSeconds) == 796);
static_assert(offsetof(tagWSSvrConfig, maxHeaderPool) == 800);
static_assert(offsetof(tagWSSvrConfig, keepAliveProbes) == 804);
static_assert(offsetof(tagWSSvrConfig, keepAliveInterval) == 808);
static_assert(offsetof(tagWSSvrConfig, bindInterface) == 812);
static_assert(offsetof(tagWSSvrConfig, vhostName) == 876);
static_assert(offsetof(tagWSSvrConfig, moduleName) == 940);
static_assert(offsetof(tagWSSvrConfig, timeoutSeconds) == 972);

#endif
