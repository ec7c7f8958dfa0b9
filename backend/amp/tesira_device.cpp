#include "backend/amp/tesira_device.h"

#include "backend/amp/converters.h"
#include "backend/amp/tesira_parameters.h"
#include "backend/p20spi/faw_summary.h"
#include "common/log/log.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace nox::amp {

namespace {

constexpr int channel_count = 4;
constexpr std::uint8_t mute_block = 2;
constexpr std::uint16_t mute_indices[channel_count] = {0, 5, 10, 15};
constexpr std::uint8_t pilot_block = 5;
constexpr std::uint16_t pilot_stride = 21;
constexpr std::uint16_t calibration_start_index = 86;
constexpr std::uint16_t calibration_done_index = 87;
constexpr std::uint16_t cache_line_reach = 55;

// The scales of the pilot-tone parameters (linear scales of the parameter map).
const linear_scale<unsigned int, float> amplitude_scale{0, 2000, 0.0f, 2.0f};
const linear_scale<unsigned int, float> impedance_scale{0, 6000000, 0.0f, 6000.00048828125f};
const linear_scale<unsigned int, int> frequency_scale{10000, 47000000, 10, 47000};

std::uint32_t address_of(std::uint8_t block, std::uint16_t index) { return (std::uint32_t{block} << 16) | index; }

bool valid_channel(int channel) { return channel >= 0 && channel < channel_count; }

std::uint16_t pilot_index(int channel, int offset) { return static_cast<std::uint16_t>(pilot_stride * channel + offset); }

// Rounds through the scale; a value that is not finite cannot be written.
bool scaled(float value, const linear_scale<unsigned int, float>& scale, std::uint32_t& word) {
    try {
        word = scale.to_device(value);
        return true;
    } catch (const std::exception& e) {
        log_line(std::string("pilot value not writable: ") + e.what());
        return false;
    }
}

}  // namespace

const std::vector<tesira_model>& tesira_model_table() {
    static const std::vector<tesira_model> table{
        {8, "VR 45:4S/Sa"}, {7, "VR 25:4S/Sa"}, {6, "VR 15:4S/Sa"},
        {5, "VR 85:4S/Sa"}, {4, "VR 125:4S/Sa"}, {3, "VR 205:4S/Sa"},
    };
    return table;
}

const std::vector<cache_line_row>& tesira_cache_line_table() {
    static const std::vector<cache_line_row> table{
        {0, 0, 17}, {0, 23, 27}, {2, 0, 35}, {3, 0, 11}, {5, 0, 184},
        {16, 0, 7}, {16, 36, 40}, {18, 0, 68}, {32, 0, 8},
    };
    return table;
}

param_range tesira_cache_line(std::uint8_t block, std::uint16_t index) {
    for (const auto& row : tesira_cache_line_table()) {
        if (row.block == block && row.first <= index && index <= row.last) {
            const auto reach = static_cast<std::uint16_t>(std::min<int>(row.last, index + cache_line_reach));
            return {block, index, reach};
        }
    }
    return {block, index, index};
}

bool tesira_reply_value(const std::string& reply, std::string& value) {
    const auto colon = reply.find(':');
    if (colon == std::string::npos) return false;
    const std::string rest = reply.substr(colon + 1);
    const auto first = rest.find_first_not_of(" \"\r\n");
    if (first == std::string::npos) {
        value.clear();
        return true;
    }
    const auto last = rest.find_last_not_of(" \"\r\n");
    value = rest.substr(first, last - first + 1);
    return true;
}

bool tesira_reply_words(const std::string& reply, std::vector<std::uint32_t>& words) {
    const auto open = reply.find('[');
    const auto close = reply.find(']');
    if (open == std::string::npos || close == std::string::npos || close < open) return false;
    std::vector<std::uint32_t> parsed;
    const std::string list = reply.substr(open + 1, close - open - 1);
    std::size_t at = 0;
    while (at < list.size()) {
        const auto begin = list.find_first_not_of(" \t", at);
        if (begin == std::string::npos) break;
        auto end = list.find_first_of(" \t", begin);
        if (end == std::string::npos) end = list.size();
        const std::string piece = list.substr(begin, end - begin);
        char* stop = nullptr;
        errno = 0;
        const long long number = std::strtoll(piece.c_str(), &stop, 10);
        if (errno != 0 || *stop != 0 || number < -2147483648LL || number > 4294967295LL) return false;
        parsed.push_back(static_cast<std::uint32_t>(number));
        at = end;
    }
    words = std::move(parsed);
    return true;
}

