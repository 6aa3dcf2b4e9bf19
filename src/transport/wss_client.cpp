// SPDX-License-Identifier: Apache-2.0
#include "transport/wss_client.h"

#include <libwebsockets.h>

#include "transport/conn/conn_fields.h"
#include "transport/conn/conn_handle.h"
#include "transport/engine/event_loop.h"
#include "transport/client/url.h"
#include "transport/wss_config.h"
#include "transport/wss_context.h"

using quorvex::transport::detail::ConnFields;
using quorvex::transport::parseWsUrl;

CWSSClient::CWSSClient(std::function<void(const char*, int)> text, std::function<void()> close)
    : closeCallback(std::move(close)), textCallback(std::move(text)), clientContext(nullptr) {
    ConnFields::handle(*this).client = true;
}

CWSSClient::~CWSSClient() {
    clearSet();
    destroyContext();
}

CWSSContext* CWSSClient::createContext(const tagWSSvrConfig* config, unsigned int rxBufferSize,
                                       unsigned int txFragmentSize) {
    if (clientContext) return clientContext;
    tagWSSvrConfig defaults;
    auto* context = new CWSSContext();
    if (!context->start(config ? *config : defaults, rxBufferSize, txFragmentSize)) {
        delete context;
        return nullptr;
    }
    clientContext = context;
    return clientContext;
}

void CWSSClient::destroyContext() {
    if (!clientContext) return;
    if (clientContext->isLoopThread()) {
        lwsl_err("destroyContext called on the context's own loop thread; ignored\n");
        return;
    }
    clientContext->stop();
    delete clientContext;
    clientContext = nullptr;
}

CWSSContext* CWSSClient::getContext() { return clientContext; }

void CWSSClient::setNoSSLVerify() { ConnFields::handle(*this).noSslVerify = true; }

bool CWSSClient::connect(CWSSContext* ctx, const std::string& url, const std::string&,
                         std::function<void(bool)> onResult, int) {
    if (!ctx || !ctx->loop()) return false;
    const char* why = nullptr;
    auto parsed = parseWsUrl(url, &why);
    if (!parsed) {
        lwsl_err("cannot connect to \"%.200s\": %s\n", url.c_str(), why);
        return false;
    }
    auto& handle = ConnFields::handle(*this);
    if (handle.active.exchange(true)) {
        lwsl_err("connect refused: a connection is already in progress\n");
        return false;
    }
    connectCallback = std::move(onResult);
    ConnFields::prepareQueue(*this);
    handle.setLoop(ctx->loop());
    if (!ctx->loop()->connector().begin(this, std::move(*parsed))) {
        handle.active = false;
        return false;
    }
    return true;
}

void CWSSClient::clearSet() {
    if (auto loop = ConnFields::handle(*this).loop()) loop->connections().detach(this);
}

void CWSSClient::onEstablished() {
    if (connectCallback) connectCallback(true);
}

void CWSSClient::onConnectErr() {
    if (connectCallback) connectCallback(false);
}

void CWSSClient::onClose() {
    if (closeCallback) closeCallback();
}

void CWSSClient::onTextData(const char* data, int len) {
    if (textCallback) textCallback(data, len);
}
