// The Tesira-hosted amplifier device: the device interface (device.h) for an amplifier
// block of a Tesira server, reached through one telnet client (tesira_basic.h) per device.
// docs/tesira_protocol.md lists what each operation sends and how it reads the reply.
//
// Named attributes of the block (ampName, channelName n, mute n, ampPower, monitorData)
// are read with `get` and written with `set`; the amplifier's binary parameters with
// `peek` and `poke` (address (block << 16) | index). A `get` answered "+" must carry ":";
// the value is the text after the first ":" without blanks, quotes, CR and LF at its ends.
// Words of a `peek` reply are the decimal numbers between "[" and "]". A reply that does
// not read that way makes the operation return 1.
//
// The amplifier's own mute words (block 2, indices 0, 5, 10, 15) are overridden by the
// server's `mute` attributes, which are authoritative. `read_param` reads through cache
// lines while the cache is on: a miss reads up to 56 words of the line the index lies in.
//
// The client is created and connected on the first operation that talks to the server
// (`login_required` and `connected` only report what is known, they never connect). A
// server that asks for a login gets the stored login of its system when there is one
// (`tesira_options::stored_login`); otherwise the device reports the login through
// `login_required` (with the server's message, its system name) and `login_needed` until
// `set_credentials` logs it in.
//
// The device has no routing of its own: the routing and label operations are the base
// class's (unsupported).
//
// Thread safety: any thread may call a device; callers hold `lock_operations()` around a
// sequence of operations. Every use of the client is serialised by the client mutex;
// `connected` and `login_required` read a copy of the client's state kept after every
// use, so they answer at once even while another thread waits for the server. The cache
// lines and the parameter lists (base class) have locks of their own; the time-out streak
// is atomic.
#pragma once

#include "backend/amp/cache_line.h"
#include "backend/amp/device.h"
#include "backend/amp/tesira_basic.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace nox::amp {

// The reset key that `soft_reset` writes to block 0, indices 25 and 26: eight ASCII
// characters, the first four in the first word, most significant byte first. It must
// match the key that the amplifier's documentation gives for a soft reset.
inline constexpr std::array<std::uint32_t, 2> tesira_soft_reset_key = {0x534F4654u /* "SOFT" */,
                                                                      0x52534554u /* "RSET" */};

// One line of the model table of Tesira-hosted amplifiers (parameter block 0, index 3).
struct tesira_model {
    int code;
    const char* display_name;
};
const std::vector<tesira_model>& tesira_model_table();

// Where a read of a binary parameter finds its cache line: (block, first, last).
struct cache_line_row {
    std::uint8_t block;
    std::uint16_t first;
    std::uint16_t last;
};
const std::vector<cache_line_row>& tesira_cache_line_table();
// The line read for (block, index): the first row holding the index, from the index on and
// at most 55 words further; else the index alone.
param_range tesira_cache_line(std::uint8_t block, std::uint16_t index);

// The value of an attribute reply ("OK \"value\":\"Hall\"" -> Hall); false without ":".
bool tesira_reply_value(const std::string& reply, std::string& value);
// The words of a reply ("... [1 -2 3]" -> 1, 4294967294, 3); false without brackets or with
// a piece that is no 32-bit decimal number.
bool tesira_reply_words(const std::string& reply, std::vector<std::uint32_t>& words);

struct tesira_device_options {
    // Port, time-outs and clock of the telnet client, and the stored logins it may use.
    tesira_options client;
    std::shared_ptr<const amp::clock> device_clock = steady_clock_source();
    // Told when the server starts asking for a login that no credentials satisfy (once
    // each time the device goes from logged in, or not yet connected, to that state).
    std::function<void()> login_needed;
};

class tesira_device final : public device {
public:
    tesira_device(std::string server_address, std::string instance_tag, tesira_device_options options = {});
    ~tesira_device() override;

