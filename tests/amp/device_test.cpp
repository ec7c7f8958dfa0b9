#include "backend/amp/device.h"

#include "tests/amp/write_operations.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

using nox::amp::device;
using nox::amp::manual_clock;
using nox::amp::param_range;

// A device whose "wire" is a counter: writes follow the base class's old-firmware rule,
// reads always go out. Results are scripted per test.
class fake_device : public device {
public:
    explicit fake_device(std::shared_ptr<manual_clock> clock) : device(clock) {}

    int sends = 0;
    int streak = 0;
    int power_result = 0;
    bool login = false;
    float minimum = 7.0f;
    int params_result = 0;
    std::vector<std::uint32_t> params_words{7};
    param_range last_range;

    int send() { return ++sends, 0; }
    int write() { return refuse_write() ? nox::amp::result_refused : send(); }

    void cache_on() override {}
    void cache_off() override {}
    bool unreachable() const override { return streak > 2; }
    void set_unreachable() override { streak = 3; }
    int read_params(const param_range& range, std::vector<std::uint32_t>& values) override {
        ++sends;
        last_range = range;
        values = params_words;
        return params_result;
    }
    int write_params(const param_range&, const std::vector<std::uint32_t>&) override { return write(); }
    int read_monitor(std::vector<std::uint32_t>&) override { return send(); }
    int read_frame_name(std::string&) override { return send(); }
    int write_frame_name(const std::string&) override { return write(); }
    int read_channel_names(std::vector<std::string>&) override { return 0; }
    int read_routing(std::vector<std::string>&) override { return send(); }
    int soft_reset() override { return write(); }
    bool login_required(std::string&) override { return login; }
    void set_credentials(const std::string&, const std::string&) override {}
    bool connected() const override { return !unreachable(); }
    int write_channel_names(const std::vector<std::string>&) override { return write(); }
    int read_mute(int, int& mute) override { return mute = 0, send(); }
    int write_mute(int, int) override { return write(); }
    int write_power(int) override { return write(); }
    int read_power(int& on) override {
        ++sends;
        on = 1;
        return power_result;
    }
    int read_model(int&, std::string&, std::string&) override { return send(); }
    int read_bridge_mode(unsigned, int&, bool&) override { return send(); }
    int read_channel_labels(int, std::string&, std::string&) override { return send(); }
    int write_ref_impedance(int, const std::array<float, 2>&) override { return write(); }
    int write_pilot_signal_all(const std::array<int, 2>&, const std::array<float, 2>&) override { return write(); }
    int write_pilot_signal(int, const std::array<int, 2>&, const std::array<float, 2>&) override { return write(); }
    int write_pilot_factor(int, const std::array<float, 2>&) override { return write(); }
    int start_calibration(int) override { return write(); }
    int calibration_done(int, int&) override { return send(); }
    int enable_pilot(int, int, int) override { return write(); }
    int read_pilot(int, nox::amp::pilot_readings&) override { return send(); }
    int parameter_list(const int&, std::vector<nox::amp::param_entry>&) override { return 0; }
    int read_param(const nox::amp::param_entry&, nox::amp::param_value&) override { return send(); }
    int write_param(const nox::amp::param_entry&, const std::string&) override { return write(); }
    float min_firmware_version() const override { return minimum; }
};

class DeviceTest : public ::testing::Test {
protected:
    std::shared_ptr<manual_clock> clock = std::make_shared<manual_clock>(50000);
    fake_device dev{clock};
};

TEST_F(DeviceTest, StartsCleared) {
    EXPECT_FALSE(dev.old_firmware());
    EXPECT_EQ(dev.firmware_version(), 0.0f);
    EXPECT_EQ(dev.last_contact.load(), 0);
    EXPECT_FALSE(dev.lists_built);
}

TEST_F(DeviceTest, OldFirmwareRefusesEveryWriteAndSendsNothing) {
    dev.set_old_firmware(true);
    for (const auto& [name, operation] : amp_test::every_write_operation()) {
        EXPECT_EQ(operation(dev), nox::amp::result_refused) << name;
    }
    EXPECT_EQ(dev.sends, 0);
    int on = 0;
    EXPECT_EQ(dev.read_power(on), 0);  // reads still work
    EXPECT_EQ(dev.sends, 1);
}

