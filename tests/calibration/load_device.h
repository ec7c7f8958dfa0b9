// A scripted amplifier for the load-monitoring procedures: it records every pilot-tone
// and parameter operation as a line of text (arguments printed as a Mira amplifier would
// put them on the wire), answers the calibration's completion after a set number of
// polls, and keeps a parameter store whose analyser finishes a command after a set number
// of completion reads, filling the sweep data and DC resistances of the selected channel.
//
// Thread safety: the operation record is guarded; script the fields before use.
#pragma once

#include "backend/calibration/analyser_data.h"
#include "tests/fakes/fake_device.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace calibration_test {

class load_device : public nox::testing::fake_device {
public:
    // Script.
    int done_on_poll = 1;  // the poll that first reports completion; 0: never
    bool fill_factors = true;  // false: read_pilot leaves the factors alone (Tesira)
    nox::amp::pilot_readings readings{{6.4f, 6.6f, 9.6f, 9.9f}, {8.0f, 8.25f}, {8.01f, 8.24f}, {1.405f, 1.515f}};
    std::map<std::string, int> fail;  // operation name -> result
    int analyser_reads_to_complete = 1;  // 0: the analyser never finishes
    // Sweep data of channel k at point i: (re, im); DC resistance of channel k.
    std::function<std::pair<float, float>(int k, int i)> point = [](int k, int i) {
        return std::pair<float, float>{4.0f + k + 0.01f * i, 0.02f * i};
    };
    std::function<float(int k)> dc = [](int k) { return 3.5f + k; };
    std::function<void()> on_operation;  // called at the start of every recorded operation
    std::map<std::pair<int, int>, std::uint32_t> params;
    int short_read_at = -1;  // the chunk read (by first index) that answers one word less

    std::vector<std::string> ops() const {
        std::lock_guard lock(ops_mutex_);
        return ops_;
    }
    int polls() const { return polls_; }
    size_t count(const std::string& op) const {
        const auto all = ops();
        return static_cast<size_t>(std::count(all.begin(), all.end(), op));
    }
    void clear_ops() {
        std::lock_guard lock(ops_mutex_);
        ops_.clear();
    }

    int write_ref_impedance(int channel, const std::array<float, 2>& pair) override {
        return act("write_ref_impedance", format("%d %.2f %.2f", channel, pair[0], pair[1]), true);
    }
    int write_pilot_signal_all(const std::array<int, 2>& s, const std::array<float, 2>& l) override {
        return act("write_pilot_signal_all", format("%d %d %.3f %.3f", s[0], s[1], l[0], l[1]), true);
    }
    int write_pilot_signal(int channel, const std::array<int, 2>& s, const std::array<float, 2>& l) override {
        return act("write_pilot_signal", format("%d %d %d %.3f %.3f", channel, s[0], s[1], l[0], l[1]), true);
    }
    int write_pilot_factor(int channel, const std::array<float, 2>& pair) override {
        return act("write_pilot_factor", format("%d %.3f %.3f", channel, pair[0], pair[1]), true);
    }
    int start_calibration(int selector) override {
        return act("start_calibration", format("0x%x", selector), true);
    }
    int calibration_done(int mask, int& done) override {
        const int result = act("calibration_done", format("0x%x", mask), false);
        ++polls_;
        done = result == 0 && done_on_poll > 0 && polls_ >= done_on_poll ? mask : 0;
        return result;
    }
    int enable_pilot(int model, int channel, int enable) override {
        return act("enable_pilot", format("%d %d %d", model, channel, enable), true);
    }
    int read_pilot(int channel, nox::amp::pilot_readings& r) override {
        const int result = act("read_pilot", format("%d", channel), false);
        if (result != 0) return result;
        r.thresholds = readings.thresholds;
        r.ref_impedances = readings.ref_impedances;
        r.readings = readings.readings;
        if (fill_factors) r.factors = readings.factors;
        return 0;
    }
    int read_model(int& code, std::string& display_name, std::string& frame_type) override {
        code = model_code;
        display_name = model_name;
        frame_type = type;
        return act("read_model", "", false);
    }

    int write_params(const nox::amp::param_range& range, const std::vector<std::uint32_t>& values) override {
        std::string words;
        for (const auto w : values) words += (words.empty() ? "" : " ") + std::to_string(w);
        const int result = act("write_params", format("%d:%d [", range.block, range.first) + words + "]", true);
        if (result != 0) return result;
        for (std::size_t i = 0; i < values.size(); ++i) params[{range.block, range.first + int(i)}] = values[i];
        if (range.block == nox::analyser::control_block && range.first == nox::analyser::command_index) {
            params[{6, 5}] = 0;
            completion_reads_ = 0;
            command_ = values.at(0);
        }
        return 0;
    }
    int read_params(const nox::amp::param_range& range, std::vector<std::uint32_t>& values) override {
        const int result = act("read_params", format("%d:%d-%d", range.block, range.first, range.last), false);
        if (result != 0) return result;
        if (range.block == 6 && range.first == 5 && analyser_reads_to_complete > 0 &&
            ++completion_reads_ >= analyser_reads_to_complete && params[{6, 5}] == 0) {
            finish_command();
        }
        values.clear();
        const int count = range.last - range.first + 1 - (range.first == short_read_at ? 1 : 0);
        for (int i = 0; i < count; ++i) values.push_back(params[{range.block, range.first + i}]);
        return 0;
    }

private:
    // printf into a string, floats promoted as printf expects them.
    template <typename... A>
    static std::string format(const char* f, A... a) {
        char text[160];
        std::snprintf(text, sizeof text, f, promote(a)...);
        return text;
    }
    static double promote(float v) { return v; }
    template <typename T>
    static T promote(T v) {
        return v;
    }

    int act(const std::string& op, const std::string& arguments, bool is_write) {
        if (on_operation) on_operation();
        {
            std::lock_guard lock(ops_mutex_);
            ops_.push_back(arguments.empty() ? op : op + " " + arguments);
        }
        if (is_write && refuse_write()) return nox::amp::result_refused;
        const auto it = fail.find(op);
        return it == fail.end() ? 0 : it->second;
    }

    void finish_command() {
        int k = 0;
        for (int c = 0; c < 4; ++c)
            if (params[{6, 1 + c}] == 1) k = c;
        if (command_ == nox::analyser::command_sweep) {
            for (int i = 0; i < nox::analyser::sweep_points; ++i) {
                const auto [re, im] = point(k, i);
                const int base = nox::analyser::sweep_first + nox::analyser::sweep_words * k;
                params[{4, base + i}] = nox::analyser::float_bits(re);
                params[{4, base + nox::analyser::sweep_points + i}] = nox::analyser::float_bits(im);
            }
        } else if (command_ == nox::analyser::command_dc_resistance) {
            for (int c = 0; c < 4; ++c) params[{4, nox::analyser::dc_resistance_first + c}] = nox::analyser::float_bits(dc(c));
        }
        params[{6, 5}] = 1;
    }

    mutable std::mutex ops_mutex_;
    std::vector<std::string> ops_;  // guarded by ops_mutex_
    int polls_ = 0;
    int completion_reads_ = 0;
    std::uint32_t command_ = 0;
};

}  // namespace calibration_test
