#include "runtime.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <vector>

#include "../transport/wss_client.h"
#include "../transport/wss_config.h"
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

CWSSClient* startLoop() {
    auto* owner = new CWSSClient(std::function<void(const char*, int)>(), std::function<void()>());
    tagWSSvrConfig config;
    std::strncpy(config.moduleName, kModuleName, sizeof config.moduleName - 1);
    owner->createContext(&config, kRxBufferSize, kTxFragmentSize);
    return owner;
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
    sharedClient = startLoop();
    extraLoops = new std::vector<CWSSClient*>();
    for (int loop = 1; loop < loopThreadsWanted.load(); ++loop) extraLoops->push_back(startLoop());
    logSettings = new QvAsrSdkLogParam{false, nullptr, nullptr};
    if (!logParam || !initParam) {
        std::printf("%s:logparam or initParam is null\n", kModuleName);
        return -1;
    }
    sdkMutex = new std::mutex();
    sdkCond = new std::condition_variable();
    logSettings->enableLog = logParam->enableLog;
    logSettings->logPath = logParam->logPath;
    logSettings->logCallback = logParam->logCallback;
    return sdkLogInit();
}

void release() {
    sdkLog("QUORVEX::release");
    if (!sharedClient) return;
    for (CWSSClient* owner : *extraLoops) {
        owner->destroyContext();
        delete owner;
    }
    delete extraLoops;
    extraLoops = nullptr;
    sharedClient->destroyContext();
    delete sharedClient;
    sharedClient = nullptr;
    delete logSettings;
    logSettings = nullptr;
    delete sdkMutex;
    sdkMutex = nullptr;
    delete sdkCond;
    sdkCond = nullptr;
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
