// A scriptable amplifier device for tests that need no network: every operation answers
// from public fields, counts what it was asked, and returns `result` (or a per-operation
// override). Writes follow the base class's old-firmware rule.
//
// Thread safety: the counters are atomics; set the scripted fields before handing the
// device to other threads.
#pragma once

#include "backend/amp/device.h"

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace nox::testing {

class fake_device : public amp::device {
public:
    explicit fake_device(std::shared_ptr<const amp::clock> clock = amp::steady_clock_source())
        : device(std::move(clock)) {}

    // Scripted state.
    int result = 0;                // result of every operation not scripted otherwise
    bool is_unreachable = false;
    bool is_connected = true;
    bool needs_login = false;
    std::string system_name = "server";
    std::string accepted_user, accepted_password;  // credentials that connect a login
    float minimum_firmware = 1.0f;
    float current_firmware = 2.0f;
    std::string frame_name = "Amp";
    std::vector<std::string> channel_names{"A", "B", "C", "D"};
    std::vector<std::string> routing{"Out1", "Out2", "Out3", "Out4"};
    int power = 1;
    std::array<int, 4> mutes{};
    int model_code = 28;
    std::string model_name = "M-4";
    std::string type = "mira";
    std::vector<std::uint32_t> monitor_words = std::vector<std::uint32_t>(61, 0);

    // Observations.
    std::atomic<int> reads{0};
    std::atomic<int> writes{0};
    std::atomic<int> refused_writes{0};
    std::string last_user, last_password;

    void cache_on() override {}
    void cache_off() override {}
    bool unreachable() const override { return is_unreachable; }
    void set_unreachable() override { is_unreachable = true; }
    int read_params(const amp::param_range&, std::vector<std::uint32_t>& values) override {
        ++reads;
        values.assign(1, 0);
        return result;
    }
    int write_params(const amp::param_range&, const std::vector<std::uint32_t>&) override { return write(); }
    int read_monitor(std::vector<std::uint32_t>& words) override {
        ++reads;
        words = monitor_words;
        return result;
    }
    int read_frame_name(std::string& name) override { return read(name, frame_name); }
    int write_frame_name(const std::string& name) override { return write([&] { frame_name = name; }); }
    int read_channel_names(std::vector<std::string>& names) override { return read(names, channel_names); }
    int read_routing(std::vector<std::string>& names) override { return read(names, routing); }
    int soft_reset() override { return write(); }
    bool login_required(std::string& message) override {
        message = system_name;
        return needs_login;
    }
    void set_credentials(const std::string& user, const std::string& password) override {
        last_user = user;
        last_password = password;
        if (needs_login) is_connected = user == accepted_user && password == accepted_password;
    }
    bool connected() const override { return is_connected; }
    int write_channel_names(const std::vector<std::string>& names) override {
        return write([&] { channel_names = names; });
    }
    int read_mute(int channel, int& mute) override { return read(mute, mutes.at(channel)); }
    int write_mute(int channel, int mute) override { return write([&] { mutes.at(channel) = mute; }); }
    int write_power(int on) override { return write([&] { power = on; }); }
    int read_power(int& on) override { return read(on, power); }
    int read_model(int& code, std::string& display_name, std::string& frame_type) override {
        ++reads;
        code = model_code;
        display_name = model_name;
        frame_type = type;
        return result;
    }
    int read_bridge_mode(unsigned, int& mode, bool& primary) override {
        ++reads;
        mode = 0;
        primary = true;
        return result;
    }
    int read_channel_labels(int channel, std::string& module_label, std::string& output_label) override {
        ++reads;
        module_label = "Mod" + std::to_string(channel + 1);
        output_label = "Out" + std::to_string(channel + 1);
        return result;
    }
    int write_ref_impedance(int, const std::array<float, 2>&) override { return write(); }
    int write_pilot_signal_all(const std::array<int, 2>&, const std::array<float, 2>&) override { return write(); }
    int write_pilot_signal(int, const std::array<int, 2>&, const std::array<float, 2>&) override { return write(); }
    int write_pilot_factor(int, const std::array<float, 2>&) override { return write(); }
    int start_calibration(int) override { return write(); }
    int calibration_done(int, int& done) override { return read(done, 1); }
    int enable_pilot(int, int, int) override { return write(); }
    int read_pilot(int, amp::pilot_readings& readings) override { return read(readings, amp::pilot_readings{}); }
    int parameter_list(const int&, std::vector<amp::param_entry>& entries) override {
        entries.clear();
        return 0;
    }
    int read_param(const amp::param_entry&, amp::param_value& value) override { return read(value, amp::param_value{0.0f}); }
    int write_param(const amp::param_entry&, const std::string&) override { return write(); }
    float firmware_version() override { return current_firmware; }
    float min_firmware_version() const override { return minimum_firmware; }

private:
    template <typename T, typename U>
    int read(T& out, const U& value) {
        ++reads;
        out = value;
        return result;
    }
    template <typename F = void (*)()>
    int write(F apply = [] {}) {
        if (refuse_write()) {
            ++refused_writes;
            return amp::result_refused;
        }
        ++writes;
        if (result == 0) apply();
        return result;
    }
};

}  // namespace nox::testing
