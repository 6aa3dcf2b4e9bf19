#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Checks the dynamic symbol table of the built library: everything meant for
# callers is exported, and no internal helper is.
set -uo pipefail
library=$1
symbols=$(nm -DC --defined-only "$library") || { echo "nm failed on $library"; exit 1; }
failed=0
expect() {
  grep -qF -- "$1" <<<"$symbols" || { echo "missing export: $1"; failed=1; }
}
forbid() {
  if grep -qF -- "$1" <<<"$symbols"; then echo "internal symbol exported: $1"; failed=1; fi
}
for name in "QUORVEX::init(" "QUORVEX::release()" "QUORVEX::getVersion()" "QUORVEX::createAsrInstance()" \
            "QUORVEX::destroyAsrInstance(" "QUORVEX::setClientLimits(" "QUORVEX::setStartFailureListener(" "QUORVEX::setProxySettings(" "QUORVEX::setTlsSettings(" \
            "CWSSClient::connect(" "CWSSClient::createContext(" "CWSSClient::destroyContext()" "CWSSClient::getContext()" \
            "CWSSClient::setNoSSLVerify()" "CWSSClient::clearSet()" "CWSSClient::onConnectErr()" "CWSSClient::~CWSSClient()" \
            "CWSSConn::init(" "CWSSConn::uninit()" "CWSSConn::close()" "CWSSConn::writeText(" "CWSSConn::writeBinary(" \
            "CWSSConn::getSndQueueLen()" "CWSSConn::getRcvBytes()" "CWSSConn::getPeerAddr" "CWSSConn::processRequest()" \
            "CWSSConn::processHttp(" "CWSSConn::httpProcess()" "CWSSConn::appendBody(" "CWSSConn::onHttpWrite()" \
            "CWSSContext::addTimer(" "CWSSContext::delTimer(" "CWSSContext::getAll()" "CWSSContext::getTaskId()" \
            "CWSSContext::startServer(" "tagWSSvrConfig::tagWSSvrConfig()" \
            "tagZVF_IPADDR::IsLegalIp()" "tagZVF_IPADDR::SetIpv6Addr(" "tagNATAddrPairs::Clear()" \
            "tagStaticNATAddr::GetNATAddrPairs(" "tagStaticNATAddr::SetNATAddrPairs(" "CTiApp::GetPriority()" \
            "CTiApp::~CTiApp()" "CTiInstance::DaemonInstanceEntry(" "CTiInstance::InstanceExit()" \
            "vtable for CWSSClient" "typeinfo for CWSSConn" \
            "typeinfo for QUORVEX::QvAsrStartFailureListener" "QUORVEX::QvAsrStartFailureListener::~QvAsrStartFailureListener()" \
            "qv_version" "qv_init" "qv_release" "qv_set_loop_threads" "qv_set_client_limits" "qv_set_proxy_settings" \
            "qv_set_tls_settings" "qv_client_create" "qv_client_start" "qv_client_send_audio" "qv_client_stop" \
            "qv_client_destroy" "qv_client_next_event" "qv_client_event_fd"; do
  expect "$name"
done
for name in "sdkLog" "sdkLogInit" "QvAsrClientImpl" "classifyFrame" "fromJson" "getString" "EventLoop" \
            "parseWsUrl" "SendQueue" "Resolver" "appendFrame" "ConnFields" "currentClientLimits" "sharedClient" "AsrMsgTypeNames" \
            "EventQueue" "EventSink" "typeinfo for std::" " std::vector<"; do
  forbid "$name"
done
[[ $failed -eq 0 ]] && echo "exported surface as expected ($(wc -l <<<"$symbols") symbols)"
exit $failed
