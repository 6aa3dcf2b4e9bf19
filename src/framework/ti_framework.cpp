// SPDX-License-Identifier: Apache-2.0
#include "ti_framework.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

// ---- address records -------------------------------------------------------------

tagZVF_IPADDR::tagZVF_IPADDR() { Clear(); }

void tagZVF_IPADDR::Clear() {
    std::memset(static_cast<void*>(this), 0, sizeof *this);
    addrType = 1;
}

void tagZVF_IPADDR::SetIpAddr(unsigned int ip, unsigned short newPort) {
    if (ip == 0 && newPort == 0) return;
    addrType = 1;
    std::memcpy(addr, &ip, sizeof ip);
    port = newPort;
}

void tagZVF_IPADDR::SetIpv6Addr(unsigned char* const ipv6, unsigned short newPort) {
    addrType = 5;
    std::memcpy(addr, ipv6, 16);
    port = newPort;
}

void tagZVF_IPADDR::GetIpAddr(unsigned int* ip, unsigned short* outPort) const {
    if (addrType != 1) return;
    if (ip) std::memcpy(ip, addr, sizeof *ip);
    if (outPort) *outPort = port;
}

void tagZVF_IPADDR::GetIpv6Addr(unsigned char* ipv6, unsigned short* outPort) const {
    if (addrType != 5) return;
    if (ipv6) std::memcpy(ipv6, addr, 16);
    if (outPort) *outPort = port;
}

int tagZVF_IPADDR::IsLegalIp() {
    if (addrType == 1) {
        unsigned int ip = 0;
        std::memcpy(&ip, addr, sizeof ip);
        return ip != 0 ? 1 : 0;
    }
    if (addrType == 5) {
        unsigned char abyTempIpv6Addr[16] = {};
        return std::memcmp(addr, abyTempIpv6Addr, sizeof abyTempIpv6Addr) != 0 ? 1 : 0;
    }
    return 0;
}

tagNATAddrPairs::tagNATAddrPairs() { Clear(); }

void tagNATAddrPairs::Clear() {
    firstAddr.Clear();
    secondAddr.Clear();
}

tagStaticNATAddr::tagStaticNATAddr() { Clear(); }

void tagStaticNATAddr::Clear() {
    pairCount = 0;
    for (auto& pair : pairs) pair.Clear();
}

tagNATAddrPairs* tagStaticNATAddr::GetNATAddrPairs(unsigned int index) {
    return index < kMaxPairs ? &pairs[index] : nullptr;
}

void tagStaticNATAddr::SetNATAddrPairs(tagNATAddrPairs& pair, unsigned int index) {
    if (index < kMaxPairs) std::memcpy(static_cast<void*>(&pairs[index]), &pair, sizeof pair);
}

// ---- application base ---------------------------------------------------------

CTiApp::CTiApp() : CTiAppData() {
    // Zeroes every field, also those the framework leaves unset: unset may hold anything.
    priority = 100;
}

CTiApp::CTiApp(const CTiApp& other) : CTiAppData(other) {}

CTiApp& CTiApp::operator=(const CTiApp& other) {
    CTiAppData::operator=(other);
    return *this;
}

CTiApp::~CTiApp() {
    queueLimits[0] = 0;
    queueLimits[1] = 0;
    running = 0;
    daemon = 0;
}

unsigned char CTiApp::GetPriority() { return priority; }

// ---- instance base ----------------------------------------------------------

CTiInstance::CTiInstance() {}
CTiInstance::CTiInstance(const CTiInstance& other) : CTiInstanceData(other) {}
CTiInstance::CTiInstance(CTiInstance&& other) noexcept : CTiInstanceData(other) {}

CTiInstance& CTiInstance::operator=(const CTiInstance& other) {
    CTiInstanceData::operator=(other);
    return *this;
}

CTiInstance& CTiInstance::operator=(CTiInstance&& other) noexcept {
    CTiInstanceData::operator=(other);
    return *this;
}

void CTiInstance::DaemonInstanceEntry(CTiMessage* const, CTiApp*) {
    log(0, "ZVF: message received in default daemon instance of app %d.\nCheck your daemon implementation, please!\n",
        GetAppID());
}

void CTiInstance::InstanceDump(void*) {}
void CTiInstance::DaemonInstanceDump(void*) {}
void CTiInstance::InstanceExit() {}

// ---- the least stand-in for the foundation library ---------------------------------

namespace {
std::atomic<quorvex::framework::TiLogSink> tiLogSink{nullptr};
}

void quorvex::framework::setTiLogSink(TiLogSink sink) { tiLogSink = sink; }

unsigned short CTiInstance::GetAppID() { return appId; }

void CTiInstance::log(unsigned char level, const char* format, ...) {
    char achText[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(achText, sizeof achText, format, args);
    va_end(args);
    if (auto sink = tiLogSink.load()) {
        sink(level, achText);
    } else {
        std::fprintf(stderr, "%s", achText);
    }
}