tesira_device::tesira_device(std::string server_address, std::string instance_tag, tesira_device_options options)
    : device(options.device_clock),
      server_address_(std::move(server_address)),
      instance_tag_(std::move(instance_tag)),
      options_(std::move(options)) {}

tesira_device::~tesira_device() = default;

// ---------------------------------------------------------------- the client

tesira_basic& tesira_device::client() {
    if (!client_) {
        client_ = std::make_unique<tesira_basic>(server_address_, options_.client);
        // A new client connects at once: its first operation must not wait for the
        // reconnection interval to pass.
        client_->connect();
        client_made_.store(true);
        publish(*client_);
    }
    return *client_;
}

bool tesira_device::reconnected(tesira_basic& client) {
    if (client.socket() < 0) client.reconnect_if_due();
    return client.socket() >= 0;
}

void tesira_device::publish(const tesira_basic& client) {
    client_connected_.store(client.connected());
    client_prompt_seen_.store(client.login_prompt_seen());
    {
        lock_guard lock(message_mutex_);
        client_message_ = client.login_message();
    }
    const bool needed = client.login_prompt_seen() && !client.connected();
    if (needed && !login_was_needed_ && options_.login_needed) options_.login_needed();
    login_was_needed_ = needed;
}

int tesira_device::get_attribute(const std::string& attribute, std::string& value) {
    lock_guard lock(client_mutex_);
    tesira_basic& client = this->client();
    int result = -1;
    std::string reply;
    if (reconnected(client)) result = client.get(instance_tag_, attribute, reply);
    publish(client);
    if (result != 0) return result;
    return tesira_reply_value(reply, value) ? result_ok : result_refused;
}

int tesira_device::set_attribute(const std::string& attribute, const std::string& value) {
    lock_guard lock(client_mutex_);
    tesira_basic& client = this->client();
    int result = -1;
    std::string reply;
    if (reconnected(client)) result = client.set(instance_tag_, attribute, value, reply);
    publish(client);
    return result;
}

int tesira_device::get_flag(const std::string& attribute, int& flag) {
    std::string value;
    const int result = get_attribute(attribute, value);
    if (result == result_ok) flag = value == "true" ? 1 : 0;
    return result;
}

// ---------------------------------------------------------------- cache and reachability

void tesira_device::cache_on() { cache_.enable(); }
void tesira_device::cache_off() { cache_.disable(); }
bool tesira_device::unreachable() const { return timeout_streak_.load() > 2; }
void tesira_device::set_unreachable() { timeout_streak_.store(3); }
float tesira_device::min_firmware_version() const { return 19.0f; }

bool tesira_device::connected() const { return client_made_.load() && client_connected_.load(); }

bool tesira_device::login_required(std::string& message) {
    if (!client_made_.load() || client_connected_.load()) return false;
    {
        lock_guard lock(message_mutex_);
        message = client_message_;
    }
    return client_prompt_seen_.load();
}

void tesira_device::set_credentials(const std::string& user, const std::string& password) {
    lock_guard lock(client_mutex_);
    if (!client_) client_ = std::make_unique<tesira_basic>(server_address_, options_.client);
    client_made_.store(true);
    client_->set_credentials(user, password);
    client_->close();
    client_->connect();
    publish(*client_);
}

// ---------------------------------------------------------------- binary parameters

