#include "backend/amp/device.h"

#include <chrono>

namespace nox::amp {

namespace {
class steady_source final : public clock {
public:
    std::int64_t now_ms() const override {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    }
};
}  // namespace

std::shared_ptr<const clock> steady_clock_source() {
    static const std::shared_ptr<const clock> source = std::make_shared<steady_source>();
    return source;
}

device::device(std::shared_ptr<const clock> clock) : clock_(clock ? std::move(clock) : steady_clock_source()) {}

device::~device() = default;

bool device::old_firmware() const { return old_firmware_.load(); }

void device::set_old_firmware(bool old) { old_firmware_.exchange(old); }

float device::firmware_version() { return firmware_.load(); }

void device::prefetch_monitoring() {}

void device::record_firmware(float version, float ptg2_from) {
    firmware_.store(version);
    set_pilot_support(version >= ptg2_from, version >= ptg2_from);
}

void device::touch() { last_contact_.store(clock_->now_ms()); }

std::int64_t device::since_last_contact() const { return clock_->now_ms() - last_contact_.load(); }

int device::read_firmware_parameter(float& version) {
    std::vector<std::uint32_t> words;
    const int result = read_params(param_range{0, 4, 4}, words);
    if (result != 0 && result != 6) return result;
    if (words.empty()) return result_refused;
    version = static_cast<float>(words.front());
    return result_ok;
}

// ---------------------------------------------------------------- parameter lists

bool device::build_parameter_lists(parameter_lists&) { return false; }

void device::build_lists() {
    lists_ = {};
    lists_built_ = build_parameter_lists(lists_);
    if (!lists_built_) lists_ = {};
}

void device::rebuild_parameter_lists() {
    nox::lock_guard lock(lists_mutex_);
    build_lists();
}

bool device::ensure_parameter_lists() {
    nox::lock_guard lock(lists_mutex_);
    if (!lists_built_) build_lists();
    return lists_built_;
}

int device::parameter_list(const int& which, std::vector<param_entry>& entries) {
    nox::lock_guard lock(lists_mutex_);
    if (!lists_built_) build_lists();
    if (!lists_built_) return -1;
    entries = which != 0 ? lists_.list1 : lists_.list0;
    return result_ok;
}

// ---------------------------------------------------------------- operations of some families

int device::read_routing(std::vector<std::string>&) { return result_unsupported; }

int device::read_channel_labels(int, std::string&, std::string&) { return result_unsupported; }

int device::read_route_matrix(std::vector<std::string>&) { return result_unsupported; }

int device::read_select_key(bool&) { return result_unsupported; }

bool device::login_required(std::string&) { return false; }

void device::set_credentials(const std::string&, const std::string&) {}

bool device::connected() const { return !unreachable(); }

// ---------------------------------------------------------------- monitor helpers

bool in_unreachable_hold_off(const device& dev) {
    if (!dev.unreachable()) return false;
    const std::int64_t since = dev.since_last_contact();
    return since >= 0 && since < unreachable_hold_off_ms;
}

bool check_firmware(device& dev) {
    const float version = dev.firmware_version();
    const float minimum = dev.min_firmware_version();
    if (minimum > version) {
        if (dev.old_firmware() || dev.unreachable()) return false;
        std::string message;
        if (dev.login_required(message)) return false;
        int on = 0;
        if (dev.read_power(on) != 0) return false;
        dev.set_old_firmware(true);
        return true;
    }
    if (dev.old_firmware()) dev.set_old_firmware(false);
    return false;
}

}  // namespace nox::amp
