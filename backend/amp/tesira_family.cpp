#include "backend/amp/tesira_family.h"

#include "backend/amp/tesira_device.h"
#include "backend/amp/tesira_parameters.h"

#include <algorithm>
#include <array>

namespace nox::amp {

namespace {

class tesira final : public family {
public:
    std::string_view frame_type() const override { return "tesira"; }

    // The amplifier block `device_id` (its instance tag) on the server `server_address`;
    // the server gets the stored login of its system, and a login nobody can give is told.
    std::shared_ptr<device> make_device(const frame_attributes& frame, const device_services& services) const override {
        const auto text = [&frame](const char* key) {
            const auto found = frame.find(key);
            return found == frame.end() ? std::string{} : found->second;
        };
        tesira_device_options options;
        options.client.stored_login = services.stored_login;
        options.login_needed = services.login_needed;
        return std::make_shared<tesira_device>(text("server_address"), text("device_id"), std::move(options));
    }

    std::span<const std::string_view> identity_keys() const override {
        static constexpr std::string_view keys[] = {"server_address"};
        return keys;
    }

    const parameter_lists& parameter_rows() const override { return tesira_parameter_rows(); }

    bool live_key(std::string_view) const override { return false; }

    // The server holds these settings for the hosted amplifier, so a download compares
    // them with the project.
    bool compared_key(std::string_view key) const override {
        static constexpr std::array<std::string_view, 4> keys = {"gain", "threshold", "profile", "attenuation"};
        return std::find(keys.begin(), keys.end(), key) != keys.end();
    }

    float gain_base() const override { return 25.3f; }
};

}  // namespace

const family& tesira_family() {
    static const tesira instance;
    return instance;
}

}  // namespace nox::amp
