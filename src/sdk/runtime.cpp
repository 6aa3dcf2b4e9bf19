// SPDX-License-Identifier: Apache-2.0
#include "runtime.h"

#include <libwebsockets.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "../platform/system.h"
#include "transport/wss_client.h"
#include "transport/wss_config.h"
#include "transport/wss_context.h"
#include "transport/transport_control.h"
#include "log.h"
#include "runtime_gate.h"

namespace QUORVEX {

CWSSClient* sharedClient = nullptr;
QvAsrSdkLogParam* logSettings = nullptr;
FILE* logFile = nullptr;
std::mutex* sdkMutex = nullptr;
std::condition_variable* sdkCond = nullptr;
bool runtimeReleased = false;

namespace {
constexpr unsigned int kRxBufferSize = 4096;
constexpr unsigned int kTxFragmentSize = 4096;
constexpr int kMaxLoopThreads = 16;

std::atomic<int> loopThreadsWanted{1};
std::atomic<unsigned int> loopsRoundRobin{0};
// The owners of loops 0 to loopCount-1 (0 is sharedClient). A loop thread
// looks up its own slot while release stops the others, so slots are
// atomics that outlive every init, and each is cleared once its loop ended.
std::array<std::atomic<CWSSClient*>, kMaxLoopThreads> loopOwners{};
std::atomic<unsigned int> loopCount{0};

// Its notices while a context starts or stops (version, build options,
// plugin paths) describe libwebsockets, not anything the application did:
// only its errors and warnings pass then.
std::atomic<bool> contextStartingOrStopping{false};

// libwebsockets writes its own lines (start-up notices, errors) to standard
// error unless told otherwise; an application hears them only through the
// library's log, so not at all when logging is disabled.
// The hook is the whole process's, so an application's own libwebsockets
// threads may be in it while release frees the log settings: sdkLog enters
// the log gate, which release closes and drains first.
void emitLwsLine(int level, const char* line) {
    if (level == LLL_NOTICE && contextStartingOrStopping.load(std::memory_order_relaxed)) return;
    // The library's log has no prefix of its own.
    line = quorvex::transport::afterLwsTimestamp(line);
    std::size_t length = std::strlen(line);
    while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r')) --length;
    sdkLog("%.*s", static_cast<int>(length), line);
}

// The level found at init, put back at release. libwebsockets has no way to
// read the hook in force, so release puts back its own default one.
int lwsLevelBefore = LLL_ERR | LLL_WARN | LLL_NOTICE;

int visibleLwsLevels() {
    int levels = 0;
    for (int level = 1; level < (1 << LLL_COUNT); level <<= 1)
        if (lwsl_visible(level)) levels |= level;
    return levels;
}

// Set before the loop thread exists: libwebsockets reads these without a lock.
void routeLwsLog(bool enabled) {
    lwsLevelBefore = visibleLwsLevels();
    lws_set_log_level(enabled ? LLL_ERR | LLL_WARN | LLL_NOTICE : 0, &emitLwsLine);
}

void unrouteLwsLog() { lws_set_log_level(lwsLevelBefore, &lwsl_emit_stderr); }

// libwebsockets loads its libuv plugin by name at run time, so a missing
// package shows up only here; say which.
void explainContextFailure() {
    std::string why;
    if (quorvex::platform::eventLibraryAvailable(why))
        std::printf("%s:init: the libwebsockets context could not be created\n", kModuleName);
    else
        std::printf("%s:init: %s\n", kModuleName, why.c_str());
}
// A context of its own with its loop thread; started says whether it runs.
CWSSClient* startLoop(bool& started) {
    auto* owner = new CWSSClient(std::function<void(const char*, int)>(), std::function<void()>());
    tagWSSvrConfig config;
    std::strncpy(config.moduleName, kModuleName, sizeof config.moduleName - 1);
    started = owner->createContext(&config, kRxBufferSize, kTxFragmentSize) != nullptr;
    return owner;
}

void stopLoop(CWSSClient* owner) {
    owner->destroyContext();
    delete owner;
}
} // namespace

int setLoopThreads(int count) {
    sdkLog("QUORVEX::setLoopThreads");
    if (count < 1 || count > kMaxLoopThreads) {
        sdkLog("QUORVEX::setLoopThreads refused: %d is not 1 to %d", count, kMaxLoopThreads);
        return -1;
    }
    if (GateUse initialised{entryGate}) return -5;
    loopThreadsWanted = count;
    return 0;
}

CWSSContext* loopContext(unsigned int index) {
    unsigned int loops = loopCount.load(std::memory_order_acquire);
    if (loops == 0) return nullptr;
    CWSSClient* owner = loopOwners[index % loops].load(std::memory_order_acquire);
    return owner ? owner->getContext() : nullptr;
}

unsigned int nextLoopIndex() { return loopsRoundRobin.fetch_add(1, std::memory_order_relaxed); }

namespace {
// Two inits at once on two threads start one runtime: the other returns -5
// at once, as after an init, without waiting for the first.
std::atomic<bool> initClaim{false};
} // namespace

bool claimInit() { return !initClaim.exchange(true, std::memory_order_acq_rel); }

int init(QvAsrSdkLogParam* logParam, QvAsrSdkInitParam* initParam) {
    return claimInit() ? initClaimed(logParam, initParam) : -5;
}

int initClaimed(QvAsrSdkLogParam* logParam, QvAsrSdkInitParam* initParam) {
    const bool complete = logParam && initParam;
    logSettings = new QvAsrSdkLogParam{false, nullptr, nullptr};
    if (complete) *logSettings = *logParam;
    logGate.open();
    int logResult = complete ? sdkLogInit() : 0;
    routeLwsLog(logSettings->enableLog);
    contextStartingOrStopping = true;
    bool started = false;
    sharedClient = startLoop(started);
    loopOwners[0].store(sharedClient, std::memory_order_release);
    int loops = loopThreadsWanted.load();
    for (int loop = 1; loop < loops; ++loop) {
        bool extraStarted = false;
        loopOwners[static_cast<std::size_t>(loop)].store(startLoop(extraStarted), std::memory_order_release);
        started = started && extraStarted;
    }
    loopCount.store(static_cast<unsigned int>(loops), std::memory_order_release);
    contextStartingOrStopping = false;
    entryGate.open(); // initialised, if only in half, until release
    if (!complete) {
        std::printf("%s:logparam or initParam is null\n", kModuleName);
        return -1;
    }
    sdkMutex = new std::mutex();
    sdkCond = new std::condition_variable();
    runtimeReleased = false;
    if (!started) {
        explainContextFailure();
        return -1;
    }
    return logResult;
}

namespace {
// Bounds release's wait for calls inside: a destruction waiting for its
// connection's close takes up to the 2 s close limit.
constexpr std::chrono::milliseconds kReleaseDrain{5000};

// A destruction waiting for a check that the stopped loops will never run
// returns; then nothing may still be inside when the runtime is freed.
bool releaseWaiters() {
    if (sdkMutex && sdkCond) { // absent when init was given no records
        {
            std::lock_guard<std::mutex> guard(*sdkMutex);
            runtimeReleased = true;
        }
        sdkCond->notify_all();
    }
    return entryGate.drain(kReleaseDrain);
}

// A loop thread cannot stop the loops: its own would be left running.
bool onALoopThread() {
    unsigned int loops = loopCount.load(std::memory_order_acquire);
    for (unsigned int loop = 0; loop < loops; ++loop) {
        CWSSContext* context = loopContext(loop);
        if (context && context->isLoopThread()) return true;
    }
    return false;
}

void stopLoops() {
    contextStartingOrStopping = true;
    unsigned int loops = loopCount.load(std::memory_order_relaxed);
    for (unsigned int loop = loops; loop-- > 0;) {
        stopLoop(loopOwners[loop].load(std::memory_order_relaxed));
        loopOwners[loop].store(nullptr, std::memory_order_release);
    }
    loopCount.store(0, std::memory_order_release);
    sharedClient = nullptr;
    contextStartingOrStopping = false;
}

void freeLogSettings() {
    logGate.close();
    unrouteLwsLog();
    if (!logGate.drain(kReleaseDrain)) {
        std::printf("%s:release: a log line is still being written; its log settings are kept\n", kModuleName);
        logSettings = nullptr;
        logFile = nullptr;
        return;
    }
    delete logSettings;
    logSettings = nullptr;
    if (logFile) {
        std::fclose(logFile);
        logFile = nullptr;
    }
}
} // namespace

// Calls that overlap release (a misuse) still end: new ones find the gate
// closed, those inside finish while the loops still run, and a destruction
// still waiting after the loops stopped is woken.
void release() {
    sdkLog("QUORVEX::release");
    if (!sharedClient) return;
    if (onALoopThread()) {
        sdkLog("QUORVEX::release called on an event-loop thread (from a listener or callback); refused");
        return;
    }
    entryGate.close();
    entryGate.drain(kReleaseDrain);
    stopLoops();
    if (!releaseWaiters()) {
        std::printf("%s:release: a call is still inside; the runtime's lock is kept\n", kModuleName);
    } else {
        delete sdkMutex;
        delete sdkCond;
    }
    sdkMutex = nullptr;
    sdkCond = nullptr;
    freeLogSettings();
    initClaim.store(false, std::memory_order_release);
}

const char* getVersion() {
    sdkLog("QUORVEX::getVersion");
    return QUORVEX_VERSION_STRING;
}

} // namespace QUORVEX
