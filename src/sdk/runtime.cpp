// SPDX-License-Identifier: Apache-2.0
#include "runtime.h"

#include <dlfcn.h>
#include <libwebsockets.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "../transport/wss_client.h"
#include "../transport/wss_config.h"
#include "../transport/loop/log_context.h"
#include "log.h"

namespace QUORVEX {

CWSSClient* sharedClient = nullptr;
QvAsrSdkLogParam* logSettings = nullptr;
FILE* logFile = nullptr;
std::mutex* sdkMutex = nullptr;
std::condition_variable* sdkCond = nullptr;

namespace {
constexpr unsigned int kRxBufferSize = 4096;
constexpr unsigned int kTxFragmentSize = 4096;
constexpr int kMaxLoopThreads = 16;

std::atomic<int> loopThreadsWanted{1};
std::atomic<unsigned int> loopsRoundRobin{0};
// Loops 1 to N-1, when more than one was asked for; made and freed with sharedClient.
std::vector<CWSSClient*>* extraLoops = nullptr;

// Its notices while a context starts or stops (version, build options,
// plugin paths) describe libwebsockets, not anything the application did:
// only its errors and warnings pass then.
std::atomic<bool> contextStartingOrStopping{false};

// libwebsockets writes its own lines (start-up notices, errors) to standard
// error unless told otherwise; an application hears them only through the
// library's log, so not at all when logging is disabled.
void emitLwsLineInside(int level, const char* line) {
    if (level == LLL_NOTICE && contextStartingOrStopping.load(std::memory_order_relaxed)) return;
    // The library's log has no prefix of its own.
    line = quorvex::transport::detail::afterLwsTimestamp(line);
    std::size_t length = std::strlen(line);
    while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r')) --length;
    sdkLog("%.*s", static_cast<int>(length), line);
}

// libwebsockets' log hook is the whole process's, and an application's own
// libwebsockets threads may be inside it while release frees the log
// settings: release closes the gate, then waits for the calls inside.
std::atomic<bool> lwsHookOpen{false};
std::atomic<int> lwsHookCallers{0};
// The level found at init, put back at release. libwebsockets has no way to
// read the hook in force, so release puts back its own default one.
int lwsLevelBefore = LLL_ERR | LLL_WARN | LLL_NOTICE;

void emitLwsLine(int level, const char* line) {
    // Sequentially consistent with release's closing of the gate: either
    // release sees this caller, or this caller sees the gate closed.
    lwsHookCallers.fetch_add(1);
    if (lwsHookOpen.load()) emitLwsLineInside(level, line);
    lwsHookCallers.fetch_sub(1);
}

int visibleLwsLevels() {
    int levels = 0;
    for (int level = 1; level < (1 << LLL_COUNT); level <<= 1)
        if (lwsl_visible(level)) levels |= level;
    return levels;
}

// Set before the loop thread exists: libwebsockets reads these without a lock.
void routeLwsLog(bool enabled) {
    lwsLevelBefore = visibleLwsLevels();
    lwsHookOpen = true;
    lws_set_log_level(enabled ? LLL_ERR | LLL_WARN | LLL_NOTICE : 0, &emitLwsLine);
}

// False when a caller is still inside at the deadline (an application's log
// callback that does not return): the log settings must then stay allocated.
bool unrouteLwsLog() {
    lws_set_log_level(lwsLevelBefore, &lwsl_emit_stderr);
    lwsHookOpen = false;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (lwsHookCallers.load() != 0) {
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::yield();
    }
    return true;
}

// libwebsockets loads its libuv plugin by name at run time, so a missing
// package shows up only here; say which.
void explainContextFailure() {
    void* plugin = dlopen(QUORVEX_LWS_EVLIB_UV, RTLD_NOW | RTLD_LOCAL);
    if (plugin) {
        dlclose(plugin);
        std::printf("%s:init: the libwebsockets context could not be created\n", kModuleName);
    } else {
        std::printf("%s:init: unable to load libwebsockets' libuv plugin %s (package libwebsockets-evlib-uv): %s\n",
                    kModuleName, QUORVEX_LWS_EVLIB_UV, dlerror());
    }
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
    if (sharedClient) return -5;
    loopThreadsWanted = count;
    return 0;
}

CWSSContext* loopContext(unsigned int index) {
    if (!sharedClient) return nullptr;
    unsigned int loops = 1 + (extraLoops ? static_cast<unsigned int>(extraLoops->size()) : 0);
    unsigned int chosen = index % loops;
    return chosen == 0 ? sharedClient->getContext() : (*extraLoops)[chosen - 1]->getContext();
}

unsigned int nextLoopIndex() { return loopsRoundRobin.fetch_add(1, std::memory_order_relaxed); }

int init(QvAsrSdkLogParam* logParam, QvAsrSdkInitParam* initParam) {
    if (sharedClient) return -5;
    const bool complete = logParam && initParam;
    logSettings = new QvAsrSdkLogParam{false, nullptr, nullptr};
    if (complete) *logSettings = *logParam;
    int logResult = complete ? sdkLogInit() : 0;
    routeLwsLog(logSettings->enableLog);
    contextStartingOrStopping = true;
    bool started = false;
    sharedClient = startLoop(started);
    extraLoops = new std::vector<CWSSClient*>();
    for (int loop = 1; loop < loopThreadsWanted.load(); ++loop) {
        bool extraStarted = false;
        extraLoops->push_back(startLoop(extraStarted));
        started = started && extraStarted;
    }
    contextStartingOrStopping = false;
    if (!complete) {
        std::printf("%s:logparam or initParam is null\n", kModuleName);
        return -1;
    }
    sdkMutex = new std::mutex();
    sdkCond = new std::condition_variable();
    if (!started) {
        explainContextFailure();
        return -1;
    }
    return logResult;
}

void release() {
    sdkLog("QUORVEX::release");
    if (!sharedClient) return;
    contextStartingOrStopping = true;
    for (CWSSClient* owner : *extraLoops) stopLoop(owner);
    delete extraLoops;
    extraLoops = nullptr;
    stopLoop(sharedClient);
    sharedClient = nullptr;
    contextStartingOrStopping = false;
    delete sdkMutex;
    sdkMutex = nullptr;
    delete sdkCond;
    sdkCond = nullptr;
    if (!unrouteLwsLog()) {
        std::printf("%s:release: a libwebsockets log line is still being written; its log settings are kept\n",
                    kModuleName);
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

const char* getVersion() {
    sdkLog("QUORVEX::getVersion");
    return QUORVEX_VERSION_STRING;
}

} // namespace QUORVEX
