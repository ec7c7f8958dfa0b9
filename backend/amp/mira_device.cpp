#include "backend/amp/mira_device.h"

#include "backend/amp/converters.h"
#include "backend/amp/network_interfaces.h"
#include "backend/amp/mira_parameters.h"
#include "backend/amp/socket.h"
#include "backend/p20spi/faw_summary.h"
#include "backend/p20spi/transaction.h"
#include "common/log/log.h"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/lexical_cast.hpp>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <stdexcept>

namespace nox::amp {

namespace {

constexpr const char* status_command = "Dev.MD.FullBin?3";
// Firmware from which on a Mira amplifier has the second-generation pilot-tone functions
// (and sequential calibration).
constexpr float mira_ptg2_firmware = 6.0f;
constexpr std::uint32_t status_bit_dirty = 1u << 13;
constexpr std::uint32_t status_bit_selected = 1u << 14;
constexpr int module_count = 4;
constexpr int outputs_per_module = 6;
constexpr int channel_count = 4;
const char* const module_letters[module_count] = {"A", "B", "C", "D"};

// printf-style expansion into the 255-character command buffer.
std::string format_command(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string format_command(const char* format, ...) {
    char buffer[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

// The same for a format taken from the parameter table (our own data, never user text).
std::string format_row(const std::string& format, int channel_argument) {
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, format.c_str(), channel_argument);
    return buffer;
}

// The query that reads a parameter row for channel index `channel` (0-based).
std::string parameter_query(const mira_parameter& p, int channel) {
    return format_row(p.stem + "?" + p.argument, channel + 1);
}

std::string format_row(const std::string& format, int channel_argument, bool with_channel, const char* value) {
    char buffer[256];
    if (with_channel) {
        std::snprintf(buffer, sizeof buffer, format.c_str(), channel_argument, value);
    } else {
        std::snprintf(buffer, sizeof buffer, format.c_str(), value);
    }
    return buffer;
}

std::vector<std::string> split_reply(const std::string& reply) {
    std::vector<std::string> tokens;
    boost::algorithm::split(tokens, reply, boost::algorithm::is_any_of(" \t"), boost::algorithm::token_compress_on);
    std::erase(tokens, std::string{});
    return tokens;
}

// The first little-endian 32-bit word of a raw reply; false when it is shorter.
bool status_word(const std::vector<std::uint8_t>& payload, std::uint32_t& word) {
    if (payload.size() < 4) return false;
    word = std::uint32_t{payload[0]} | std::uint32_t{payload[1]} << 8 | std::uint32_t{payload[2]} << 16 |
           std::uint32_t{payload[3]} << 24;
    return true;
}

// The device's transport seen as a P20SPI port, so that the P20SPI transactions can run
// over it. One per exchange, like the Ethernet port itself.
class transport_port final : public P20SPI::IPort {
public:
    transport_port(mira_transport& transport, std::string interface_address)
        : transport_(transport), interface_(std::move(interface_address)) {}

    void discover(std::vector<P20SPI::CDeviceAddress>&) override {}
    void address_text(std::uint64_t id, std::string& text) const override { text = nox::amp::address_text(id); }
    int open_target(const P20SPI::CDeviceAddress& target) override {
        target_ = device_address{target.id_high, target.id_low, target.kind};
        open_ = true;
        return P20SPI::kPortOk;
    }
    int close_target() override {
        if (!open_) return P20SPI::kPortNotOpen;
        open_ = false;
        return P20SPI::kPortOk;
    }
    int transact_packet(std::span<const std::uint32_t> packet, std::vector<std::uint32_t>& reply) override {
        reply.clear();
        if (!open_) return P20SPI::kPortNotOpen;
        return transport_.packet(interface_, target_, packet, reply);
    }
    int transact_frame(std::span<const std::uint8_t>, std::vector<std::uint8_t>& reply) override {
        reply.clear();
        return P20SPI::kPortNotSupported;
    }

private:
    mira_transport& transport_;
    std::string interface_;
    device_address target_;
    bool open_ = false;
};

template <class T>
int parse_tokens(const std::string& command, const std::string& reply, std::vector<T>& values) {
    std::vector<T> parsed;
    try {
        for (const auto& token : split_reply(reply)) parsed.push_back(boost::lexical_cast<T>(token));
    } catch (const boost::bad_lexical_cast&) {
        log_line("Unparsable reply to " + command + ": " + reply);
        return result_refused;
    }
    values = std::move(parsed);
    return result_ok;
}

bool is_number(const std::string& text, int type) {
    try {
        if (type == value_type_float) {
            (void)boost::lexical_cast<double>(text);
        } else {
            (void)boost::lexical_cast<long long>(text);
        }
        return true;
    } catch (const boost::bad_lexical_cast&) {
        return false;
    }
}

}  // namespace

interface_source default_interface_source() {
    return [] { return get_mira_interface(); };
}

const std::vector<mira_model>& mira_model_table() {
    static const std::vector<mira_model> table{
        {"VR45:4M", 8, "VR 45:4M"},   {"VR25:4M", 7, "VR 25:4M"},     {"VR15:4M", 6, "VR 15:4M"},
        {"VR85:4M", 5, "VR 85:4M"},   {"VR125:4M", 4, "VR 125:4M"},   {"VR205:4M", 3, "VR 205:4M"},
        {"9K66", 5, "QXN 9K66"},      {"13K66", 4, "QXN 13K66"},      {"21K66", 3, "QXN 21K66"},
        {"21000R", 3, "QXN 21000R"},
    };
    return table;
}

std::string calibration_selector_argument(int selector) {
    static const std::map<int, const char*> arguments{
        {0x11, "2 0 0 0"},  {0x22, "0 2 0 0"},  {0x44, "0 0 2 0"},  {0x88, "0 0 0 2"},
        {0x100, "1 0 0 0"}, {0x200, "0 1 0 0"}, {0x400, "0 0 1 0"}, {0x800, "0 0 0 1"},
        {0x111, "3 0 0 0"}, {0x222, "0 3 0 0"}, {0x444, "0 0 3 0"}, {0x888, "0 0 0 3"},
    };
    const auto found = arguments.find(selector);
    return found == arguments.end() ? std::string{} : std::string{found->second};
}

mira_device::mira_device(const device_address& address, std::shared_ptr<mira_transport> transport,
                         interface_source interface, std::shared_ptr<const clock> clock)
    : device(std::move(clock)),
      address_(address),
      transport_(transport ? std::move(transport) : default_mira_transport()),
      interface_(interface ? std::move(interface) : default_interface_source()) {
    rebuild_parameter_lists();
}

mira_device::~mira_device() = default;

// ---------------------------------------------------------------- exchange layers

int mira_device::query(const std::string& command, std::string& reply) {
    // Only queries are answered from the cache: a setting or an action must always reach
    // the amplifier, even when it repeats one made earlier in the same pass.
    const bool cacheable = command.find('?') != std::string::npos;
    const std::string key = cacheable ? reply_cache::key(address_, command) : std::string{};
    if (cacheable && cache_.lookup(key, reply)) return result_ok;
    reply.clear();
    if (cacheable) {
        std::unique_lock lock(prefetch_mutex_);
        const auto found = prefetched_.find(command);
        if (found != prefetched_.end()) {
            const mira::batch_exchange item = std::move(found->second);
            prefetched_.erase(found);
            lock.unlock();
            for (const auto& line : item.lines) log_line(line);
            touch();
            if (item.result == result_ok) reply = mira::payload_text(item.payload);
            if (item.result == result_timeout) ++timeout_streak_;
            if (item.result == result_ok) cache_.store(key, reply);
            return item.result;
        }
    }
    const std::string interface = interface_();
    if (interface.empty()) return result_refused;
    touch();
    const int result = transport_->text(interface, address_, command, reply);
    if (result == result_timeout) ++timeout_streak_;
    if (result == result_ok && cacheable) cache_.store(key, reply);
    return result;
}

int mira_device::send_command(const std::string& command) {
    std::string reply;
    return query(command, reply);
}

int mira_device::logged_query(const std::string& command, std::string& reply) {
    const int result = query(command, reply);
    if (result != result_ok)
        log_line("ERR:" + std::to_string(result) + " " + reply);
    else
        log_line("OK: " + reply);
    return result;
}

int mira_device::query_integers(const std::string& command, std::vector<int>& values) {
    std::string reply;
    const int result = logged_query(command, reply);
    return result != result_ok ? result : parse_tokens(command, reply, values);
}

int mira_device::query_floats(const std::string& command, std::vector<float>& values) {
    std::string reply;
    const int result = logged_query(command, reply);
    return result != result_ok ? result : parse_tokens(command, reply, values);
}

int mira_device::query_strings(const std::string& command, std::vector<std::string>& values) {
    std::string reply;
    const int result = logged_query(command, reply);
    if (result == result_ok) values = split_reply(reply);
    return result;
}

int mira_device::raw_query(const std::string& command, std::vector<std::uint8_t>& payload,
                           const std::string& interface_address) {
    log_line("vkt_param_bin: " + command);
    payload.clear();
    std::string interface = interface_();
    if (!interface_address.empty() && interface_address != interface) interface = interface_address;
    if (interface.empty()) return result_refused;
    return transport_->text_raw(interface, address_, command, payload);
}

int mira_device::read_select_key(bool& pressed) { return is_selected(pressed) ? result_ok : result_refused; }

bool mira_device::is_selected(bool& selected) {
    log_line("get_is_selected...");
    std::vector<std::uint8_t> payload;
    if (raw_query(status_command, payload) != result_ok) return false;
    std::uint32_t word = 0;
    if (!status_word(payload, word)) return false;
    selected = (word & status_bit_selected) != 0;
    return true;
}

// ---------------------------------------------------------------- cache and reachability

void mira_device::cache_on() {
    cache_.enable();
    std::lock_guard lock(prefetch_mutex_);
    prefetched_.clear();
}

void mira_device::cache_off() {
    cache_.disable();
    std::lock_guard lock(prefetch_mutex_);
    prefetched_.clear();
}

void mira_device::prefetch(const std::vector<std::string>& commands) {
    if (!cache_.enabled()) return;
    std::vector<mira::batch_exchange> items;
    std::string cached;
    for (const auto& command : commands) {
        if (command.find('?') == std::string::npos) continue;
        if (std::any_of(items.begin(), items.end(), [&](const auto& item) { return item.command == command; }))
            continue;
        if (cache_.lookup(reply_cache::key(address_, command), cached)) continue;
        mira::batch_exchange item;
        item.command = command;
        items.push_back(std::move(item));
    }
    if (items.size() < 2) return;
    const std::string interface = interface_();
    if (interface.empty()) return;
    transport_->exchange_all(interface, address_, items);
    std::lock_guard lock(prefetch_mutex_);
    for (auto& item : items) {
        std::string command = item.command;
        prefetched_.insert_or_assign(std::move(command), std::move(item));
    }
}

void mira_device::prefetch_monitoring() {
    std::vector<std::string> commands{"Dev.Power?", "Amp.Version.SWFID?"};
    std::vector<param_entry> entries;
    if (parameter_list(1, entries) == result_ok) {
        for (const auto& entry : entries) {
            if (const mira_parameter* p = entry.address_as<mira_parameter>())
                commands.push_back(parameter_query(*p, entry.channel));
        }
    }
    prefetch(commands);
}
bool mira_device::unreachable() const { return timeout_streak_.load() > 2; }
void mira_device::set_unreachable() { timeout_streak_.store(3); }
float mira_device::min_firmware_version() const { return 7.0f; }

// ---------------------------------------------------------------- binary operations

template <class Transaction>
int mira_device::run_parameter_transaction(Transaction& transaction, const std::string& interface, const char* name,
                                           bool transport_counts, bool& accepted) {
    accepted = false;
    transport_port port(*transport_, interface);
    port.open_target(P20SPI::CDeviceAddress{address_.id_high, address_.id_low, address_.kind});
    int result;
    try {
        result = transaction.run(port);
    } catch (const std::exception& e) {
        log_line(std::string(name) + ": " + e.what());
        return result_refused;
    }
    if (transport_counts) {
        if (result == result_timeout) ++timeout_streak_;
        if (result != result_ok) return result;
    }
    if (!transaction.parsed()) {
        print_line("Parse failed.\n");
        return result_refused;
    }
    const auto& code = transaction.rsp().return_code();
    if (!code.is_success()) {
        print_line("%s\n", code.text());
        return code.code();
    }
    accepted = true;
    return code.code();
}

int mira_device::read_params(const param_range& range, std::vector<std::uint32_t>& values) {
    const std::string interface = interface_();
    if (interface.empty() || range.last < range.first) return result_refused;
    P20SPI::CParamReadTransaction transaction;
    transaction.cmd().address() = P20SPI::CParamAddress(range.block, range.first, range.last - range.first + 1u);
    bool accepted = false;
    const int result = run_parameter_transaction(transaction, interface, "read_params", true, accepted);
    if (accepted) values = transaction.rsp().values();
    return result;
}

int mira_device::write_params(const param_range& range, const std::vector<std::uint32_t>& values) {
    log_line("put_params...");
    if (refuse_write()) return result_refused;
    const std::string interface = interface_();
    if (interface.empty()) return result_refused;
    P20SPI::CParamWriteTransaction transaction;
    transaction.cmd().address() = P20SPI::CParamAddress(range.block, range.first, static_cast<unsigned>(values.size()));
    transaction.cmd().set_values(values);
    // The transport result is not examined: a write that got no reply fails to parse.
    bool accepted = false;
    const int result = run_parameter_transaction(transaction, interface, "put_params", false, accepted);
    // "Ok" and "Parameter accepted" both mean the words were taken.
    return accepted ? result_ok : result;
}

int mira_device::read_monitor(std::vector<std::uint32_t>& words) {
    log_line("get_monitor_params...");
    const std::string interface = interface_();
    if (interface.empty()) return result_refused;
    touch();
    transport_port port(*transport_, interface);
    port.open_target(P20SPI::CDeviceAddress{address_.id_high, address_.id_low, address_.kind});
    P20SPI::CMonitorReadTransaction transaction;
    const int result = transaction.run(port);
    if (result == result_timeout) {
        const int streak = ++timeout_streak_;
        log_line("timed out streak: " + std::to_string(streak));
        return result;
    }
    if (result != result_ok) return result;
    timeout_streak_.store(0);
    std::vector<std::uint8_t> payload;
    const int status = raw_query(status_command, payload);
    if (status != result_ok) return status;
    std::vector<std::uint32_t> flat;
    if (!transaction.parsed() || P20SPI::summarize_monitor(transaction.rsp(), flat) != 0) {
        // A monitor reply without its block is not a monitoring result.
        log_line("get_monitor_params: unparsable monitor reply");
        words.clear();
        return result_refused;
    }
    std::uint32_t word = 0;
    const bool have_word = status_word(payload, word);
    flat.push_back(have_word && (word & status_bit_dirty) != 0 ? 1u : 0u);
    words = std::move(flat);
    return result_ok;
}

// ---------------------------------------------------------------- frame and channel texts

int mira_device::read_frame_name(std::string& name) { return query("Dev.FrameLabel?", name); }

int mira_device::write_frame_name(const std::string& name) {
    if (refuse_write()) return result_refused;
    return send_command(format_command("Dev.FrameLabel=%s", name.c_str()));
}

int mira_device::read_channel_names(std::vector<std::string>&) { return result_ok; }

int mira_device::soft_reset() {
    if (refuse_write()) return result_refused;
    return send_command("Dev.Reset.Soft!");
}

int mira_device::read_route_drivers(std::array<std::pair<int, int>, 4>& drivers) {
    route_table routes;
    int result = read_routes(routes, true);
    if (result != result_ok) return result;
    bool bridged[2];
    if ((result = read_bridges(bridged)) != result_ok) return result;
    drivers = route_drivers(routes, bridged);
    return result_ok;
}

int mira_device::read_routes(route_table& routes, bool log_replies) {
    for (int m = 0; m < module_count; ++m) {
        for (int o = 0; o < outputs_per_module; ++o) {
            const std::string command = std::string("Dev.Route?") + module_letters[m] + " " + std::to_string(o + 1);
            const int result = query(command, routes[m][o]);
            if (result != result_ok) return result;
            if (log_replies) log_line(command + " " + routes[m][o]);
        }
    }
    return result_ok;
}

int mira_device::read_route_matrix(std::vector<std::string>& replies) {
    route_table routes;
    const int result = read_routes(routes, false);
    if (result != result_ok) return result;
    replies.clear();
    for (const auto& module : routes) replies.insert(replies.end(), module.begin(), module.end());
    return result_ok;
}

int mira_device::read_bridges(bool (&bridged)[2]) {
    for (int pair = 0; pair < 2; ++pair) {
        int mode = 0;
        bool primary = false;
        const int result = read_bridge_mode(pair == 0 ? 0u : 3u, mode, primary);
        if (result != result_ok) return result;
        bridged[pair] = mode == 1;
    }
    return result_ok;
}

std::array<std::pair<int, int>, 4> mira_device::route_drivers(const route_table& routes, const bool (&bridged)[2]) {
    std::array<std::pair<int, int>, channel_count> drivers;
    drivers.fill({-1, 0});
    for (int c = 0; c < channel_count; ++c) {
        // The secondary channel of a bridged pair has no route of its own.
        if ((c == 1 && bridged[0]) || (c == 3 && bridged[1])) continue;
        const std::size_t column = static_cast<std::size_t>(2 * c);
        for (int m = 0; m < module_count && drivers[c].first < 0; ++m) {
            for (int o = 0; o < outputs_per_module; ++o) {
                const std::string& route = routes[m][o];
                if (column < route.size() && route[column] == 'X') {
                    drivers[c] = {m, o + 1};
                    break;
                }
            }
        }
    }
    return drivers;
}

int mira_device::read_routing(std::vector<std::string>& names) {
    names.clear();
    route_table routes;
    int result = read_routes(routes, true);
    if (result != result_ok) return result;
    std::array<std::string, module_count> module_labels;
    for (int m = 0; m < module_count; ++m) {
        result = query(std::string("Mod.Mod.Label?") + module_letters[m], module_labels[m]);
        if (result != result_ok) return result;
    }
    bool bridged[2];
    if ((result = read_bridges(bridged)) != result_ok) return result;
    const auto drivers = route_drivers(routes, bridged);
    std::vector<std::string> result_names(channel_count, "Unrouted");
    for (int c = 0; c < channel_count; ++c) {
        if (drivers[c].first < 0) continue;
        std::string output_label;
        result = query(std::string("Mod.Out.Label?") + module_letters[drivers[c].first] + " " +
                           std::to_string(drivers[c].second),
                       output_label);
        if (result != result_ok) return result;
        result_names[c] = module_labels[drivers[c].first] + "." + output_label;
    }
    // Channels sharing a module are numbered within their module, in channel order.
    for (int m = 0; m < module_count; ++m) {
        int members = 0;
        for (int c = 0; c < channel_count; ++c) members += drivers[c].first == m ? 1 : 0;
        if (members < 2) continue;
        int position = 0;
        for (int c = 0; c < channel_count; ++c) {
            if (drivers[c].first == m) result_names[c] += std::to_string(++position);
        }
    }
    names = std::move(result_names);
    return result_ok;
}

int mira_device::write_channel_names(const std::vector<std::string>& names) {
    if (refuse_write()) return result_refused;
    std::array<std::pair<int, int>, channel_count> drivers;
    const int matrix = read_route_drivers(drivers);
    if (matrix != result_ok) return matrix;
    std::array<std::string, channel_count> module_labels;
    std::array<std::string, channel_count> output_labels;
    for (int c = 0; c < channel_count; ++c) {
        const std::string name = static_cast<std::size_t>(c) < names.size() ? names[c] : std::string{};
        const auto dot = name.rfind('.');
        if (dot == std::string::npos || dot + 1 == name.size()) {
            log_line("ORVA channel names not compatible with Mira. Must have at least one dot in name, and must not end with a dot");
            return result_refused;
        }
        module_labels[c] = name.substr(0, dot);
        output_labels[c] = name.substr(dot + 1);
    }
    // Undo the numbering that reading gives channels sharing a module: the label loses its
    // last digit (what the pattern "(.*)(\\d+)$" leaves in its first group, for a label
    // without line breaks). Done by hand: a regular expression engine that backtracks by
    // recursion overflows the stack on a label of some ten thousand characters, and a
    // label is whatever the project holds.
    for (int c = 0; c < channel_count; ++c) {
        if (drivers[c].first < 0) continue;
        int members = 0;
        for (int k = 0; k < channel_count; ++k) members += drivers[k].first == drivers[c].first ? 1 : 0;
        if (members < 2) continue;
        std::string& label = output_labels[c];
        if (!label.empty() && label.back() >= '0' && label.back() <= '9' && label.find_first_of("\r\n") == std::string::npos)
            label.pop_back();
    }
    for (int c = 0; c < channel_count; ++c) {
        for (int k = c + 1; k < channel_count; ++k) {
            if (drivers[c].first < 0 || drivers[k].first != drivers[c].first) continue;
            const bool same_output = drivers[k].second == drivers[c].second;
            if (module_labels[c] != module_labels[k] || (same_output && output_labels[c] != output_labels[k])) {
                log_line("Mira routing not compatible with ORVA!");
                return result_refused;
            }
        }
    }
    for (int c = 0; c < channel_count; ++c) {
        int result = send_command(format_command("Mod.Mod.Label=#%d %s", c + 1, module_labels[c].c_str()));
        if (result != result_ok) return result;
        result = send_command(format_command("Mod.Out.Label=#%d %s", c + 1, output_labels[c].c_str()));
        if (result != result_ok) return result;
    }
    return result_ok;
}

int mira_device::read_channel_labels(int channel, std::string& module_label, std::string& output_label) {
    int result = query("Mod.Mod.Label?#" + std::to_string(channel + 1), module_label);
    if (result != result_ok) return result;
    result = query("Mod.Out.Label?#" + std::to_string(channel + 1), output_label);
    return result;
}

// ---------------------------------------------------------------- power, mute, model

int mira_device::read_mute(int channel, int& mute) {
    std::vector<int> values;
    const int result = query_integers(format_command("Dev.Pwr.Mute?%d", channel + 1), values);
    if (result != result_ok) return result;
    if (values.empty()) return result_refused;
    mute = values.front();
    return result_ok;
}

int mira_device::write_mute(int channel, int mute) {
    if (refuse_write()) return result_refused;
    return send_command(format_command("Dev.Pwr.Mute=%d %d", channel + 1, mute));
}

int mira_device::write_power(int on) {
    if (refuse_write()) return result_refused;
    return send_command(format_command("Dev.Power=%d", on));
}

int mira_device::read_power(int& on) {
    std::vector<int> values;
    int result = query_integers("Dev.Power?", values);
    if (result == result_ok && values.empty()) result = result_refused;
    if (result != result_ok) {
        on = 0;
        return result;
    }
    on = values.front();
    touch();
    timeout_streak_.store(0);
    return result_ok;
}

int mira_device::read_model(int& code, std::string& display_name, std::string& frame_type) {
    frame_type = "mira";
    code = 0;
    display_name.clear();
    std::string reply;
    const int result = query("Dev.ModelName?", reply);
    if (result != result_ok) return result;
    for (const auto& model : mira_model_table()) {
        if (reply == model.reply) {
            code = model.code;
            display_name = model.display_name;
            break;
        }
    }
    return result_ok;
}

int mira_device::read_bridge_mode(unsigned channel, int& mode, bool& primary) {
    std::vector<int> values;
    const int result = query_integers(format_command("Dev.BridgeMode?%u", channel / 2 + 1), values);
    if (result != result_ok) return result;
    if (values.empty()) return result_refused;
    mode = values.front();
    primary = channel % 2 == 0;
    return result_ok;
}

// ---------------------------------------------------------------- load pilot

int mira_device::write_ref_impedance(int channel, const std::array<float, 2>& pair) {
    if (refuse_write()) return result_refused;
    return send_command(format_command("Dev.LoadPilot.RefImp=%d %.2f %.2f", channel + 1,
                                       static_cast<double>(pair[0]), static_cast<double>(pair[1])));
}

int mira_device::write_pilot_signal_all(const std::array<int, 2>& settings, const std::array<float, 2>& levels) {
    if (refuse_write()) return result_refused;
    for (int c = 0; c < channel_count; ++c) {
        const int result = write_pilot_signal(c, settings, levels);
        if (result != result_ok) return result;
    }
    return result_ok;
}

int mira_device::write_pilot_signal(int channel, const std::array<int, 2>& settings,
                                    const std::array<float, 2>& levels) {
    if (refuse_write()) return result_refused;
    return send_command(format_command("Dev.LoadPilot.Signal=%d %d %d %.3f %.3f", channel + 1, settings[0],
                                       settings[1], static_cast<double>(levels[0]), static_cast<double>(levels[1])));
}

int mira_device::write_pilot_factor(int channel, const std::array<float, 2>& pair) {
    if (refuse_write()) return result_refused;
    return send_command(format_command("Dev.LoadPilot.Factor=%d %.3f %.3f", channel + 1,
                                       static_cast<double>(pair[0]), static_cast<double>(pair[1])));
}

int mira_device::start_calibration(int selector) {
    if (refuse_write()) return result_refused;
    return send_command(format_command("Dev.LoadPilot.CalibStart=%s", calibration_selector_argument(selector).c_str()));
}

int mira_device::calibration_done(int mask, int& done) {
    std::string reply;
    const int result = query("Dev.LoadPilot.CalibDone?", reply);
    if (result != result_ok) return result;
    log_line("Calibration status: " + reply);
    std::vector<int> values;
    if (parse_tokens("Dev.LoadPilot.CalibDone?", reply, values) != result_ok || values.empty()) {
        return result_refused;
    }
    done = mask & values.front();
    return result_ok;
}

int mira_device::enable_pilot(int, int channel, int enable) {
    if (refuse_write()) return result_refused;
    return send_command(format_command("Dev.LoadPilot.Enable=%d %d", channel + 1, enable));
}

int mira_device::read_pilot(int channel, pilot_readings& readings) {
    std::vector<float> values;
    int result = query_floats(format_command("Dev.LoadPilot.Threshold?%d", channel + 1), values);
    if (result != result_ok) return result;
    if (values.size() < 4) return result_refused;
    std::copy_n(values.begin(), 4, readings.thresholds.begin());
    const auto read_pair = [&](const char* format, std::array<float, 2>& pair) {
        std::vector<float> pair_values;
        const int r = query_floats(format_command(format, channel + 1), pair_values);
        if (r != result_ok) return r;
        if (pair_values.size() < 2) return result_refused;
        pair = {pair_values[0], pair_values[1]};
        return result_ok;
    };
    if ((result = read_pair("Dev.LoadPilot.RefImp?%d", readings.ref_impedances)) != result_ok) return result;
    if ((result = read_pair("Dev.LoadPilot.Readings?%d", readings.readings)) != result_ok) return result;
    return read_pair("Dev.LoadPilot.Factor?%d", readings.factors);
}

// ---------------------------------------------------------------- parameter map

bool mira_device::build_parameter_lists(parameter_lists& lists) {
    if (in_unreachable_hold_off(*this)) return false;
    touch();
    int code = 0;
    std::string name;
    std::string type;
    const int result = read_model(code, name, type);
    if (result != result_ok) {
        if (result == result_timeout) ++timeout_streak_;
        return false;
    }
    timeout_streak_.store(0);
    set_high_power_model(code >= 3 && code <= 5);
    firmware_version();
    lists = mira_parameter_rows();
    return true;
}

int mira_device::read_param(const param_entry& entry, param_value& value) {
    const mira_parameter* p = entry.address_as<mira_parameter>();
    if (p == nullptr) return result_refused;
    const std::string command = parameter_query(*p, entry.channel);
    const auto position = static_cast<std::size_t>(p->field_position);
    if (p->value_type == value_type_integer) {
        std::vector<int> values;
        const int result = query_integers(command, values);
        if (result != result_ok) return result;
        if (p->field_position < 0 || position >= values.size()) return result_refused;
        value = static_cast<std::int32_t>(values[position]);
    } else {
        std::vector<float> values;
        const int result = query_floats(command, values);
        if (result != result_ok) return result;
        if (p->field_position < 0 || position >= values.size()) return result_refused;
        value = values[position];
    }
    return result_ok;
}

int mira_device::write_param(const param_entry& entry, const std::string& project_text) {
    if (refuse_write()) return result_refused;
    const mira_parameter* p = entry.address_as<mira_parameter>();
    if (p == nullptr) return result_refused;
    const bool with_channel = !p->argument.empty();
    const int channel_argument = entry.channel + 1;
    if (p->field_count <= 1) {
        std::string value_text;
        try {
            char buffer[64];
            if (p->value_type == value_type_float) {
                std::snprintf(buffer, sizeof buffer, "%.2f", static_cast<double>(boost::lexical_cast<float>(project_text)));
            } else {
                std::snprintf(buffer, sizeof buffer, "%d",
                              static_cast<int>(to_device_word(entry.converter, project_text)));
            }
            value_text = buffer;
        } catch (const std::exception& e) {
            log_line("write_param " + entry.key + ": cannot convert \"" + project_text + "\": " + e.what());
            return result_refused;
        }
        return send_command(format_row(p->stem + "=" + p->argument + " %s", channel_argument, with_channel,
                                       value_text.c_str()));
    }
    // One field of several: read the others, replace this one, write them all back.
    if (!is_number(project_text, p->value_type)) {
        log_line("write_param " + entry.key + ": not a number: \"" + project_text + "\"");
        return result_refused;
    }
    std::vector<std::string> fields;
    const int result = query_strings(format_row(p->stem + "?" + p->argument, channel_argument), fields);
    if (result != result_ok) return result;
    const auto position = static_cast<std::size_t>(p->field_position);
    if (p->field_position < 0 || position >= fields.size()) {
        log_line("write_param " + entry.key + ": reply has " + std::to_string(fields.size()) + " fields");
        return result_refused;
    }
    fields[position] = project_text;
    std::string joined;
    for (const auto& field : fields) {
        if (!joined.empty()) joined += ' ';
        joined += field;
    }
    return send_command(format_row(p->stem + "=" + p->argument + " %s", channel_argument, with_channel,
                                   joined.c_str()));
}

float mira_device::firmware_version() {
    std::string reply;
    float version = 0.0f;
    if (query("Amp.Version.SWFID?", reply) == result_ok) {
        version = static_cast<float>(std::atof(reply.c_str()));
    } else if (read_firmware_parameter(version) != result_ok) {
        version = 0.0f;
    }
    record_firmware(version, mira_ptg2_firmware);
    return version;
}

}  // namespace nox::amp
