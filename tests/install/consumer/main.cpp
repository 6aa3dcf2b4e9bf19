// SPDX-License-Identifier: Apache-2.0
#include <quorvex/quorvex.h>
#include <quorvex/wss/wss_config.h>

#include <cstdio>
#include <cstring>

int main() {
    QUORVEX::QvAsrSdkLogParam log{false, nullptr, nullptr};
    QUORVEX::QvAsrSdkInitParam params{};
    if (QUORVEX::init(&log, &params) != 0) return 1;
    tagWSSvrConfig config;
    if (config.listenPort != 7961) return 2;
    std::printf("quorvex %s\n", QUORVEX::getVersion());
    bool ok = std::strcmp(QUORVEX::getVersion(), "v1.0.0") == 0;
    QUORVEX::release();
    return ok ? 0 : 3;
}
