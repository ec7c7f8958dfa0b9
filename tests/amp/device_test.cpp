// The device base class: last contact and the unreachable hold-off, the monitor's
// firmware check and the firmware parameter, on the scripted device.
#include "backend/amp/device.h"

#include "tests/fakes/fake_device.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

using nox::amp::manual_clock;
using nox::amp::param_range;
using nox::testing::fake_device;

class DeviceTest : public ::testing::Test {
protected:
    DeviceTest() { dev.minimum_firmware = 7.0f; }

    std::shared_ptr<manual_clock> clock = std::make_shared<manual_clock>(50000);
    fake_device dev{clock};
};

TEST_F(DeviceTest, StartsCleared) {
    EXPECT_FALSE(dev.old_firmware());
    EXPECT_EQ(dev.firmware(), 0.0f);
    EXPECT_EQ(dev.last_contact(), 0);
    EXPECT_FALSE(dev.ptg2_support());
}

TEST_F(DeviceTest, SinceLastContactFollowsTheInjectedClock) {
    dev.touch();
    EXPECT_EQ(dev.last_contact(), 50000);
    clock->advance(1234);
    EXPECT_EQ(dev.since_last_contact(), 1234);
}

TEST_F(DeviceTest, UnreachableDeviceIsHeldOffForFifteenSeconds) {
    dev.touch();
    EXPECT_FALSE(nox::amp::in_unreachable_hold_off(dev));
    dev.set_unreachable();
    EXPECT_TRUE(nox::amp::in_unreachable_hold_off(dev));
    clock->advance(14999);
    EXPECT_TRUE(nox::amp::in_unreachable_hold_off(dev));
    clock->advance(1);
    EXPECT_FALSE(nox::amp::in_unreachable_hold_off(dev));
}

TEST_F(DeviceTest, ContactInTheFutureDoesNotHoldOff) {
    dev.set_unreachable();
    clock->advance(10);
    dev.touch();
    clock->advance(-10);
    EXPECT_FALSE(nox::amp::in_unreachable_hold_off(dev));
}

TEST_F(DeviceTest, FirmwareCheckFlagsOldFirmwareOnce) {
    dev.current_firmware = 6.5f;
    EXPECT_TRUE(nox::amp::check_firmware(dev));
    EXPECT_TRUE(dev.old_firmware());
    EXPECT_FALSE(nox::amp::check_firmware(dev));  // already flagged: reported once
}

TEST_F(DeviceTest, FirmwareCheckClearsTheFlagWhenTheFirmwareIsNewEnough) {
    dev.current_firmware = 7.0f;
    dev.set_old_firmware(true);
    EXPECT_FALSE(nox::amp::check_firmware(dev));
    EXPECT_FALSE(dev.old_firmware());
}

TEST_F(DeviceTest, FirmwareCheckLeavesUnclearCasesAlone) {
    dev.current_firmware = 6.0f;
    dev.set_unreachable();
    EXPECT_FALSE(nox::amp::check_firmware(dev));
    dev.is_unreachable = false;
    dev.needs_login = true;
    EXPECT_FALSE(nox::amp::check_firmware(dev));
    dev.needs_login = false;
    dev.results["read_power"] = 13;
    EXPECT_FALSE(nox::amp::check_firmware(dev));
    EXPECT_FALSE(dev.old_firmware());
}

TEST_F(DeviceTest, FirmwareParameterIsBlockZeroIndexFour) {
    dev.param_words = {7};
    float version = 0;
    EXPECT_EQ(dev.read_firmware_parameter(version), 0);
    EXPECT_EQ(dev.last_range, (param_range{0, 4, 4}));
    EXPECT_FLOAT_EQ(version, 7.0f);

    dev.results["read_params"] = 6;  // "Parameter accepted" counts as success
    dev.param_words = {19};
    EXPECT_EQ(dev.read_firmware_parameter(version), 0);
    EXPECT_FLOAT_EQ(version, 19.0f);
}

TEST_F(DeviceTest, FirmwareParameterFailuresLeaveTheVersionAlone) {
    float version = 3.0f;
    dev.results["read_params"] = 13;
    EXPECT_EQ(dev.read_firmware_parameter(version), 13);
    dev.results.clear();
    dev.param_words.clear();
    EXPECT_EQ(dev.read_firmware_parameter(version), 1);
    EXPECT_FLOAT_EQ(version, 3.0f);
}

TEST(DeviceAddress, TextIsTwoZeroFilledHexHalves) {
    EXPECT_EQ((nox::amp::device_address{0x0001a2b3, 0x0c0d0e0f, 2}.text()), "0001a2b3:0c0d0e0f");
    EXPECT_EQ(nox::amp::address_text(0xFFFFFFFF00000001ull), "ffffffff:00000001");
}

}  // namespace