int tesira_device::peek_words(const param_range& range, std::vector<std::uint32_t>& words) {
    std::string reply;
    int result = -1;
    {
        lock_guard lock(client_mutex_);
        tesira_basic& client = this->client();
        if (reconnected(client)) {
            result = client.peek(instance_tag_, address_of(range.block, range.first),
                                 static_cast<std::uint32_t>(range.last - range.first + 1), reply);
        }
        publish(client);
    }
    if (result != 0) {
        log_line("Failed to read parameter");
        return result;
    }
    if (!tesira_reply_words(reply, words)) {
        log_line("Unparsable parameter reply: " + reply.substr(0, 256));
        return result_refused;
    }
    return result_ok;
}

int tesira_device::read_params(const param_range& range, std::vector<std::uint32_t>& values) {
    if (range.last < range.first) return result_refused;
    const auto mute_channel = [](std::uint16_t index) {
        for (int c = 0; c < channel_count; ++c) {
            if (mute_indices[c] == index) return c;
        }
        return -1;
    };
    // The server's mute attribute is authoritative over the amplifier's mute words.
    if (range.block == mute_block && range.first == range.last && mute_channel(range.first) >= 0) {
        int muted = 0;
        const int result = get_flag("mute " + std::to_string(mute_channel(range.first) + 1), muted);
        if (result != result_ok) return result;
        values = {static_cast<std::uint32_t>(muted)};
        return result_ok;
    }
    std::vector<std::uint32_t> words;
    const int result = peek_words(range, words);
    if (result != result_ok) return result;
    if (range.block == mute_block) {
        for (int c = 0; c < channel_count; ++c) {
            const std::uint16_t index = mute_indices[c];
            if (index < range.first || index > range.last || index - range.first >= static_cast<int>(words.size())) {
                continue;
            }
            int muted = 0;
            const int mute_result = get_flag("mute " + std::to_string(c + 1), muted);
            if (mute_result != result_ok) return mute_result;
            words[index - range.first] = static_cast<std::uint32_t>(muted);
        }
    }
    values = std::move(words);
    return result_ok;
}

int tesira_device::write_params(const param_range& range, const std::vector<std::uint32_t>& values) {
    if (refuse_write()) return result_refused;
    if (values.empty()) return result_refused;
    lock_guard lock(client_mutex_);
    tesira_basic& client = this->client();
    int result = -1;
    std::string reply;
    if (reconnected(client)) result = client.poke(instance_tag_, address_of(range.block, range.first), values, reply);
    publish(client);
    return result;
}

int tesira_device::read_monitor(std::vector<std::uint32_t>& words) {
    std::string value;
    const int result = get_attribute("monitorData", value);
    touch();
    if (result != result_ok) {
        const int streak = ++timeout_streak_;
        log_line("timed out streak: " + std::to_string(streak));
        return result;
    }
    timeout_streak_.store(0);
    std::vector<std::uint32_t> block;
    if (!tesira_reply_words(value, block)) {
        log_line("Unparsable monitor data: " + value.substr(0, 256));
        return result_refused;
    }
    std::vector<std::uint32_t> summary;
    const int decoded = P20SPI::summarize_monitor(block, summary);
    summary.push_back(0);
    words = std::move(summary);
    return decoded;
}

// ---------------------------------------------------------------- names, mute, power, model

int tesira_device::read_frame_name(std::string& name) { return get_attribute("ampName", name); }

// The server keeps no amplifier name to write: nothing is sent.
int tesira_device::write_frame_name(const std::string&) { return refuse_write() ? result_refused : result_ok; }

int tesira_device::read_channel_names(std::vector<std::string>& names) {
    for (int c = 1; c <= channel_count; ++c) {
        std::string name;
        const int result = get_attribute("channelName " + std::to_string(c), name);
        if (result != result_ok) return result;
        names.push_back(name);
    }
    return result_ok;
}

int tesira_device::soft_reset() {
    if (refuse_write()) return result_refused;
    return write_params(param_range{0, 25, 26}, {tesira_soft_reset_key[0], tesira_soft_reset_key[1]});
}

int tesira_device::write_channel_names(const std::vector<std::string>&) {
    return refuse_write() ? result_refused : result_not_connected;
}

