// The Mira-family amplifier device: the device interface (device.h) carried by the Mira
// text command protocol and, for parameter blocks and the monitor block, by P20SPI packets
// inside Mira binary frames. docs/mira_commands.md lists every command, its reply and how
// the reply is read.
//
// Every operation that needs the network first asks its interface source for the local
// interface in force (network_interfaces.h); when there is none it returns 1 and sends
// nothing. Every exchange goes through the device's `mira_transport` (one short-lived port
// per exchange in production, a fake in tests).
//
// Reply parsing never throws: a reply token that is not a number, a reply with fewer
// fields than asked for, a project text that does not convert, or a P20SPI command that
// cannot be built makes the operation return 1 (logged), and the caller's request fails.
//
// The constructor reads the model and builds the parameter lists (parameter_map.h); a
// device that does not answer keeps empty lists and tries again on the next
// `parameter_list` call once its 15-second hold-off has passed.
//
// Thread safety: any thread may call a device; callers hold `lock_operations()` around a
// sequence of operations. The time-out streak is atomic; the reply cache has its own
// mutex; the parameter lists are the base class's, under its lists lock.
#pragma once

#include "backend/amp/device.h"
#include "backend/amp/mira_transport.h"
#include "backend/amp/reply_cache.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace nox::amp {

// Hands out the dotted address of the local interface to use; empty when none.
using interface_source = std::function<std::string()>;

// The process's interface in force (`get_mira_interface`).
interface_source default_interface_source();

// One line of the model table.
struct mira_model {
    const char* reply;         // "Dev.ModelName?" answer
    int code;
    const char* display_name;
};

// The model table; a reply not in it gives code 0 and an empty name.
const std::vector<mira_model>& mira_model_table();

// The argument of "Dev.LoadPilot.CalibStart=%s" for a calibration selector: four digits,
// one per channel, separated by blanks ("3 0 0 0" for 0x111); empty for any other selector.
std::string calibration_selector_argument(int selector);

class mira_device final : public device {
public:
    explicit mira_device(const device_address& address,
                         std::shared_ptr<mira_transport> transport = default_mira_transport(),
                         interface_source interface = default_interface_source(),
                         std::shared_ptr<const clock> clock = steady_clock_source());
    ~mira_device() override;

    // Reachability and firmware
    bool unreachable() const override;
    void set_unreachable() override;
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

    // Names and routing
    int read_frame_name(std::string& name) override;
    int write_frame_name(const std::string& name) override;
    int read_channel_names(std::vector<std::string>& names) override;
    int write_channel_names(const std::vector<std::string>& names) override;
    int read_bridge_mode(unsigned channel, int& mode, bool& primary) override;
    int read_routing(std::vector<std::string>& names) override;
    int read_channel_labels(int channel, std::string& module_label, std::string& output_label) override;
    int read_route_matrix(std::vector<std::string>& replies) override;
    int read_select_key(bool& pressed) override;

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
    // "Dev.Power?", "Amp.Version.SWFID?" and the queries of list 1, in one round trip
    // through the transport's `exchange_all`. Only while the cache is on.
    void prefetch_monitoring() override;

    // The cached text exchange: a cache hit answers without sending (and without
    // `touch`); a miss touches, sends, stores a successful reply while the cache is on,
    // and counts a time-out (13) in the time-out streak. Only queries (commands with a
    // "?") are cached; settings and actions are always sent.
    virtual int query(const std::string& command, std::string& reply);

    // Exchanges `commands` (queries only; those already cached or repeated are asked
    // once) together through the transport's `exchange_all` and keeps each outcome, good
    // or not, until a `query` of the same command takes it: that query then logs the
    // exchange's lines, touches, counts a time-out and fills the cache exactly as if it
    // had exchanged at that moment. Outcomes not taken are dropped when the cache is
    // switched on or off. Nothing is sent while the cache is off or for fewer than two
    // commands.
    void prefetch(const std::vector<std::string>& commands);

    // `query` with the reply thrown away.
    int send_command(const std::string& command);
    // `query`, logged "OK: <reply>" or "ERR:<code> <reply>", then the reply split at tabs
    // and spaces into numbers or words. 1 when a token is not a number.
    int query_integers(const std::string& command, std::vector<int>& values);
    int query_floats(const std::string& command, std::vector<float>& values);
    int query_strings(const std::string& command, std::vector<std::string>& values);
    // An uncached exchange handing back the raw reply bytes; logs "vkt_param_bin: " +
    // command. A non-empty `interface_address` that differs from the one in force is
    // used instead of it.
    int raw_query(const std::string& command, std::vector<std::uint8_t>& payload,
                  const std::string& interface_address = {});
    // Asks "Dev.MD.FullBin?3"; true when it answered, `selected` = bit 14 of its status word.
    bool is_selected(bool& selected);

    const device_address& address() const { return address_; }

    // Consecutive transport time-outs; unreachable above 2.
    int timeout_streak() const { return timeout_streak_.load(); }

private:
    // `query`, logged "OK: <reply>" or "ERR:<code> <reply>".
    int logged_query(const std::string& command, std::string& reply);
    // Runs a P20SPI parameter transaction with this amplifier on `interface`: builds the
    // port, logs an exception under `name` (result 1), and prints a reply that does not
    // parse (1) or carries a failing return code (that code). A transport failure is the
    // result when `transport_counts` (a time-out also raises the streak); otherwise an
    // empty reply fails to parse. `accepted` tells whether the amplifier took the command.
    template <class Transaction>
    int run_parameter_transaction(Transaction& transaction, const std::string& interface, const char* name,
                                  bool transport_counts, bool& accepted);

    // Reads the model and fills the lists from the Mira table; false (lists empty) while
    // the amplifier is held off or does not answer.
    bool build_parameter_lists(parameter_lists& lists) override;
    // The replies of "Dev.Route?<module> <output>", by module A..D and output 1..6, each
    // logged when `log_replies`.
    using route_table = std::array<std::array<std::string, 6>, 4>;
    int read_routes(route_table& routes, bool log_replies);
    // Bridge flags of pair 1 (channels 1-2) and pair 2 (channels 3-4).
    int read_bridges(bool (&bridged)[2]);
    // drivers[c]: the (module 0..3, output 1..6) that drives channel c, or module -1. A
    // column is read at character 2c; the secondary channel of a bridged pair is skipped.
    static std::array<std::pair<int, int>, 4> route_drivers(const route_table& routes, const bool (&bridged)[2]);
    // The route matrix and the bridge flags, as drivers.
    int read_route_drivers(std::array<std::pair<int, int>, 4>& drivers);

    // Constant after construction.
    const device_address address_;
    const std::shared_ptr<mira_transport> transport_;
    const interface_source interface_;

    std::atomic<int> timeout_streak_{0};
    reply_cache cache_;  // has its own lock
    // Outcomes of `prefetch` not yet taken by a `query`, by command.
    std::mutex prefetch_mutex_;
    std::unordered_map<std::string, mira::batch_exchange> prefetched_;  // guarded by prefetch_mutex_
};

}  // namespace nox::amp
