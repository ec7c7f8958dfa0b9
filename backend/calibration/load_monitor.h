// `nox::load_monitor`: the load-monitoring procedures of one amplifier channel, driven
// through the abstract device only, so they work alike for every amplifier family.
//
//   calibrate_pilot_tones  measures the loudspeaker line with the two pilot tones and
//                          stores the result (thresholds, reference impedances, readings,
//                          correction factors, `last_calibrated`) in the channel
//   impedance_sweep        runs the analyser over the line and stores the complex
//                          impedance at its 148 points and the DC resistance as a new
//                          `impedance_sweeps` record
//   put_load_monitoring    records `enabled_tones`/`enabled_analyser` in the channel and
//                          switches the channel's pilot tones on or off
//
// The channel is named by the request's `frame_id` and `channel_id`; its index k (0..3) is
// its position among the frame's channels. Results: 0 success, 1 channel not found (-1 for
// `put_load_monitoring`) or calibration not completed, 13 for an analyser that does not
// finish within its limit, otherwise the result of the failing device operation. After a
// failure `failure_reason` says what failed, for the request's `error`. A request that
// lacks an attribute the procedure needs, or holds one that is not a usable number, throws
// std::invalid_argument with the reason.
//
// Pauses go through the environment's sleep; a pause cut short (the backend is stopping)
// ends the procedure with 1. Each step is reported to the progress callback as a short
// text before it starts. Store writes go through the request engine's transaction queue.
//
// Thread safety: one object per procedure run, used by one thread. The pilot-tone
// calibration holds the device's operation lock for its whole run; the sweep and the
// switch do not take it (the monitor keeps reading the amplifier meanwhile). Callers that
// must keep two procedures on one amplifier apart serialise them themselves.
#pragma once

#include "backend/amp/device.h"
#include "backend/calibration/calibration_environment.h"
#include "backend/model/model.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace nox {

class request_engine;

// Constants of the pilot-tone calibration.
namespace pilot {
inline constexpr unsigned default_frequency_1 = 10;       // Hz
inline constexpr unsigned default_frequency_2 = 24000;    // Hz
inline constexpr float default_amplitude = 0.06f;
inline constexpr float amplitude_floor = 0.0001f;          // below it the default is sent
inline constexpr float reference_impedance = 10000.0f;     // written before calibrating
inline constexpr std::array<float, 2> second_generation_factors{1.41f, 1.52f};
inline constexpr std::array<float, 2> first_generation_levels{0.2f, 0.2f};
inline constexpr int enable_pause_ms = 2000;
inline constexpr int start_pause_ms = 4000;
inline constexpr int poll_pause_ms = 2000;
inline constexpr int max_polls = 31;  // the 31st poll ends the procedure whatever it reports

// The calibration selector of channel k: all three steps (bits k, 4+k, 8+k) on a
// second-generation device, step 2 only (bit 8+k) on a first-generation one.
int selector(bool second_generation, int channel);
}  // namespace pilot

// The analyser's polling pause.
inline constexpr int analyser_poll_pause_ms = 500;

// The two signal frequencies of a first-generation calibration: 10 and 24000 Hz, or the
// first two numbers of the settings' `ptg2_freqs` (logged "Found override of ptg2
// frequencies"). Throws std::invalid_argument when `ptg2_freqs` does not start with two
// whole frequencies.
std::array<int, 2> first_generation_frequencies(const model& settings);

// Logs measured values: "Payload size: <n>\n" + each value and a blank + "\n***\n".
void log_payload(const std::vector<float>& values);

class load_monitor {
public:
    using progress_fn = std::function<void(const std::string& step)>;

    load_monitor(amp::device& dev, request_engine& engine, const calibration_environment& env,
                 progress_fn progress = {});

    int calibrate_pilot_tones(const model& request);
    int impedance_sweep(const model& request);
    int put_load_monitoring(const model& request);

    // `read_model`, then `enable_pilot` with its model code for channel k; the first
    // failure is returned.
    int set_pilot_enable(int channel, int enable);
    // Writes the analyser's command word and polls its completion word every 500 ms until
    // it is non-zero; 13 after the environment's analyser limit, else the first failure.
    int run_analyser_command(std::uint32_t command);

    const std::string& failure_reason() const { return reason_; }

private:
    // The request's channel: the frame-and-channels vector and the index (-1: not one of
    // the frame's four channels).
    struct located_channel {
        std::vector<model> frame_and_channels;
        int index = -1;
        const model& channel() const { return frame_and_channels.at(static_cast<std::size_t>(index) + 1); }
    };
    located_channel locate(const model& request);

    void step(const std::string& text);
    bool pause(int milliseconds);
    // Records why the procedure failed and passes `result` on.
    int fail(int result, const std::string& reason);
    int device_failure(const char* operation, int result);
    int read_words(const amp::param_range& range, std::vector<std::uint32_t>& words);

    amp::device& dev_;
    request_engine& engine_;
    const calibration_environment& env_;
    progress_fn progress_;
    std::string reason_;
};

}  // namespace nox
