// Amplifier families: everything the rest of the backend needs to know about one kind of
// amplifier (Mira, Tesira-hosted, ...), behind one interface, with one registered
// instance per `frame_type`. Code outside backend/amp asks the family of a frame, or the
// device itself, and never which concrete device or frame type it holds.
//
// A family
//   - makes the device of an associated frame from the frame's attributes,
//   - discovers its amplifiers on a network interface where it can, and takes the
//     interface in force,
//   - names the frame attributes that carry an amplifier's identity besides `device_id`
//     (they move with the amplifier when a project frame takes it over),
//   - gives its parameter rows (parameter_map.h), the keys that monitoring reports live
//     for its frames beyond the common ones, the keys a download comparison looks at
//     beyond the common ones, and the gain base of its gain/sensitivity coupling.
//
// Adding a family: its files in backend/amp (a device, a parameter table, a family
// object) and one line in the registration list of family.cpp.
//
// Thread safety: the families are immutable, created on first use (thread-safe) and live
// for the whole process; every function may be called from any thread.
#pragma once

#include "backend/amp/device.h"
#include "backend/amp/parameter_map.h"

#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace nox::amp {

// The attributes of a frame model (the same map type as the data model's).
using frame_attributes = std::unordered_map<std::string, std::string>;

// What the backend offers the devices it has a family make: the logins it keeps for
// amplifier hosts, and a way to tell that a host wants one. A family hands its devices
// what they use of it; empty functions mean "none kept" and "nobody to tell".
struct device_services {
    // Fills the user and password stored for a host's system name; false when none are.
    std::function<bool(const std::string& system, std::string& user, std::string& password)> stored_login;
    // Called when a host starts asking for a login that no credentials satisfy.
    std::function<void()> login_needed;
};

// One amplifier that answered a discovery.
struct discovered_amplifier {
    std::string frame_type;       // its family
    std::string device_id;        // the frame's `device_id`
    frame_attributes attributes;  // identity attributes set on its frame (Mira: module_class)
};

class family {
public:
    virtual ~family() = default;

    // The `frame_type` of the family's frames ("mira", "tesira").
    virtual std::string_view frame_type() const = 0;

    // ---- Devices
    // The device for an associated frame (its attributes), using what it needs of
    // `services`; null when the frame's identity is malformed or the family cannot make
    // one.
    virtual std::shared_ptr<device> make_device(const frame_attributes& frame,
                                                const device_services& services = {}) const = 0;
    // The amplifiers that answer on the interface (dotted address). Default: none, the
    // family's amplifiers are not found by broadcast.
    virtual std::vector<discovered_amplifier> discover(const std::string& interface_address) const;
    // Hands the network interface in force to the family's devices. Default: nothing.
    virtual void use_interface(const std::string& address) const;
    // Frame attributes besides `device_id` that identify the amplifier.
    virtual std::span<const std::string_view> identity_keys() const = 0;

    // ---- Project keys
    virtual const parameter_lists& parameter_rows() const = 0;
    // Keys of the family's own settings that monitoring may change without the project
    // being out of step with the amplifier (besides the keys live for every family).
    virtual bool live_key(std::string_view key) const = 0;
    // Keys that a download comparison looks at for the family's frames (besides the keys
    // compared for every family).
    virtual bool compared_key(std::string_view key) const = 0;
    // The gain (dB) subtracted from full scale in the gain/sensitivity coupling.
    virtual float gain_base() const = 0;
};

// The registered families, in registration order.
std::span<const family* const> families();
// The family of `frame_type`; null when none is registered under it.
const family* find_family(std::string_view frame_type);
// The family of `frame_type`, or the first registered (Mira) for a frame without a
// known type: frames of older projects carry no `frame_type` and are Mira frames.
const family& family_for(std::string_view frame_type);

// Discovery by every family on the interface, in registration order.
std::vector<discovered_amplifier> discover_all(const std::string& interface_address);

}  // namespace nox::amp
