// The abstract amplifier device: the one interface through which request handlers, the
// transactor, the monitor and the calibration code drive an amplifier, whatever carries
// its traffic (Mira frames or a Tesira server).
//
// Every operation that talks to the amplifier returns an int result: 0 success, 1 refused
// (also: no network interface selected, unparsable reply, old firmware), 3 not connected,
// 8 negative acknowledge, 13 time-out after every retry; parameter reads and writes also
// pass P20SPI return codes through. Operations never throw for transport failures.
//
// Operations marked "write" below change the amplifier. While `old_firmware()` is true
// each of them returns 1 at once and sends nothing; implementations start every write
// with `if (refuse_write()) return result_refused;`.
//
// Thread safety: any thread may call a device. Callers hold `operation_mutex` around a
// sequence of operations so that one thread at a time drives a frame; the device's own
// operations never take it. `last_contact`, `old_firmware_flag`, `firmware` and the
// capability flags are atomics, so the monitor may read them while another thread drives
// the device. `lists_mutex` guards the parameter lists of the implementation and
// `lists_built`. Devices are owned by std::shared_ptr.
#pragma once

#include "backend/amp/clock.h"
#include "backend/amp/device_types.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace nox::amp {

class device {
public:
    explicit device(std::shared_ptr<const clock> clock = steady_clock_source());
    virtual ~device();

    device(const device&) = delete;
    device& operator=(const device&) = delete;

    // The virtual operations, in slot order (the destructor is slot 0).
    virtual void cache_on() = 0;                                                      // 1
    virtual void cache_off() = 0;                                                     // 2
    virtual bool old_firmware() const;                                                // 3
    virtual void set_old_firmware(bool old);                                          // 4
    virtual bool unreachable() const = 0;                                             // 5
    virtual void set_unreachable() = 0;                                               // 6
    virtual int read_params(const param_range& range, std::vector<std::uint32_t>& values) = 0;         // 7
    virtual int write_params(const param_range& range, const std::vector<std::uint32_t>& values) = 0;  // 8, write
    virtual int read_monitor(std::vector<std::uint32_t>& words) = 0;                  // 9
    virtual int read_frame_name(std::string& name) = 0;                               // 10
    virtual int write_frame_name(const std::string& name) = 0;                        // 11, write
    virtual int read_channel_names(std::vector<std::string>& names) = 0;              // 12
    virtual int read_routing(std::vector<std::string>& names) = 0;                    // 13
    virtual int soft_reset() = 0;                                                     // 14, write
    virtual bool login_required(std::string& message) = 0;                            // 15
    virtual void set_credentials(const std::string& user, const std::string& password) = 0;  // 16
    virtual bool connected() const = 0;                                               // 17
    virtual int write_channel_names(const std::vector<std::string>& names) = 0;       // 18, write
    virtual int read_mute(int channel, int& mute) = 0;                                // 19
    virtual int write_mute(int channel, int mute) = 0;                                // 20, write
    virtual int write_power(int on) = 0;                                              // 21, write
    virtual int read_power(int& on) = 0;                                              // 22
    virtual int read_model(int& code, std::string& display_name, std::string& frame_type) = 0;  // 23
    virtual int read_bridge_mode(unsigned channel, int& mode, bool& primary) = 0;     // 24
    virtual int read_channel_labels(int channel, std::string& module_label, std::string& output_label) = 0;  // 25
    virtual int write_ref_impedance(int channel, const std::array<float, 2>& pair) = 0;  // 26, write
    virtual int write_pilot_signal_all(const std::array<int, 2>& settings,
                                       const std::array<float, 2>& levels) = 0;       // 27, write
    virtual int write_pilot_signal(int channel, const std::array<int, 2>& settings,
                                   const std::array<float, 2>& levels) = 0;           // 28, write
    virtual int write_pilot_factor(int channel, const std::array<float, 2>& pair) = 0;  // 29, write
    virtual int start_calibration(int selector) = 0;                                  // 30, write
    virtual int calibration_done(int mask, int& done) = 0;                            // 31
    virtual int enable_pilot(int model_code, int channel, int enable) = 0;            // 32, write
    virtual int read_pilot(int channel, pilot_readings& readings) = 0;                // 33
    virtual int parameter_list(const int& which, std::vector<param_entry>& entries) = 0;  // 34
    virtual int read_param(const param_entry& entry, param_value& value) = 0;         // 35
    virtual int write_param(const param_entry& entry, const std::string& project_text) = 0;  // 36, write
    virtual float firmware_version();                                                 // 37
    virtual float min_firmware_version() const = 0;                                   // 38

    // Stores the current clock time into `last_contact`.
    void touch();
    // Milliseconds since `last_contact` (the clock's now minus last_contact).
    std::int64_t since_last_contact() const;
    // Reads the firmware parameter (block 0, index 4) with `read_params` and converts the
    // word to float. Returns 0 on success (P20SPI code 0 or 6 with a word), the failing
    // result otherwise (1 when the reply carried no word); `version` is left alone then.
    int read_firmware_parameter(float& version);

    const std::shared_ptr<const clock>& time_source() const { return clock_; }

    // Held by callers around a sequence of operations on this device.
    std::mutex operation_mutex;
    // Clock milliseconds of the last command sent; 0 after construction.
    std::atomic<std::int64_t> last_contact{0};
    std::atomic<bool> old_firmware_flag{false};
    std::atomic<bool> ptg2_support{false};
    std::atomic<bool> ptg2_sequential_support{false};
    std::atomic<bool> high_power_model{false};
    std::atomic<float> firmware{0.0f};
    // Guards the implementation's parameter lists and `lists_built`.
    std::mutex lists_mutex;
    bool lists_built = false;

protected:
    // True (and a write must return 1 without sending) while the firmware is too old.
    bool refuse_write() const { return old_firmware(); }

private:
    std::shared_ptr<const clock> clock_;
};

// How long an unreachable device is left alone after its last contact.
inline constexpr std::int64_t unreachable_hold_off_ms = 15000;

// True when the caller must skip the device this time: it is unreachable and its last
// attempt lies less than 15 s back (a negative distance does not hold off).
bool in_unreachable_hold_off(const device& dev);

// The monitor's firmware check. With the firmware older than the minimum it flags the
// device (when not already flagged, reachable, no login pending and `read_power`
// succeeds) and returns true: the caller then reports "old_fw_detected" for the frame.
// With the firmware new enough it clears the flag. Returns false in every other case.
bool check_firmware(device& dev);

}  // namespace nox::amp
