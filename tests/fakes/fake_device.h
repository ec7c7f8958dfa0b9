// A scriptable amplifier device for tests that need no network: every operation answers
// from public fields, counts what it was asked, and returns `result` (or the override in
// `results` under the operation's name, e.g. results["read_power"] = 13). Writes follow
// the base class's old-firmware rule. `calls` records the operations in order (with the
// channel or key where there is one), `written` the (key, text) of every `write_param`.
// With `failures_to_unreachable` set, the device counts as unreachable once that many
// operations have failed, as a silent amplifier does after consecutive time-outs.
// The operations that only some families have (routing, labels, the select key) answer
// "unsupported" unless `routes` or `has_select_key` is set.
//
// Thread safety: the counters are atomics and the records are guarded; set the scripted
// fields before handing the device to other threads.
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
    bool routes = false;  // answers the routing operations
    std::vector<std::string> routing{"Out1", "Out2", "Out3", "Out4"};
    // The route matrix replies: output A1 drives channel 1, B1 channel 2, and so on.
    std::vector<std::string> route_matrix = [] {
        std::vector<std::string> replies(24, "- - - -");
        for (int k = 0; k < 4; ++k) replies[static_cast<size_t>(6 * k)][static_cast<size_t>(2 * k)] = 'X';
        return replies;
    }();
    bool has_select_key = false;
    int select_press_at = -1;  // the ask from which on a press is reported; -1: never
    int power = 1;
    std::array<int, 4> mutes{};
    int model_code = 28;
    std::string model_name = "M-4";
    std::string type = "mira";
    std::vector<std::uint32_t> monitor_words = std::vector<std::uint32_t>(61, 0);
    std::map<std::string, int> results;       // per-operation result overrides
    std::vector<amp::param_entry> parameters;  // what parameter_list answers
    std::vector<std::uint32_t> param_words{0};  // what read_params answers
    std::map<std::string, amp::param_value> param_values;  // read_param by "key" or "key#channel"
    std::array<int, 4> bridge_modes{};
    int failures_to_unreachable = 0;  // 0: never unreachable by failing

    // Observations.
    std::atomic<int> reads{0};
    std::atomic<int> writes{0};
    std::atomic<int> refused_writes{0};
    std::atomic<int> select_asks{0};
    amp::param_range last_range;
    std::string last_user, last_password;

    // Scripting of what a firmware read would have recorded.
    using device::set_pilot_support;

    std::vector<std::string> call_log() const {
        std::lock_guard lock(record_mutex_);
        return calls_;
    }
    std::vector<std::pair<std::string, std::string>> written() const {
        std::lock_guard lock(record_mutex_);
        return written_;
    }
    size_t count_calls(const std::string& op) const {
        size_t n = 0;
        for (const auto& c : call_log()) n += c == op || c.rfind(op + " ", 0) == 0 ? 1 : 0;
        return n;
    }

    void cache_on() override {}
    void cache_off() override {}
    bool unreachable() const override { return is_unreachable; }
    void set_unreachable() override { is_unreachable = true; }
    int read_params(const amp::param_range& range, std::vector<std::uint32_t>& values) override {
        last_range = range;
        values = param_words;
        return count_read("read_params");
    }
    int write_params(const amp::param_range&, const std::vector<std::uint32_t>&) override {
        return write("write_params");
    }
    int read_monitor(std::vector<std::uint32_t>& words) override {
        words = monitor_words;
        return count_read("read_monitor");
    }
    int read_frame_name(std::string& name) override { return read("read_frame_name", name, frame_name); }
    int write_frame_name(const std::string& name) override {
        return write("write_frame_name", [&] { frame_name = name; });
    }
    int read_channel_names(std::vector<std::string>& names) override {
        return read("read_channel_names", names, channel_names);
    }
    int read_routing(std::vector<std::string>& names) override {
        if (!routes) return device::read_routing(names);
        return read("read_routing", names, routing);
    }
    int read_route_matrix(std::vector<std::string>& replies) override {
        if (!routes) return device::read_route_matrix(replies);
        return read("read_route_matrix", replies, route_matrix);
    }
    int read_select_key(bool& pressed) override {
        if (!has_select_key) return device::read_select_key(pressed);
        const int asks = ++select_asks;
        pressed = select_press_at >= 0 && asks >= select_press_at;
        return count_read("read_select_key");
    }
    int soft_reset() override { return write("soft_reset"); }
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
        return write("write_channel_names", [&] { channel_names = names; });
    }
    int read_mute(int channel, int& mute) override {
        return read("read_mute " + std::to_string(channel), mute, mutes.at(channel));
    }
    int write_mute(int channel, int mute) override {
        return write("write_mute " + std::to_string(channel), [&] { mutes.at(channel) = mute; });
    }
    int write_power(int on) override { return write("write_power", [&] { power = on; }); }
    int read_power(int& on) override { return read("read_power", on, power); }
    int read_model(int& code, std::string& display_name, std::string& frame_type) override {
        code = model_code;
        display_name = model_name;
        frame_type = type;
        return count_read("read_model");
    }
    int read_bridge_mode(unsigned channel, int& mode, bool& primary) override {
        mode = bridge_modes.at(channel);
        primary = channel % 2 == 0;
        return count_read("read_bridge_mode " + std::to_string(channel));
    }
    int read_channel_labels(int channel, std::string& module_label, std::string& output_label) override {
        if (!routes) return device::read_channel_labels(channel, module_label, output_label);
        module_label = "Mod" + std::to_string(channel + 1);
        output_label = "Out" + std::to_string(channel + 1);
        return count_read("read_channel_labels " + std::to_string(channel));
    }
    int write_ref_impedance(int, const std::array<float, 2>&) override { return write("write_ref_impedance"); }
    int write_pilot_signal_all(const std::array<int, 2>&, const std::array<float, 2>&) override {
        return write("write_pilot_signal_all");
    }
    int write_pilot_signal(int, const std::array<int, 2>&, const std::array<float, 2>&) override {
        return write("write_pilot_signal");
    }
    int write_pilot_factor(int, const std::array<float, 2>&) override { return write("write_pilot_factor"); }
    int start_calibration(int) override { return write("start_calibration"); }
    int calibration_done(int, int& done) override { return read("calibration_done", done, 1); }
    int enable_pilot(int, int, int) override { return write("enable_pilot"); }
    int read_pilot(int, amp::pilot_readings& readings) override {
        return read("read_pilot", readings, amp::pilot_readings{});
    }
    int parameter_list(const int&, std::vector<amp::param_entry>& entries) override {
        record("parameter_list");
        entries = parameters;
        auto it = results.find("parameter_list");
        return it == results.end() ? 0 : it->second;
    }
    int read_param(const amp::param_entry& entry, amp::param_value& value) override {
        const std::string channel_key = entry.key + "#" + std::to_string(entry.channel);
        auto it = param_values.find(channel_key);
        if (it == param_values.end()) it = param_values.find(entry.key);
        value = it == param_values.end() ? amp::param_value{0.0f} : it->second;
        return count_read("read_param " + entry.key);
    }
    int write_param(const amp::param_entry& entry, const std::string& text) override {
        const std::string op = "write_param " + entry.key;
        return write(op, [&] {
            std::lock_guard lock(record_mutex_);
            written_.emplace_back(entry.key, text);
        });
    }
    float firmware_version() override { return current_firmware; }
    float min_firmware_version() const override { return minimum_firmware; }

