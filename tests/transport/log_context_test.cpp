// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>
#include <libwebsockets.h>

#include "lws_log.h"
#include "transport/loop/log_context.h"

using namespace quorvex::test;
using quorvex::transport::detail::LwsLogContext;

// An application may raise libwebsockets' level after the library's contexts
// started (its own debugging, or a test capturing the log): their own lines
// must follow the level as it is then.
TEST(LwsLogContext, ALevelSetAfterAContextStartedAppliesToItsLines) {
#if !defined(QUORVEX_LWS_HAS_LOG_CX)
    GTEST_SKIP() << "libwebsockets before 4.3 has no log contexts";
#else
    lws_set_log_level(0, nullptr);
    LwsLogContext log;
    lws_context_creation_info info{};
    info.port = CONTEXT_PORT_NO_LISTEN;
    log.bind(info);
    lws_context* context = lws_create_context(&info);
    ASSERT_NE(context, nullptr);
    captureLwsLog();
    lwsl_cx_err(context, "an error after the level was raised");
    lws_context_destroy(context);
    EXPECT_TRUE(lwsLogContains("an error after the level was raised")) << "the context kept the level it started with";
#endif
}