int tesira_device::read_mute(int channel, int& mute) {
    if (!valid_channel(channel)) return result_refused;
    return get_flag("mute " + std::to_string(channel + 1), mute);
}

int tesira_device::write_mute(int channel, int mute) {
    if (refuse_write()) return result_refused;
    if (!valid_channel(channel)) return result_refused;
    return set_attribute("mute " + std::to_string(channel + 1), mute == 1 ? "true" : "false");
}

int tesira_device::write_power(int on) {
    if (refuse_write()) return result_refused;
    return set_attribute("ampPower", on == 1 ? "true" : "false");
}

int tesira_device::read_power(int& on) {
    const int result = get_flag("ampPower", on);
    if (result == result_ok) timeout_streak_.store(0);
    return result;
}

int tesira_device::read_model(int& code, std::string& display_name, std::string& frame_type) {
    frame_type = "tesira";
    std::vector<std::uint32_t> words;
    const int result = read_params(param_range{0, 3, 3}, words);
    if (result != result_ok) return result;
    if (words.empty()) return result_refused;
    code = static_cast<int>(words.front());
    display_name.clear();
    for (const auto& model : tesira_model_table()) {
        if (model.code == code) display_name = model.display_name;
    }
    return result_ok;
}

int tesira_device::read_bridge_mode(unsigned, int&, bool&) { return result_refused; }

// ---------------------------------------------------------------- pilot tones

int tesira_device::write_pair(std::uint16_t index, std::uint32_t first, std::uint32_t second) {
    return write_params(param_range{pilot_block, index, index}, {first, second});
}

int tesira_device::write_ref_impedance(int channel, const std::array<float, 2>& pair) {
    if (refuse_write()) return result_refused;
    if (!valid_channel(channel)) return result_refused;
    std::uint32_t w0, w1;
    if (!scaled(pair[0], impedance_scale, w0) || !scaled(pair[1], impedance_scale, w1)) return result_refused;
    return write_pair(pilot_index(channel, 7), w0, w1);
}

int tesira_device::write_pilot_signal_all(const std::array<int, 2>& settings, const std::array<float, 2>& levels) {
    if (refuse_write()) return result_refused;
    std::uint32_t a0, a1;
    if (!scaled(levels[0], amplitude_scale, a0) || !scaled(levels[1], amplitude_scale, a1)) return result_refused;
    const int result =
        write_pair(pilot_index(0, 16), frequency_scale.to_device(settings[0]), frequency_scale.to_device(settings[1]));
    if (result != result_ok) return result;
    return write_pair(pilot_index(0, 1), a0, a1);
}

int tesira_device::write_pilot_signal(int channel, const std::array<int, 2>& settings,
                                      const std::array<float, 2>& levels) {
    if (refuse_write()) return result_refused;
    if (!valid_channel(channel)) return result_refused;
    std::uint32_t a0, a1;
    if (!scaled(levels[0], amplitude_scale, a0) || !scaled(levels[1], amplitude_scale, a1)) return result_refused;
    const int result = write_pair(pilot_index(channel, 1), a0, a1);
    if (result != result_ok) return result;
    return write_pair(pilot_index(channel, 16), frequency_scale.to_device(settings[0]),
                      frequency_scale.to_device(settings[1]));
}

int tesira_device::write_pilot_factor(int channel, const std::array<float, 2>& pair) {
    if (refuse_write()) return result_refused;
    if (!valid_channel(channel)) return result_refused;
    std::uint32_t w0, w1;
    if (!scaled(pair[0], amplitude_scale, w0) || !scaled(pair[1], amplitude_scale, w1)) return result_refused;
    return write_pair(pilot_index(channel, 9), w0, w1);
}

int tesira_device::start_calibration(int selector) {
    if (refuse_write()) return result_refused;
    return write_params(param_range{pilot_block, calibration_start_index, calibration_start_index},
                        {static_cast<std::uint32_t>(selector)});
}