private:
    void record(const std::string& op) {
        std::lock_guard lock(record_mutex_);
        calls_.push_back(op);
    }
    // The scripted result of `op` (its override, or `result` for its first word).
    int outcome(const std::string& op) {
        auto it = results.find(op);
        if (it == results.end()) it = results.find(op.substr(0, op.find(' ')));
        const int r = it == results.end() ? result : it->second;
        if (r != 0 && failures_to_unreachable > 0 && ++failures_ >= failures_to_unreachable) is_unreachable = true;
        return r;
    }
    int count_read(const std::string& op) {
        ++reads;
        record(op);
        return outcome(op);
    }
    template <typename T, typename U>
    int read(const std::string& op, T& out, const U& value) {
        out = value;
        return count_read(op);
    }
    template <typename F = void (*)()>
    int write(const std::string& op, F apply = [] {}) {
        record(op);
        if (refuse_write()) {
            ++refused_writes;
            return amp::result_refused;
        }
        ++writes;
        const int r = outcome(op);
        if (r == 0) apply();
        return r;
    }

    mutable std::mutex record_mutex_;
    std::vector<std::string> calls_;                         // guarded by record_mutex_
    std::vector<std::pair<std::string, std::string>> written_;  // guarded by record_mutex_
    std::atomic<int> failures_{0};
};

}  // namespace nox::testing
