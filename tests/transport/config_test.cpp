// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <cstring>

#include "transport/wss_config.h"

TEST(WSSvrConfig, ConstructorDefaultsAndCopies) {
    tagWSSvrConfig config;
    const auto* bytes = reinterpret_cast<const unsigned char*>(&config);
    EXPECT_EQ(config.listenPort, 7961);
    EXPECT_EQ(config.uid, -1);
    EXPECT_EQ(config.gid, -1);
    EXPECT_EQ(config.maxHeaderPool, 32);
    EXPECT_EQ(config.timeoutSeconds, 300);
    for (std::size_t i = 4; i < 784; ++i) ASSERT_EQ(bytes[i], 0) << "byte " << i;
    for (std::size_t i = 812; i < 972; ++i) ASSERT_EQ(bytes[i], 0) << "byte " << i;
    EXPECT_EQ(config.lwsOptions, 0);
    EXPECT_EQ(config.keepAliveSeconds | config.keepAliveProbes | config.keepAliveInterval, 0);

    std::strcpy(config.moduleName, "quorvex");
    std::strcpy(config.certFile, "/c.pem");
    tagWSSvrConfig copy = config;
    EXPECT_EQ(std::memcmp(&copy, &config, sizeof config), 0);
}