int tesira_device::calibration_done(int mask, int& done) {
    std::vector<std::uint32_t> words;
    const int result = read_params(param_range{pilot_block, calibration_done_index, calibration_done_index}, words);
    if (result != result_ok) return result;
    if (words.empty()) return result_refused;
    const auto bits = static_cast<std::uint32_t>(mask);
    done = (words.front() & bits) == bits ? 1 : 0;
    return result_ok;
}

int tesira_device::enable_pilot(int, int channel, int enable) {
    if (refuse_write()) return result_refused;
    if (!valid_channel(channel)) return result_refused;
    // The pilot-tone generation of the firmware decides the second word.
    if (!ensure_parameter_lists()) return -1;
    const auto on = static_cast<std::uint32_t>(enable);
    const std::uint32_t second = ptg2_support() ? (enable != 0 ? static_cast<std::uint32_t>(channel + 1) : 0u) : on;
    return write_pair(pilot_index(channel, 12), on, second);
}

int tesira_device::read_pilot(int channel, pilot_readings& readings) {
    if (!valid_channel(channel)) return result_refused;
    std::vector<std::uint32_t> w;
    const int result = read_params(param_range{pilot_block, pilot_index(channel, 0), pilot_index(channel, 19)}, w);
    if (result != result_ok) return result;
    if (w.size() < 16) return result_refused;
    const auto ohms = [&](std::size_t i) { return impedance_scale.to_project(w[i]); };
    readings.thresholds = {ohms(5), ohms(6), ohms(3), ohms(4)};
    readings.ref_impedances = {ohms(7), ohms(8)};
    readings.readings = {ohms(14), ohms(15)};
    return result_ok;
}

// ---------------------------------------------------------------- parameter map

bool tesira_device::build_parameter_lists(parameter_lists& lists) {
    if (in_unreachable_hold_off(*this)) return false;
    float version = 0.0f;
    if (build_tesira_lists(*this, lists, version) != result_ok) return false;
    record_firmware(version, tesira_ptg2_firmware);
    return true;
}

float tesira_device::firmware_version() {
    ensure_parameter_lists();
    return firmware();
}

int tesira_device::read_param(const param_entry& entry, param_value& value) {
    const tesira_parameter* p = entry.address_as<tesira_parameter>();
    if (p == nullptr || p->block < 0 || p->block > 255 || p->index < 0 || p->index > 0xFFFF) return result_refused;
    const auto block = static_cast<std::uint8_t>(p->block);
    const auto index = static_cast<std::uint16_t>(p->index);
    if (cache_.enabled()) {
        if (const auto word = cache_.lookup(block, index)) {
            value = static_cast<std::int32_t>(*word);
            return result_ok;
        }
        const param_range line = tesira_cache_line(block, index);
        NOX_LOG_FORMAT("Cache miss - reading cache line %d:%d-%d", line.block, line.first, line.last);
        std::vector<std::uint32_t> words;
        const int result = read_params(line, words);
        if (result != result_ok) return result;
        if (words.empty()) return result_refused;
        value = static_cast<std::int32_t>(words.front());
        cache_.append(cache_line{line, std::move(words)});
        return result_ok;
    }
    std::vector<std::uint32_t> words;
    const int result = read_params(param_range{block, index, index}, words);
    if (result != result_ok) return result;
    if (words.empty()) return result_refused;
    value = static_cast<std::int32_t>(words.front());
    return result_ok;
}

int tesira_device::write_param(const param_entry& entry, const std::string& project_text) {
    if (refuse_write()) return result_refused;
    const tesira_parameter* p = entry.address_as<tesira_parameter>();
    if (p == nullptr || p->block < 0 || p->block > 255 || p->index < 0 || p->index > 0xFFFF) return result_refused;
    std::uint32_t word;
    try {
        word = to_device_word(entry.converter, project_text);
    } catch (const std::exception& e) {
        log_line("write_param " + entry.key + ": cannot convert \"" + project_text + "\": " + e.what());
        return result_refused;
    }
    const auto index = static_cast<std::uint16_t>(p->index);
    return write_params(param_range{static_cast<std::uint8_t>(p->block), index, index}, {word});
}

}  // namespace nox::amp
