// Handlers of the requests that drive single amplifiers or bind them to frames:
// `factory_reset`, `put_diffs`, `set_mute`, `set_power_status`, `assoc`, `dissoc`,
// `assoc_select`, `login` and `refresh`, all in status "wait".
//
// Device requests look their amplifier up by `device_id` in the device registry; when it
// is not registered the request ends "fail" and no device is called. A device's non-zero
// result ends the request "fail". A request that lacks an attribute that its handler
// needs throws out of the handler, which the request engine records as `status` "fail"
// with the reason in `error`.
//
// Thread safety: handlers run on the processing threads, several at a time. They read the
// store under the collections' own locks and write it through the transaction queue,
// except association and dissociation (which commit directly, see device_registry.h) and
// `login` (which writes the logins store and its file).
#pragma once

#include "backend/amp/device.h"
#include "backend/model/device_registry.h"
#include "backend/requests/method_table.h"

#include <chrono>
#include <functional>
#include <string>

namespace nox {

struct device_handler_hooks {
    // The `refresh` request's work: applies the requested network interface (empty: the
    // stored choice), discovers amplifiers, merges them into the project and rebuilds the
    // registry. True when a new frame was created.
    std::function<bool(const std::string& requested_interface)> interface_and_discover;
    // The pause between two select-key queries of `assoc_select`.
    std::function<void(std::chrono::milliseconds)> sleep;
};

// Production default for the sleep hook (real sleep); the interface-and-discovery hook
// has no default.
device_handler_hooks default_device_handler_hooks();

void register_device_handlers(method_table& table, device_registry& registry, device_handler_hooks hooks);

// The length of the select-key watch of `assoc_select`, and the pause after each query.
inline constexpr int select_watch_ms = 10000;
inline constexpr int select_poll_pause_ms = 10;

}  // namespace nox
