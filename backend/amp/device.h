// The abstract amplifier device: the one interface through which request handlers, the
// transactor, the monitor and the calibration code drive an amplifier, whatever family it
// belongs to and whatever carries its traffic (Mira frames or a Tesira server). Each
// family (family.h) makes the devices of its frames.
//
// Every operation that talks to the amplifier returns an int result: 0 success, 1 refused
// (also: no network interface selected, unparsable reply, old firmware), 3 not connected,
// 8 negative acknowledge, 10 unsupported (the operation belongs to another family),
// 13 time-out after every retry; parameter reads and writes also pass P20SPI return codes
// through. Operations never throw for transport failures.
//
// Operations marked "write" below change the amplifier. While `old_firmware()` is true
// each of them returns 1 at once and sends nothing; implementations start every write
// with `if (refuse_write()) return result_refused;`.
//
// Operations that only some families have are virtual with a default that answers
// `result_unsupported` and sends nothing, so a caller asks the device instead of asking
// which kind of device it is.
//
// Thread safety: any thread may call a device. Callers hold the lock of
// `lock_operations()` around a sequence of operations so that one thread at a time drives
// a frame; the device's own operations never take it. The last-contact time, the firmware
// flags and the capability flags are atomics, so the monitor may read them while another
// thread drives the device. The parameter lists have a lock of their own, held only while
// they are built or copied. Devices are owned by std::shared_ptr.
#pragma once

#include "backend/amp/clock.h"
#include "backend/amp/device_types.h"
#include "backend/amp/parameter_map.h"
#include "common/platform/mutex.h"

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

    // Held by callers around a sequence of operations on this device.
    [[nodiscard]] std::unique_lock<std::mutex> lock_operations() { return std::unique_lock(operation_mutex_); }
    // The same without waiting: the lock does not own the mutex when another thread holds it.
    [[nodiscard]] std::unique_lock<std::mutex> try_lock_operations() {
        return std::unique_lock(operation_mutex_, std::try_to_lock);
    }

    // ---- Reachability and firmware
    // Unreachable after three time-outs in a row; `set_unreachable` makes it so at once.
    virtual bool unreachable() const = 0;
    virtual void set_unreachable() = 0;
    virtual bool old_firmware() const;
    virtual void set_old_firmware(bool old);
    // The firmware version (an implementation may read it first); the base returns the
    // version last recorded.
    virtual float firmware_version();
    virtual float min_firmware_version() const = 0;
    // Reads the firmware parameter (block 0, index 4) with `read_params` and converts the
    // word to float. Returns 0 on success (P20SPI code 0 or 6 with a word), the failing
    // result otherwise (1 when the reply carried no word); `version` is left alone then.
    int read_firmware_parameter(float& version);
    // What the last firmware read found: the version (0 before any) and the pilot-tone
    // capabilities of that firmware; whether the model is a high-power one.
    float firmware() const { return firmware_.load(); }
    bool ptg2_support() const { return ptg2_support_.load(); }
    bool ptg2_sequential_support() const { return ptg2_sequential_support_.load(); }
    bool high_power_model() const { return high_power_model_.load(); }

    // Stores the current clock time as the last contact.
    void touch();
    // Clock milliseconds of the last command sent; 0 after construction.
    std::int64_t last_contact() const { return last_contact_.load(); }
    // Milliseconds since the last contact (the clock's now minus last_contact).
    std::int64_t since_last_contact() const;
    const std::shared_ptr<const clock>& time_source() const { return clock_; }

    // ---- Parameters
    // The read cache: between `cache_on` and `cache_off` a repeated read is answered from
    // what the first one got. Both empty the cache.
    virtual void cache_on() = 0;
    virtual void cache_off() = 0;
    // Copies list 1 (the monitored rows) when `which` is non-zero, else list 0 (every
    // row). Builds the lists first when they are not built (build_parameter_lists); -1
    // when they still are not.
    virtual int parameter_list(const int& which, std::vector<param_entry>& entries);
    virtual int read_param(const param_entry& entry, param_value& value) = 0;
    virtual int write_param(const param_entry& entry, const std::string& project_text) = 0;  // write
    virtual int read_params(const param_range& range, std::vector<std::uint32_t>& values) = 0;
    virtual int write_params(const param_range& range, const std::vector<std::uint32_t>& values) = 0;  // write
    // Called by a monitoring pass once its monitor block has been read, with the read
    // cache on: a device whose link carries several exchanges in one round trip may ask
    // now for the power state, the firmware version and every parameter of list 1, so
    // that the reads of the pass that follow are answered from memory. Those reads log
    // and count their replies as if each had been exchanged when it is made. Default:
    // nothing (every read exchanges by itself).
    virtual void prefetch_monitoring();

    // ---- Monitoring, power and identity
    virtual int read_monitor(std::vector<std::uint32_t>& words) = 0;
    virtual int read_power(int& on) = 0;
    virtual int write_power(int on) = 0;  // write
    virtual int read_mute(int channel, int& mute) = 0;
    virtual int write_mute(int channel, int mute) = 0;  // write
    virtual int read_model(int& code, std::string& display_name, std::string& frame_type) = 0;
    virtual int soft_reset() = 0;  // write

    // ---- Names and routing
    virtual int read_frame_name(std::string& name) = 0;
    virtual int write_frame_name(const std::string& name) = 0;  // write
    virtual int read_channel_names(std::vector<std::string>& names) = 0;
    virtual int write_channel_names(const std::vector<std::string>& names) = 0;  // write
    virtual int read_bridge_mode(unsigned channel, int& mode, bool& primary) = 0;
    // The four routed channel names (module label + "." + output label, or "Unrouted").
    // Default: unsupported.
    virtual int read_routing(std::vector<std::string>& names);
    // The module and output label of one channel. Default: unsupported.
    virtual int read_channel_labels(int channel, std::string& module_label, std::string& output_label);
    // The raw route matrix: one reply per module output, modules in order, outputs in
    // order; column c (character 2c) of a reply is "X" when that output drives channel c.
    // Default: unsupported.
    virtual int read_route_matrix(std::vector<std::string>& replies);
    // Whether someone pressed the amplifier's select key since the last ask. Default:
    // unsupported.
    virtual int read_select_key(bool& pressed);

    // ---- Pilot tones and load monitoring
    virtual int write_ref_impedance(int channel, const std::array<float, 2>& pair) = 0;  // write
    virtual int write_pilot_signal_all(const std::array<int, 2>& settings,
                                       const std::array<float, 2>& levels) = 0;  // write
    virtual int write_pilot_signal(int channel, const std::array<int, 2>& settings,
                                   const std::array<float, 2>& levels) = 0;  // write
    virtual int write_pilot_factor(int channel, const std::array<float, 2>& pair) = 0;  // write
    virtual int start_calibration(int selector) = 0;                                   // write
    virtual int calibration_done(int mask, int& done) = 0;
    virtual int enable_pilot(int model_code, int channel, int enable) = 0;  // write
    virtual int read_pilot(int channel, pilot_readings& readings) = 0;

    // ---- Login to the amplifier's host
    // Whether the host wants credentials (and its message, the host's system name).
    // Default: false.
    virtual bool login_required(std::string& message);
    // Hands credentials to the host and reconnects. Default: nothing to do.
    virtual void set_credentials(const std::string& user, const std::string& password);
    // Default: reachable.
    virtual bool connected() const;

