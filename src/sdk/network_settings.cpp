// SPDX-License-Identifier: Apache-2.0
#include "network_settings.h"

#include <mutex>
#include <string>

#include "log.h"
#include "platform/system.h"
#include "transport/transport_control.h"

namespace QUORVEX {

namespace {

using quorvex::transport::ProxyChoice;

std::mutex settingsLock; // guards proxyChoice and tlsChoice: set and read by application threads
ProxyChoice proxyChoice;
tagWSSRoute tlsChoice;

std::string orEmpty(const char* text) { return text ? text : ""; }

bool acceptable(const char* url, const char* which) {
    if (!url || !*url) return true;
    const char* why = nullptr;
    if (quorvex::transport::isProxyUrl(url, &why)) return true;
    sdkLog("QUORVEX::setProxySettings refused: %s proxy: %s", which, why);
    return false;
}

} // namespace

int setProxySettings(const QvAsrProxySettings* settings) {
    sdkLog("QUORVEX::setProxySettings");
    ProxyChoice choice;
    if (settings) {
        if (!acceptable(settings->wsProxy, "ws://") || !acceptable(settings->wssProxy, "wss://")) return -1;
        choice.wsProxy = orEmpty(settings->wsProxy);
        choice.wssProxy = orEmpty(settings->wssProxy);
        choice.noProxy = orEmpty(settings->noProxy);
        choice.noProxySet = settings->noProxy != nullptr;
        // An older caller's record has padding where useEnvironment is: its
        // ignoreEnvironment still keeps the environment out whatever that holds.
        choice.useEnvironment = settings->useEnvironment && !settings->ignoreEnvironment;
    }
    std::lock_guard<std::mutex> guard(settingsLock);
    proxyChoice = choice;
    return 0;
}

namespace {

// The file is read now, each call again, so that a bad one is blamed here rather than on every
// server; the folder is only looked at, as OpenSSL reads it at each check.
bool readCas(tagWSSRoute& tls) {
    const char* why = nullptr;
    if (!tls.caFile.empty() && !(tls.caBundle = quorvex::transport::readCaBundle(tls.caFile, &why))) {
        sdkLog("QUORVEX::setTlsSettings refused: the CA file %s %s", tls.caFile.c_str(), why);
        return false;
    }
    auto kind = tls.caPath.empty() ? quorvex::platform::PathKind::Folder : quorvex::platform::pathKind(tls.caPath);
    if (kind == quorvex::platform::PathKind::Missing) why = "does not exist";
    else if (kind != quorvex::platform::PathKind::Folder) why = "is not a folder";
    if (why) sdkLog("QUORVEX::setTlsSettings refused: the CA folder %s %s", tls.caPath.c_str(), why);
    return why == nullptr;
}

} // namespace

int setTlsSettings(const QvAsrTlsSettings* settings) {
    sdkLog("QUORVEX::setTlsSettings");
    tagWSSRoute tls;
    if (settings) {
        if (!settings->verify && (settings->caFile || settings->caPath)) {
            sdkLog("QUORVEX::setTlsSettings refused: CA given with verification off");
            return -1;
        }
        tls.verify = settings->verify;
        tls.caFile = orEmpty(settings->caFile);
        tls.caPath = orEmpty(settings->caPath);
        if (!readCas(tls)) return -1;
    }
    std::lock_guard<std::mutex> guard(settingsLock);
    tlsChoice = tls;
    return 0;
}

std::optional<tagWSSRoute> currentRoute(const quorvex::transport::WsUrl& url) {
    ProxyChoice choice;
    tagWSSRoute route;
    {
        std::lock_guard<std::mutex> guard(settingsLock);
        choice = proxyChoice;
        route = tlsChoice;
    }
    const char* why = nullptr;
    if (!quorvex::transport::chooseProxy(url, choice, route, &why)) {
        sdkLog("QUORVEX::QvAsrClientImpl::start refused: the %s proxy setting is not a proxy URL: %s",
               url.tls ? "wss://" : "ws://", why);
        return std::nullopt;
    }
    return route;
}

} // namespace QUORVEX
