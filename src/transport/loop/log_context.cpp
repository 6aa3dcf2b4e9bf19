// SPDX-License-Identifier: Apache-2.0
#include "transport/loop/log_context.h"

#include "transport/transport_control.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace quorvex::transport {

const char* afterLwsTimestamp(const char* line) {
    if (line[0] != '[') return line;
    const char* close = std::strstr(line, "] ");
    if (close && close[2] != '\0' && close[3] == ':' && close[4] == ' ') return close + 5;
    return line;
}

} // namespace quorvex::transport

namespace quorvex::transport::detail {

#if defined(QUORVEX_LWS_HAS_LOG_CX)

namespace {

// The line is whole and formatted in libwebsockets' own buffer; the
// process-wide path formats into that same buffer, so it goes from a copy.
void forwardToProcessLog(lws_log_cx_t*, int level, const char* line, std::size_t length) {
    char copy[1024];
    const char* text = afterLwsTimestamp(line);
    length -= static_cast<std::size_t>(text - line);
    length = std::min(length, sizeof copy - 1);
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    _lws_log(level, "%s", copy);
}

} // namespace

LwsLogContext::LwsLogContext() { cx_.u.emit_cx = &forwardToProcessLog; }

void LwsLogContext::bind(lws_context_creation_info& info) {
    // Errors, warnings and notices always go on, and the process-wide level
    // decides at each line, so a level set after this context started applies
    // to them too; they are rare. Chattier levels, built in only in debug
    // builds of libwebsockets, are formatted only if visible when it starts.
    std::uint32_t levels = LLLF_LOG_CONTEXT_AWARE | LLL_ERR | LLL_WARN | LLL_NOTICE | LLL_USER;
    for (int level = 1; level < (1 << LLL_COUNT); level <<= 1)
        if (lwsl_visible(level)) levels |= static_cast<std::uint32_t>(level);
    cx_.lll_flags = levels;
    info.log_cx = &cx_;
}

void LwsLogContext::bindVhost(lws_context* context, lws_context_creation_info& info) {
    info.log_cx = lwsl_context_get_cx(context);
}

#else

LwsLogContext::LwsLogContext() = default;
void LwsLogContext::bind(lws_context_creation_info&) {}
void LwsLogContext::bindVhost(lws_context*, lws_context_creation_info&) {}

#endif

} // namespace quorvex::transport::detail
