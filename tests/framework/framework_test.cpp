// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "framework/ti_framework.h"

namespace {

// Packed fields are read through a copy: binding a reference to them is misaligned.
template <typename T>
T val(T field) {
    return field;
}

unsigned char v6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

TEST(IpAddr, NewAndClearedRecordsAreIpv4ZeroAndNotLegal) {
    tagZVF_IPADDR address;
    EXPECT_EQ(address.addrType, 1);
    EXPECT_EQ(address.IsLegalIp(), 0);
    address.SetIpAddr(0x0100007f, 80);
    EXPECT_EQ(address.IsLegalIp(), 1);
    address.reserved = 7;
    address.Clear();
    EXPECT_EQ(address.reserved, 0u);
    EXPECT_EQ(address.IsLegalIp(), 0);
    address.addrType = 3;
    EXPECT_EQ(address.IsLegalIp(), 0) << "unknown address types are never legal";
}

TEST(IpAddr, SetAndGetFollowTheAddressType) {
    tagZVF_IPADDR address;
    address.SetIpv6Addr(v6, 443);
    EXPECT_EQ(address.addrType, 5);
    EXPECT_EQ(address.IsLegalIp(), 1);
    address.SetIpAddr(0, 0);
    EXPECT_EQ(address.addrType, 5) << "0/0 changes nothing";

    unsigned int ip = 99;
    unsigned short port = 99;
    address.GetIpAddr(&ip, &port);
    EXPECT_EQ(ip, 99u) << "an IPv6 record writes nothing as IPv4";
    unsigned char out[16] = {};
    address.GetIpv6Addr(out, &port);
    EXPECT_EQ(std::memcmp(out, v6, 16), 0);
    EXPECT_EQ(port, 443);
    address.GetIpv6Addr(nullptr, nullptr); // null outputs are skipped

    address.SetIpAddr(0, 80);
    EXPECT_EQ(address.addrType, 1);
    EXPECT_EQ(address.IsLegalIp(), 0);
    EXPECT_EQ(address.addr[4], v6[4]) << "bytes beyond the IPv4 address are left alone";
    address.GetIpAddr(&ip, nullptr);
    EXPECT_EQ(ip, 0u);

    tagZVF_IPADDR copy = address;
    EXPECT_EQ(std::memcmp(&copy, &address, sizeof copy), 0);
}

TEST(StaticNat, TableBoundsAndClear) {
    tagStaticNATAddr table;
    EXPECT_EQ(table.pairCount, 0);
    EXPECT_EQ(table.GetNATAddrPairs(10), nullptr);
    ASSERT_NE(table.GetNATAddrPairs(9), nullptr);
    tagNATAddrPairs pair;
    pair.firstAddr.SetIpAddr(0x0a000001, 5060);
    pair.secondAddr.SetIpv6Addr(v6, 5061);
    tagStaticNATAddr before = table;
    table.SetNATAddrPairs(pair, 10);
    EXPECT_EQ(std::memcmp(&before, &table, sizeof table), 0) << "index 10 changes nothing";
    for (unsigned int index = 0; index < 10; ++index) table.SetNATAddrPairs(pair, index);
    EXPECT_EQ(table.pairCount, 0) << "setting pairs does not count them";
    EXPECT_EQ(std::memcmp(table.GetNATAddrPairs(9), &pair, sizeof pair), 0);
    tagNATAddrPairs moved = std::move(pair);
    EXPECT_EQ(moved.secondAddr.addrType, 5);
    table.Clear();
    EXPECT_EQ(table.GetNATAddrPairs(3)->secondAddr.IsLegalIp(), 0);
}

class App : public CTiApp {
public:
    int InitApp() override { return 0; }
    void ExitApp() override {}
    CTiInstance* CreateInstance(unsigned short) override { return nullptr; }
    void DestroyInstance(unsigned short) override {}
    CTiInstance* GetInstance(unsigned short) override { return nullptr; }
    void OnTimer(unsigned int) override {}
    void Dump(void*) override {}
};

TEST(TiApp, DefaultsAndCopies) {
    App app;
    EXPECT_EQ(app.GetPriority(), 100);
    EXPECT_EQ(val(app.appId), 0u);
    EXPECT_EQ(val(app.errorCount), 0u);
    app.appId = 42;
    app.routes[99].weight = 7;
    App copy(app);
    EXPECT_EQ(val(copy.appId), 42u);
    EXPECT_EQ(val(copy.routes[99].weight), 7);
    // Data sits right after the table pointer, packed.
    EXPECT_EQ(reinterpret_cast<char*>(static_cast<CTiAppData*>(&app)) - reinterpret_cast<char*>(&app),
              static_cast<long>(sizeof(void*)));
}

std::string logged;
unsigned char loggedLevel = 9;
void captureTiLog(unsigned char level, const char* text) {
    loggedLevel = level;
    logged = text;
}

class Instance : public CTiInstance {
public:
    void InstanceEntry(CTiMessage* const) override {}
};

TEST(TiInstance, DefaultDaemonEntryLogsTheAppIdAndCopiesKeepData) {
    quorvex::framework::setTiLogSink(&captureTiLog);
    Instance instance;
    instance.appId = 17;
    instance.node = 3;
    std::memcpy(instance.name, "worker", 7);
    instance.DaemonInstanceEntry(nullptr, nullptr);
    EXPECT_EQ(loggedLevel, 0);
    EXPECT_EQ(logged, "ZVF: message received in default daemon instance of app 17.\nCheck your daemon implementation, please!\n");
    Instance copy(instance);
    EXPECT_EQ(val(copy.node), 3u);
    EXPECT_STREQ(reinterpret_cast<const char*>(copy.name), "worker");
    Instance assigned;
    assigned = std::move(copy);
    EXPECT_EQ(val(assigned.appId), 17);
    assigned.InstanceDump(nullptr);
    assigned.DaemonInstanceDump(nullptr);
    assigned.InstanceExit();
    quorvex::framework::setTiLogSink(nullptr);
}

} // namespace
