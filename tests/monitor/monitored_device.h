// A scripted amplifier for monitoring tests: the fake device with parameter lists and
// values, a settable silence that behaves like a Mira amplifier that stopped answering
// (every exchange touches the last-contact time, times out and raises the time-out
// streak; unreachable above 2), and a hook that runs inside the monitor-block read.
#pragma once

#include "tests/fakes/fake_device.h"

#include <functional>
#include <map>

namespace monitor_test {

inline nox::amp::param_entry entry(const std::string& key, int channel = -1, bool read_only = false) {
    nox::amp::param_entry e;
    e.key = key;
    e.per_channel = channel >= 0 ? 1 : 0;
    e.channel = channel;
    e.read_only = read_only;
    return e;
}

class monitored_device : public nox::testing::fake_device {
public:
    using fake_device::fake_device;

    std::vector<nox::amp::param_entry> list0, list1;
    // Values by key and channel (-1 for frame rows).
    std::map<std::pair<std::string, int>, nox::amp::param_value> values;
    bool silent = false;
    std::atomic<int> streak{0};
    std::atomic<int> exchanges{0};
    std::function<void()> during_monitor_read;

    bool unreachable() const override { return streak.load() > 2; }
    void set_unreachable() override { streak = 3; }

    int read_monitor(std::vector<std::uint32_t>& words) override {
        if (during_monitor_read) during_monitor_read();
        if (int r = exchange()) return r;
        words = monitor_words;
        return 0;
    }
    int read_power(int& on) override {
        if (int r = exchange()) return r;
        on = power;
        return 0;
    }
    int read_model(int& code, std::string& display_name, std::string& frame_type) override {
        if (int r = exchange()) return r;
        code = model_code;
        display_name = model_name;
        frame_type = type;
        return 0;
    }
    float firmware_version() override {
        if (exchange()) return 0.0f;
        set_firmware(current_firmware);
        return current_firmware;
    }
    int parameter_list(const int& which, std::vector<nox::amp::param_entry>& entries) override {
        entries = which != 0 ? list1 : list0;
        return 0;
    }
    int read_param(const nox::amp::param_entry& e, nox::amp::param_value& value) override {
        if (int r = exchange()) return r;
        auto it = values.find({e.key, e.per_channel ? e.channel : -1});
        if (it == values.end()) return nox::amp::result_refused;
        value = it->second;
        return 0;
    }

private:
    int exchange() {
        ++exchanges;
        touch();
        if (silent) {
            ++streak;
            return nox::amp::result_timeout;
        }
        streak = 0;
        return 0;
    }
};

}  // namespace monitor_test
