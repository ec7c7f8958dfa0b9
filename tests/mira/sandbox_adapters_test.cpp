// The machine's adapters as getifaddrs reports them, inside the network sandbox
// (orva0 10.99.0.1 and orva1 10.99.0.2, in whatever order the kernel lists them).
#include "backend/amp/network_interfaces.h"

#include <gtest/gtest.h>

#include <map>

namespace {

using namespace nox::amp;

TEST(SandboxAdapters, ListsTheTwoVethEndsAndNoLoopback) {
    const auto adapters = list_adapters();
    std::map<std::string, std::string> by_name;
    for (const auto& a : adapters) by_name[a.description] = dotted_address(a.ip);
    EXPECT_EQ(by_name.size(), adapters.size());  // one adapter per name
    EXPECT_EQ(by_name, (std::map<std::string, std::string>{{"orva0", "10.99.0.1"}, {"orva1", "10.99.0.2"}}));
}

TEST(SandboxAdapters, InterfaceInForceDefaultsToTheLastListed) {
    set_mira_interface("");
    const auto adapters = list_adapters();
    ASSERT_FALSE(adapters.empty());
    EXPECT_EQ(get_mira_interface(), dotted_address(adapters.back().ip));
    settings_map settings;
    refresh_interface_settings(settings, "10.99.0.3");
    EXPECT_EQ(settings["selected_interface"], dotted_address(adapters.front().ip));  // both at distance 1: first
    set_mira_interface("");
}

}  // namespace
