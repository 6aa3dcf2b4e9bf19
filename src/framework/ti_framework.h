// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_FRAMEWORK_TI_FRAMEWORK_H
#define QUORVEX_FRAMEWORK_TI_FRAMEWORK_H

// Value types and base classes of the platform framework that the library
// exports. Their layouts are exchanged with the framework library and fixed
// to the byte. The two base classes are polymorphic: their data starts after
// the table pointer, so offsets below are given relative to the data block
// (a 4-byte table pointer puts them exactly at the framework's offsets).

#include <cstddef>
#include <cstdint>

#include "quorvex/export.h"

// GCC and clang check the arguments of printf-like calls; MSVC has no such attribute.
#if defined(__GNUC__)
#  define QUORVEX_PRINTF_LIKE(formatAt, argumentsAt) __attribute__((format(printf, formatAt, argumentsAt)))
#else
#  define QUORVEX_PRINTF_LIKE(formatAt, argumentsAt)
#endif

class CTiMessage;

// One IPv4 or IPv6 endpoint.
struct QUORVEX_API tagZVF_IPADDR {
    std::int32_t addrType;     // 1 IPv4, 5 IPv6
    std::uint8_t addr[36];     // IPv4: first 4 bytes; IPv6: first 16 bytes
    std::uint16_t port;        // byte order as the caller passes it
    std::uint16_t alignGap;
    std::uint32_t reserved;    // touched only by Clear

    tagZVF_IPADDR();
    void Clear();
    void SetIpAddr(unsigned int ip, unsigned short port);
    void SetIpv6Addr(unsigned char* const ipv6, unsigned short port);
    void GetIpAddr(unsigned int* ip, unsigned short* port) const;
    void GetIpv6Addr(unsigned char* ipv6, unsigned short* port) const;
    int IsLegalIp();
};

struct QUORVEX_API tagNATAddrPairs {
    tagZVF_IPADDR firstAddr;
    tagZVF_IPADDR secondAddr;

    tagNATAddrPairs();
    void Clear();
};

struct QUORVEX_API tagStaticNATAddr {
    static constexpr unsigned int kMaxPairs = 10;
    std::int32_t pairCount;
    tagNATAddrPairs pairs[kMaxPairs];

    tagStaticNATAddr();
    void Clear();
    tagNATAddrPairs* GetNATAddrPairs(unsigned int index);
    void SetNATAddrPairs(tagNATAddrPairs& pair, unsigned int index);
};

static_assert(sizeof(tagZVF_IPADDR) == 48);
static_assert(offsetof(tagZVF_IPADDR, addr) == 4);
static_assert(offsetof(tagZVF_IPADDR, port) == 40);
static_assert(offsetof(tagZVF_IPADDR, reserved) == 44);
static_assert(sizeof(tagNATAddrPairs) == 96);
static_assert(offsetof(tagNATAddrPairs, secondAddr) == 48);
static_assert(sizeof(tagStaticNATAddr) == 964);
static_assert(offsetof(tagStaticNATAddr, pairs) == 4);

#pragma pack(push, 1)

// Data of CTiApp after its table pointer (framework offsets minus 4).
struct CTiAppData {
    struct Route {
        std::uint32_t source;
        std::uint32_t target;
        std::uint16_t weight;
    };
    std::uint32_t appId;          // framework offset 4
    std::uint32_t instanceCount;  // 8
    std::uint32_t startTime;      // 12, left unset by the constructor
    std::uint32_t settings[12];   // 16..60
    std::uint16_t queueLimits[5]; // 64..72
    std::uint8_t running;         // 74
    std::uint8_t daemon;          // 75
    std::uint32_t timerCount;     // 76
    std::uint32_t messageCount;   // 80
    std::uint8_t priority;        // 84
    std::uint8_t logLevel;        // 85
    std::uint8_t traceLevel;      // 86
    Route routes[100];            // 87, left unset by the constructor
    std::uint32_t sentMessages;   // 1087
    std::uint32_t lostMessages;   // 1091
    std::uint32_t errorCount;     // 1095
};