TEST_F(DeviceTest, CurrentFirmwareLetsEveryWriteThrough) {
    const auto operations = amp_test::every_write_operation();
    for (const auto& [name, operation] : operations) EXPECT_EQ(operation(dev), 0) << name;
    EXPECT_EQ(dev.sends, static_cast<int>(operations.size()));
}

TEST_F(DeviceTest, SinceLastContactFollowsTheInjectedClock) {
    dev.touch();
    EXPECT_EQ(dev.last_contact.load(), 50000);
    clock->advance(1234);
    EXPECT_EQ(dev.since_last_contact(), 1234);
}

TEST_F(DeviceTest, UnreachableDeviceIsHeldOffForFifteenSeconds) {
    dev.touch();
    EXPECT_FALSE(nox::amp::in_unreachable_hold_off(dev));
    dev.set_unreachable();
    EXPECT_FALSE(dev.connected());
    EXPECT_TRUE(nox::amp::in_unreachable_hold_off(dev));
    clock->advance(14999);
    EXPECT_TRUE(nox::amp::in_unreachable_hold_off(dev));
    clock->advance(1);
    EXPECT_FALSE(nox::amp::in_unreachable_hold_off(dev));
}

TEST_F(DeviceTest, ContactInTheFutureDoesNotHoldOff) {
    dev.set_unreachable();
    dev.last_contact = clock->now_ms() + 10;
    EXPECT_FALSE(nox::amp::in_unreachable_hold_off(dev));
}

TEST_F(DeviceTest, FirmwareCheckFlagsOldFirmwareOnce) {
    dev.firmware = 6.5f;
    EXPECT_TRUE(nox::amp::check_firmware(dev));
    EXPECT_TRUE(dev.old_firmware());
    EXPECT_FALSE(nox::amp::check_firmware(dev));  // already flagged: reported once
}

TEST_F(DeviceTest, FirmwareCheckClearsTheFlagWhenTheFirmwareIsNewEnough) {
    dev.firmware = 7.0f;
    dev.set_old_firmware(true);
    EXPECT_FALSE(nox::amp::check_firmware(dev));
    EXPECT_FALSE(dev.old_firmware());
}

TEST_F(DeviceTest, FirmwareCheckLeavesUnclearCasesAlone) {
    dev.firmware = 6.0f;
    dev.set_unreachable();
    EXPECT_FALSE(nox::amp::check_firmware(dev));
    dev.streak = 0;
    dev.login = true;
    EXPECT_FALSE(nox::amp::check_firmware(dev));
    dev.login = false;
    dev.power_result = 13;
    EXPECT_FALSE(nox::amp::check_firmware(dev));
    EXPECT_FALSE(dev.old_firmware());
}

TEST_F(DeviceTest, FirmwareParameterIsBlockZeroIndexFour) {
    float version = 0;
    EXPECT_EQ(dev.read_firmware_parameter(version), 0);
    EXPECT_EQ(dev.last_range, (param_range{0, 4, 4}));
    EXPECT_FLOAT_EQ(version, 7.0f);

    dev.params_result = 6;  // "Parameter accepted" counts as success
    dev.params_words = {19};
    EXPECT_EQ(dev.read_firmware_parameter(version), 0);
    EXPECT_FLOAT_EQ(version, 19.0f);
}

TEST_F(DeviceTest, FirmwareParameterFailuresLeaveTheVersionAlone) {
    float version = 3.0f;
    dev.params_result = 13;
    EXPECT_EQ(dev.read_firmware_parameter(version), 13);
    dev.params_result = 0;
    dev.params_words.clear();
    EXPECT_EQ(dev.read_firmware_parameter(version), 1);
    EXPECT_FLOAT_EQ(version, 3.0f);
}

TEST(DeviceAddress, TextIsTwoZeroFilledHexHalves) {
    EXPECT_EQ((nox::amp::device_address{0x0001a2b3, 0x0c0d0e0f, 2}.text()), "0001a2b3:0c0d0e0f");
    EXPECT_EQ(nox::amp::address_text(0xFFFFFFFF00000001ull), "ffffffff:00000001");
}

}  // namespace
