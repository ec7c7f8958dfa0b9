// Choice of the Mira interface, with injected adapter lists.
#include "backend/amp/mira_device.h"
#include "backend/amp/network_interfaces.h"
#include "tests/mira/fake_transport.h"

#include <boost/property_tree/json_parser.hpp>

#include <gtest/gtest.h>

#include <sstream>

namespace {

using namespace nox::amp;

std::uint32_t ip(unsigned a, unsigned b, unsigned c, unsigned d) { return a << 24 | b << 16 | c << 8 | d; }

adapter_source fixed(std::vector<adapter> adapters) {
    return [adapters] { return adapters; };
}

const std::vector<adapter> two{{"eth0", ip(10, 0, 0, 5)}, {"wlan0", ip(192, 168, 0, 7)}};

class InterfaceTest : public ::testing::Test {
protected:
    void SetUp() override { set_mira_interface(""); }
    void TearDown() override { set_mira_interface(""); }
};

TEST_F(InterfaceTest, ClosestCountsDifferingPositionsOverTheShorterText) {
    const std::vector<std::string> available{"10.0.0.5", "192.168.0.7"};
    EXPECT_EQ(closest_interface(available, "192.168.0.9"), "192.168.0.7");
    EXPECT_EQ(closest_interface({"192.168.0.10", "192.168.0.1"}, "192.168.0.1"), "192.168.0.10");
    EXPECT_EQ(closest_interface({"10.1.1.1", "10.2.2.2"}, "10.3.3.3"), "10.1.1.1");  // ties: the first
    EXPECT_EQ(closest_interface({}, "10.0.0.1"), "");
}

TEST_F(InterfaceTest, SelectPrefersExactMatchThenNearestThenLast) {
    const std::vector<std::string> available{"192.168.0.10", "192.168.0.1"};
    EXPECT_EQ(select_interface("192.168.0.1", "192.168.0.10", available), "192.168.0.1");
    EXPECT_EQ(select_interface("", "192.168.0.10", available), "192.168.0.10");
    EXPECT_EQ(select_interface("", "", available), "192.168.0.1");
    EXPECT_EQ(select_interface("10.0.0.9", "", {"10.0.0.5", "192.168.0.7"}), "10.0.0.5");
    EXPECT_EQ(select_interface("", "", {}), "");
    EXPECT_EQ(select_interface("10.0.0.9", "", {}), "");
}

TEST_F(InterfaceTest, RefreshWritesTheThreeSettings) {
    settings_map settings;
    refresh_interface_settings(settings, "", fixed(two));
    EXPECT_EQ(settings["selected_interface"], "192.168.0.7");
    EXPECT_EQ(settings["network_interface"], "10.0.0.5 192.168.0.7");
    EXPECT_EQ(settings["network_interface_names"], "\"eth0\" \"wlan0\"");
    // A stored choice stays; a preference moves it to the nearest adapter.
    settings["selected_interface"] = "10.0.0.5";
    refresh_interface_settings(settings, "", fixed(two));
    EXPECT_EQ(settings["selected_interface"], "10.0.0.5");
    refresh_interface_settings(settings, "192.168.0.9", fixed(two));
    EXPECT_EQ(settings["selected_interface"], "192.168.0.7");
    // No adapters: lists empty, choice kept.
    refresh_interface_settings(settings, "10.0.0.5", fixed({}));
    EXPECT_EQ(settings["selected_interface"], "192.168.0.7");
    EXPECT_EQ(settings["network_interface"], "");
    EXPECT_EQ(settings["network_interface_names"], "");
}

TEST_F(InterfaceTest, ApplyChoosesStoresSetsInForceAndDiscovers) {
    settings_map settings;
    std::string discovered_on = "none";
    const device_address found{1, 2, 5};
    auto discover = [&](const std::string& interface) {
        discovered_on = interface;
        return std::vector<device_address>{found};
    };
    auto result = apply_interface_and_discover(settings, "192.168.0.9", fixed(two), discover);
    EXPECT_EQ(result.interface_address, "192.168.0.7");
    EXPECT_EQ(settings["selected_interface"], "192.168.0.7");
    EXPECT_EQ(discovered_on, "192.168.0.7");
    EXPECT_EQ(result.devices, std::vector<device_address>{found});
    EXPECT_EQ(get_mira_interface(fixed({})), "192.168.0.7");

    // Nearness picks the first of two at distance 0, the exact match wins afterwards.
    const std::vector<adapter> similar{{"a", ip(192, 168, 0, 10)}, {"b", ip(192, 168, 0, 1)}};
    result = apply_interface_and_discover(settings, "192.168.0.1", fixed(similar), discover);
    EXPECT_EQ(result.interface_address, "192.168.0.1");
    EXPECT_EQ(settings["selected_interface"], "192.168.0.1");
}

TEST_F(InterfaceTest, NoAdapterMeansEmptyChoiceAndNoMiraTraffic) {
    settings_map settings{{"selected_interface", "10.0.0.5"}};
    std::string discovered_on = "none";
    auto result = apply_interface_and_discover(settings, "", fixed({}), [&](const std::string& interface) {
        discovered_on = interface;
        return std::vector<device_address>{};
    });
    EXPECT_EQ(result.interface_address, "");
    EXPECT_EQ(discovered_on, "");
    EXPECT_TRUE(result.devices.empty());
    EXPECT_EQ(settings["selected_interface"], "10.0.0.5");  // kept for when the adapter is back
    EXPECT_EQ(get_mira_interface(fixed({})), "");

    auto transport = std::make_shared<mira_test::fake_transport>();
    transport->replies["Dev.ModelName?"] = "VR45:4M";
    mira_device dev(device_address{1, 2, 2}, transport, [] { return get_mira_interface(fixed({})); });
    int on = 0;
    EXPECT_EQ(dev.read_power(on), 1);
    EXPECT_EQ(dev.write_power(1), 1);
    EXPECT_TRUE(transport->sent.empty());
}

TEST_F(InterfaceTest, InterfaceInForceIsTheLastAdapterUntilSet) {
    EXPECT_EQ(get_mira_interface(fixed({})), "");
    EXPECT_EQ(get_mira_interface(fixed(two)), "192.168.0.7");
    EXPECT_EQ(get_mira_interface(fixed({{"eth9", ip(1, 2, 3, 4)}})), "192.168.0.7");
    set_mira_interface("10.0.0.5");
    EXPECT_EQ(get_mira_interface(fixed(two)), "10.0.0.5");
}

TEST_F(InterfaceTest, SettingsDocumentListsAdaptersAndChoice) {
    settings_map settings{{"selected_interface", "10.0.0.5"}};
    const std::vector<adapter> dotted{{"eth0", ip(10, 0, 0, 5)}, {"br.lan", ip(192, 168, 0, 7)}};
    const auto document = network_settings_document(settings, fixed(dotted));
    const auto& networks = document.get_child("networks");
    ASSERT_EQ(networks.size(), 2u);
    EXPECT_EQ(networks.begin()->first, "eth0");
    EXPECT_EQ(networks.begin()->second.data(), "10.0.0.5");
    EXPECT_EQ(std::next(networks.begin())->first, "br.lan");
    EXPECT_EQ(document.get<std::string>("selected_ip"), "10.0.0.5");
    EXPECT_EQ(network_settings_json(settings, fixed(dotted)),
              "{\"networks\":{\"eth0\":\"10.0.0.5\",\"br.lan\":\"192.168.0.7\"},\"selected_ip\":\"10.0.0.5\"}");
    settings_map empty;
    EXPECT_EQ(network_settings_json(empty, fixed({})), "{\"networks\":{},\"selected_ip\":\"\"}");
}

TEST_F(InterfaceTest, SettingsDocumentFailsWhenNamesAndAddressesDiffer) {
    // Adapter names with a quote split into more names than addresses.
    settings_map settings;
    EXPECT_THROW(network_settings_document(settings, fixed({{"odd\"name", ip(10, 0, 0, 1)}})), std::runtime_error);
}

TEST_F(InterfaceTest, DottedAddress) {
    EXPECT_EQ(dotted_address(ip(10, 99, 0, 1)), "10.99.0.1");
    EXPECT_EQ(dotted_address(0xFFFFFFFFu), "255.255.255.255");
}

}  // namespace
