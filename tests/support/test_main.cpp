// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include "lws_log.h"

int main(int argc, char** argv) {
    quorvex::test::captureLwsLog();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
