#include "runtime.h"

#include <cstdio>
#include <cstring>

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
} // namespace

int init(QvAsrSdkLogParam* logParam, QvAsrSdkInitParam* initParam) {
    if (sharedClient) return -5;
    sharedClient = new CWSSClient(std::function<void(const char*, int)>(), std::function<void()>());
    tagWSSvrConfig config;
    std::strncpy(config.moduleName, kModuleName, sizeof config.moduleName - 1);
    sharedClient->createContext(&config, kRxBufferSize, kTxFragmentSize);
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
    return "v1.0.0";
}

} // namespace QUORVEX
