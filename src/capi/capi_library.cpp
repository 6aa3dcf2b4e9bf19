// SPDX-License-Identifier: Apache-2.0
// The library-wide half of the C interface: each call is the C++ one.
#include <atomic>

#include "capi/sized_record.h"
#include "quorvex/quorvex.h"
#include "quorvex/quorvex_c.h"
#include "sdk/runtime.h"

using quorvex::capi::readSized;

namespace {

// The application's log callback and its argument, for the C++ callback,
// which has none. Set before init starts any thread that logs, cleared
// after release has drained every log line.
std::atomic<qv_log_fn> logCallback{nullptr};
std::atomic<void*> logUser{nullptr};

void discardLog(const char*, const char*) {}

void forwardLog(const char* module, const char* text) {
    if (qv_log_fn callback = logCallback.load(std::memory_order_acquire))
        callback(logUser.load(std::memory_order_relaxed), module, text);
}

} // namespace

extern "C" {

const char* qv_version(void) { return QUORVEX::getVersion(); }

int qv_set_loop_threads(int count) { return QUORVEX::setLoopThreads(count); }

int qv_init(const qv_log_settings* log) {
    qv_log_settings settings{};
    if (log && !readSized(log, settings)) return QV_ERROR;
    // Before the callback is replaced: a running (or starting) library keeps its own.
    if (!QUORVEX::claimInit()) return QV_BUSY;
    QUORVEX::QvAsrSdkLogParam param{settings.enable != 0, settings.path, nullptr};
    if (settings.callback) {
        logUser.store(settings.user, std::memory_order_relaxed);
        logCallback.store(settings.callback, std::memory_order_release);
        param.logCallback = &forwardLog;
    } else if (settings.no_stdout) {
        param.logCallback = &discardLog; // a callback replaces standard output; the file is still written
    }
    QUORVEX::QvAsrSdkInitParam init{};
    return QUORVEX::initClaimed(&param, &init);
}

void qv_release(void) {
    QUORVEX::release();
    logCallback.store(nullptr, std::memory_order_release);
}

int qv_set_client_limits(const qv_client_limits* limits) {
    qv_client_limits given{};
    if (!readSized(limits, given)) return QV_ERROR;
    QUORVEX::QvAsrClientLimits cpp{given.connect_timeout_ms, given.start_timeout_ms,   given.stop_timeout_ms,
                                   given.ping_after_seconds, given.hang_up_after_seconds, given.send_queue_bytes};
    return QUORVEX::setClientLimits(&cpp);
}

int qv_set_resume_settings(const qv_resume_settings* settings) {
    if (!settings) return QUORVEX::setResumeSettings(nullptr);
    qv_resume_settings given{};
    if (!readSized(settings, given)) return QV_ERROR;
    QUORVEX::QvAsrResumeSettings cpp{given.enabled != 0, given.attempts,       given.backoff_ms,
                                     given.backoff_max_ms, given.jitter_percent, given.replay_ms};
    return QUORVEX::setResumeSettings(&cpp);
}

int qv_set_proxy_settings(const qv_proxy_settings* settings) {
    if (!settings) return QUORVEX::setProxySettings(nullptr);
    qv_proxy_settings given{};
    if (!readSized(settings, given)) return QV_ERROR;
    QUORVEX::QvAsrProxySettings cpp{};
    cpp.wsProxy = given.ws_proxy;
    cpp.wssProxy = given.wss_proxy;
    cpp.noProxy = given.no_proxy;
    cpp.useEnvironment = given.use_environment != 0;
    return QUORVEX::setProxySettings(&cpp);
}

int qv_set_tls_settings(const qv_tls_settings* settings) {
    if (!settings) return QUORVEX::setTlsSettings(nullptr);
    qv_tls_settings given{};
    if (!readSized(settings, given)) return QV_ERROR;
    QUORVEX::QvAsrTlsSettings cpp{};
    cpp.verify = given.verify != 0;
    cpp.caFile = given.ca_file;
    cpp.caPath = given.ca_path;
    return QUORVEX::setTlsSettings(&cpp);
}

} // extern "C"
