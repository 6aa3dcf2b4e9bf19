// SPDX-License-Identifier: Apache-2.0
#include "transport/wss_context.h"

#include "transport/engine/event_loop.h"
#include "transport/wss_config.h"


CWSSContext::CWSSContext() : lwsContext(nullptr), taskId(0) {}

CWSSContext::~CWSSContext() { stop(); }

void CWSSContext::init(lws_context* ctx) { lwsContext = ctx; }

lws_context* CWSSContext::getContext() { return lwsContext; }

std::set<void*>& CWSSContext::getAll() { return allSet; }

unsigned int CWSSContext::getTaskId() { return taskId; }

void CWSSContext::setTaskId(unsigned int id) { taskId = id; }

bool CWSSContext::start(const tagWSSvrConfig& config, unsigned int rxBufferSize, unsigned int txFragmentSize) {
    if (loop_) return true;
    auto loop = std::make_shared<Loop>(this);
    if (!loop->start(config, rxBufferSize, txFragmentSize)) return false;
    loop_ = std::move(loop);
    return true;
}

bool CWSSContext::startServer(const tagWSSvrConfig& config, ConnFactory factory, unsigned int rxBufferSize,
                              unsigned int txFragmentSize, const tagWSSLimits& limits) {
    if (loop_ || !factory) return false;
    auto loop = std::make_shared<Loop>(this);
    // Published before the loop runs: accepted connections take it from here.
    loop_ = loop;
    if (!loop->start(config, rxBufferSize, txFragmentSize, std::move(factory), limits)) {
        loop_.reset();
        return false;
    }
    return true;
}

int CWSSContext::listenPort() const { return loop_ ? loop_->listenPort() : 0; }

void CWSSContext::stop() {
    if (loop_) loop_->stop();
}

bool CWSSContext::isLoopThread() const { return loop_ && loop_->onLoopThread(); }

void* CWSSContext::addTimer(std::function<bool(void*)> callback, unsigned int intervalMs) {
    return loop_ ? loop_->timers().add(std::move(callback), intervalMs) : nullptr;
}

void CWSSContext::delTimer(void* handle) {
    if (loop_) loop_->timers().remove(handle);
}