    // Reachability and firmware
    bool unreachable() const override;
    void set_unreachable() override;
    // The firmware version read with the parameter lists (read first when they are not
    // built yet), so that the version is known before anything compares it.
    float firmware_version() override;
    float min_firmware_version() const override;

    // Parameters
    void cache_on() override;
    void cache_off() override;
    int read_param(const param_entry& entry, param_value& value) override;
    int write_param(const param_entry& entry, const std::string& project_text) override;
    int read_params(const param_range& range, std::vector<std::uint32_t>& values) override;
    int write_params(const param_range& range, const std::vector<std::uint32_t>& values) override;

    // Monitoring, power and identity
    int read_monitor(std::vector<std::uint32_t>& words) override;
    int read_power(int& on) override;
    int write_power(int on) override;
    int read_mute(int channel, int& mute) override;
    int write_mute(int channel, int mute) override;
    int read_model(int& code, std::string& display_name, std::string& frame_type) override;
    int soft_reset() override;

    // Names
    int read_frame_name(std::string& name) override;
    int write_frame_name(const std::string& name) override;
    int read_channel_names(std::vector<std::string>& names) override;
    int write_channel_names(const std::vector<std::string>& names) override;
    int read_bridge_mode(unsigned channel, int& mode, bool& primary) override;

    // Pilot tones and load monitoring
    int write_ref_impedance(int channel, const std::array<float, 2>& pair) override;
    int write_pilot_signal_all(const std::array<int, 2>& settings, const std::array<float, 2>& levels) override;
    int write_pilot_signal(int channel, const std::array<int, 2>& settings,
                           const std::array<float, 2>& levels) override;
    int write_pilot_factor(int channel, const std::array<float, 2>& pair) override;
    int start_calibration(int selector) override;
    int calibration_done(int mask, int& done) override;
    int enable_pilot(int model_code, int channel, int enable) override;
    int read_pilot(int channel, pilot_readings& readings) override;

    // Login to the server
    bool login_required(std::string& message) override;
    void set_credentials(const std::string& user, const std::string& password) override;
    bool connected() const override;

    const std::string& server_address() const { return server_address_; }
    const std::string& instance_tag() const { return instance_tag_; }

    // Consecutive failed monitor reads; unreachable above 2.
    int timeout_streak() const { return timeout_streak_.load(); }

private:
    // Reads or writes a named attribute under the client mutex.
    int get_attribute(const std::string& attribute, std::string& value);
    int set_attribute(const std::string& attribute, const std::string& value);
    int get_flag(const std::string& attribute, int& flag);
    // The client, created and connected on first use.
    tesira_basic& client() REQUIRES(client_mutex_);
    // A client without a connection tries once more (at most every reconnection interval);
    // false when it still has none.
    static bool reconnected(tesira_basic& client);
    // Copies the client's state for `connected` and `login_required`.
    void publish(const tesira_basic& client) REQUIRES(client_mutex_);
    int peek_words(const param_range& range, std::vector<std::uint32_t>& words);
    // Reads the firmware version and fills the lists from the Tesira table; false while
    // the amplifier is held off or does not answer.
    bool build_parameter_lists(parameter_lists& lists) override;
    int write_pair(std::uint16_t index, std::uint32_t first, std::uint32_t second);

    const std::string server_address_;
    const std::string instance_tag_;
    const tesira_device_options options_;

    mutable mutex client_mutex_;
    std::unique_ptr<tesira_basic> client_ GUARDED_BY(client_mutex_);

    // The client's state as last seen (written under client_mutex_).
    std::atomic<bool> client_made_{false};
    std::atomic<bool> client_connected_{false};
    std::atomic<bool> client_prompt_seen_{false};
    bool login_was_needed_ GUARDED_BY(client_mutex_) = false;
    mutable mutex message_mutex_;
    std::string client_message_ GUARDED_BY(message_mutex_);

    std::atomic<int> timeout_streak_{0};
    line_cache cache_;
};

}  // namespace nox::amp
