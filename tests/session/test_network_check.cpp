// The "usable network" rule over adapter lists, and the real adapter scan.
#include "session/network_check.h"

#include <gtest/gtest.h>

using talvik::AnyUsableAdapter;
using talvik::NetworkAdapter;

TEST(network_check, only_an_up_non_loopback_adapter_with_a_real_ipv4_address_counts)
{
    EXPECT_FALSE(AnyUsableAdapter({}));
    EXPECT_FALSE(AnyUsableAdapter({{true, true, {"127.0.0.1"}}})) << "loopback";
    EXPECT_FALSE(AnyUsableAdapter({{false, true, {"0.0.0.0"}}})) << "unassigned address";
    EXPECT_FALSE(AnyUsableAdapter({{false, false, {"192.168.1.20"}}})) << "down";
    EXPECT_FALSE(AnyUsableAdapter({{false, true, {}}})) << "no IPv4 address";
    EXPECT_TRUE(AnyUsableAdapter({{false, true, {"0.0.0.0", "10.0.0.7"}}}));
    EXPECT_TRUE(AnyUsableAdapter({{true, true, {"127.0.0.1"}}, {false, true, {"192.168.1.20"}}}));
}

TEST(network_check, the_machine_lists_its_loopback_adapter)
{
    std::vector<NetworkAdapter> adapters;
    ASSERT_TRUE(talvik::ListNetworkAdapters(&adapters));
    bool loopback = false;
    for (const NetworkAdapter& adapter : adapters)
        for (const std::string& address : adapter.ipv4Addresses)
            loopback = loopback || (adapter.loopback && address == "127.0.0.1");
    EXPECT_TRUE(loopback);
}