// Data of CTiInstance after its table pointer.
struct CTiInstanceData {
    struct TimerRecord {
        std::uint32_t timerId;
        std::uint32_t interval;
        std::uint32_t context;
    };
    std::uint16_t appId;        // framework offset 4
    std::uint16_t instanceId;   // 6
    std::uint8_t name[255];     // 8
    std::uint8_t state;         // 263
    std::uint8_t traceOn;       // 264
    std::uint32_t node;         // 265
    std::uint32_t messagesIn;   // 269
    std::uint32_t messagesOut;  // 273
    TimerRecord timer;          // 277
};

class CTiInstance;

// Base of a framework application.
class QUORVEX_API CTiApp : public CTiAppData {
public:
    CTiApp();
    CTiApp(const CTiApp& other);
    CTiApp& operator=(const CTiApp& other);
    virtual ~CTiApp();
    unsigned char GetPriority();

    // Implemented by the concrete application.
    virtual int InitApp() = 0;
    virtual void ExitApp() = 0;
    virtual CTiInstance* CreateInstance(unsigned short instanceId) = 0;
    virtual void DestroyInstance(unsigned short instanceId) = 0;
    virtual CTiInstance* GetInstance(unsigned short instanceId) = 0;
    virtual void OnTimer(unsigned int timerId) = 0;
    virtual void Dump(void* output) = 0;
};

// Base of one instance of a framework application. It has no virtual
// destructor: instances are owned and destroyed by their concrete type.
class QUORVEX_API CTiInstance : public CTiInstanceData {
public:
    CTiInstance();
    CTiInstance(const CTiInstance& other);
    CTiInstance(CTiInstance&& other) noexcept;
    CTiInstance& operator=(const CTiInstance& other);
    CTiInstance& operator=(CTiInstance&& other) noexcept;

    virtual void DaemonInstanceEntry(CTiMessage* const message, CTiApp* app);
    virtual void InstanceEntry(CTiMessage* const message) = 0;
    virtual void InstanceDump(void* output);
    virtual void DaemonInstanceDump(void* output);
    virtual void InstanceExit();

    // Provided by the platform foundation library.
    unsigned short GetAppID();

protected:
    void log(unsigned char level, const char* format, ...) QUORVEX_PRINTF_LIKE(3, 4);
};

#pragma pack(pop)

static_assert(sizeof(CTiAppData) == 1095, "CTiApp data is 1099 bytes less a 4-byte table pointer");
static_assert(offsetof(CTiAppData, priority) == 84 - 4);
static_assert(offsetof(CTiAppData, routes) == 87 - 4);
static_assert(offsetof(CTiAppData, sentMessages) == 1087 - 4);
static_assert(offsetof(CTiAppData, errorCount) == 1095 - 4);
static_assert(sizeof(CTiAppData::Route) == 10);
static_assert(sizeof(CTiApp) == sizeof(void*) + 1095);
static_assert(sizeof(CTiInstanceData) == 285, "CTiInstance data is 289 bytes less a 4-byte table pointer");
static_assert(offsetof(CTiInstanceData, instanceId) == 6 - 4);
static_assert(offsetof(CTiInstanceData, name) == 8 - 4);
static_assert(offsetof(CTiInstanceData, state) == 263 - 4);
static_assert(offsetof(CTiInstanceData, node) == 265 - 4);
static_assert(offsetof(CTiInstanceData, messagesOut) == 273 - 4);
static_assert(offsetof(CTiInstanceData, timer) == 277 - 4);
static_assert(sizeof(CTiInstance) == sizeof(void*) + 285);

namespace quorvex::framework {
// Where CTiInstance::log writes; stands in for the foundation library's
// logger, which this build does not have. Null restores standard error.
using TiLogSink = void (*)(unsigned char level, const char* text);
void setTiLogSink(TiLogSink sink);
} // namespace quorvex::framework

#endif