protected:
    // True (and a write must return 1 without sending) while the firmware is too old.
    bool refuse_write() const { return old_firmware(); }

    // Builds the two parameter lists for `parameter_list`; false when the amplifier
    // could not be asked (the next `parameter_list` tries again). Runs under the lists
    // lock. Default: no lists.
    virtual bool build_parameter_lists(parameter_lists& lists);
    // Builds the lists now (a device that wants them from the start calls it in its
    // constructor).
    void rebuild_parameter_lists();
    // Builds the lists when they are not built yet; whether they are built now.
    bool ensure_parameter_lists();

    // Records what a firmware read found: the version and the pilot-tone capabilities
    // (second-generation functions from `ptg2_from` on, the same for sequential
    // calibration).
    void record_firmware(float version, float ptg2_from);
    void set_firmware(float version) { firmware_.store(version); }
    void set_pilot_support(bool ptg2, bool sequential) {
        ptg2_support_.store(ptg2);
        ptg2_sequential_support_.store(sequential);
    }
    void set_high_power_model(bool high) { high_power_model_.store(high); }

private:
    void build_lists() REQUIRES(lists_mutex_);

    // Constant after construction.
    const std::shared_ptr<const clock> clock_;

    // Atomics, read by the monitor while another thread drives the device.
    std::atomic<std::int64_t> last_contact_{0};
    std::atomic<bool> old_firmware_{false};
    std::atomic<bool> ptg2_support_{false};
    std::atomic<bool> ptg2_sequential_support_{false};
    std::atomic<bool> high_power_model_{false};
    std::atomic<float> firmware_{0.0f};

    // Taken by callers (lock_operations), never by the device itself.
    std::mutex operation_mutex_;

    nox::mutex lists_mutex_;
    parameter_lists lists_ GUARDED_BY(lists_mutex_);
    bool lists_built_ GUARDED_BY(lists_mutex_) = false;
};

// The device's read cache, on for the lifetime of the scope (switched off, and emptied,
// when the scope ends, whichever way it ends).
class read_cache_scope {
public:
    explicit read_cache_scope(device& dev) : dev_(dev) { dev_.cache_on(); }
    ~read_cache_scope() { dev_.cache_off(); }
    read_cache_scope(const read_cache_scope&) = delete;
    read_cache_scope& operator=(const read_cache_scope&) = delete;

private:
    device& dev_;
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
