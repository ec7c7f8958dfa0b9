#include "backend/amp/mira_family.h"

#include "backend/amp/mira_device.h"
#include "backend/amp/mira_discovery.h"
#include "backend/amp/mira_parameters.h"
#include "backend/amp/network_interfaces.h"
#include "common/log/log.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>

namespace nox::amp {

namespace {

bool parse_half(const std::string& text, std::uint32_t& out) {
    if (text.empty() || text.size() > 8) return false;
    std::uint32_t value = 0;
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        value = value * 16 + static_cast<std::uint32_t>(std::isdigit(static_cast<unsigned char>(c))
                                                            ? c - '0'
                                                            : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
    }
    out = value;
    return true;
}

// The frame's `module_class` as the kind of its address; 1 when absent or not a whole
// number (surrounding blanks allowed) of 16 bits.
std::uint16_t kind_of(const frame_attributes& frame) {
    const auto found = frame.find("module_class");
    std::string_view text = found == frame.end() ? std::string_view("1") : std::string_view(found->second);
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    long long kind = 0;
    const auto [rest, error] = std::from_chars(text.data(), text.data() + text.size(), kind);
    if (text.empty() || error != std::errc{} || rest != text.data() + text.size() || kind < 0 || kind > 0xFFFF)
        return 1;
    return static_cast<std::uint16_t>(kind);
}

class mira_frames final : public family {
public:
    std::string_view frame_type() const override { return "mira"; }

    std::shared_ptr<device> make_device(const frame_attributes& frame, const device_services&) const override {
        const auto found = frame.find("device_id");
        const std::string device_id = found == frame.end() ? std::string{} : found->second;
        const auto address = parse_device_id(device_id, kind_of(frame));
        if (!address) {
            const auto id = frame.find("id");
            log_line("malformed device id \"" + device_id + "\" of frame " +
                     (id == frame.end() ? std::string("0") : id->second));
            return nullptr;
        }
        return std::make_shared<mira_device>(*address);
    }

    std::vector<discovered_amplifier> discover(const std::string& interface_address) const override {
        std::vector<discovered_amplifier> found;
        for (const auto& address : get_devices(interface_address))
            found.push_back({"mira", address.text(), {{"module_class", std::to_string(address.kind)}}});
        return found;
    }

    // The Mira interface is one value for the whole process: handing it to the devices
    // means setting it once.
    void use_interface(const std::string& address) const override { set_mira_interface(address); }

    std::span<const std::string_view> identity_keys() const override {
        static constexpr std::string_view keys[] = {"module_class"};
        return keys;
    }

    const parameter_lists& parameter_rows() const override { return mira_parameter_rows(); }

    // A Mira amplifier owns these settings itself and reports them live.
    bool live_key(std::string_view key) const override {
        static constexpr std::array<std::string_view, 4> keys = {"attenuation", "gain", "threshold", "profile"};
        return std::find(keys.begin(), keys.end(), key) != keys.end();
    }

    // The channel names of a Mira amplifier are its routed module and output labels.
    bool compared_key(std::string_view key) const override { return key == "name"; }

    float gain_base() const override { return 21.0f; }
};

}  // namespace

const family& mira_family() {
    static const mira_frames instance;
    return instance;
}

std::optional<device_address> parse_device_id(const std::string& text, std::uint16_t kind) {
    const auto colon = text.find(':');
    if (colon == std::string::npos) return std::nullopt;
    device_address address;
    if (!parse_half(text.substr(0, colon), address.id_high) || !parse_half(text.substr(colon + 1), address.id_low))
        return std::nullopt;
    address.kind = kind;
    return address;
}

}  // namespace nox::amp
