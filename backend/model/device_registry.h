// `nox::device_registry`: one amplifier device per associated frame, keyed by the frame's
// `device_id`, and the operations that move amplifiers in and out of the project:
// the merge of discovered amplifiers into frames with four channels, the rebuild of the
// registry after a load, the hand-over of the network interface to the Mira devices,
// association and dissociation of frames, and logins to amplifier hosts.
//
// What lies outside the store reaches the registry through `hooks`, set once at start:
// how to make a device for a frame, how to discover amplifiers, how to refresh the
// interface settings and hand the interface to a family's devices, and how to commit a
// model through the request pipeline. Tests hand in fakes. What differs between amplifier
// families (the attributes that identify an amplifier) comes from the frame's family
// (backend/amp/family.h).
//
// Thread safety: every operation may be called from any thread. The registry mutex guards
// the map during rebuild, propagation, login and lookup; device operations other than the
// login checks run outside it: a rebuild makes and checks its new devices first and then
// swaps them in, so a silent amplifier does not hold up lookups. Rebuilds are serialised
// by a mutex of their own. Lock order: model mutex, rebuild mutex, registry mutex,
// collection locks.
#pragma once

#include "backend/amp/device.h"
#include "backend/amp/device_types.h"
#include "backend/amp/family.h"
#include "backend/model/project_store.h"
#include "common/platform/mutex.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace nox {

class device_registry {
public:
    using device_ptr = std::shared_ptr<amp::device>;

    struct hooks {
        // A device for an associated frame; null when no device can be made for it.
        std::function<device_ptr(const model& frame)> make_device;
        // The amplifiers that answer on the interface in force.
        std::function<std::vector<amp::discovered_amplifier>()> discover;
        // Refreshes the interface entries of the settings map with `preferred`.
        std::function<void(model::attribute_map& settings, const std::string& preferred)>
            refresh_interface_settings;
        // Hands the interface address to the devices of a family.
        std::function<void(const amp::family& family, const std::string& address)> use_interface;
        // Writes a model into a collection through the request pipeline's commit.
        std::function<void(const std::string& collection, const model& m, bool notify)> commit;
    };

    explicit device_registry(project_store& store) : store_(store) {}
    device_registry(const device_registry&) = delete;
    device_registry& operator=(const device_registry&) = delete;

    void set_hooks(hooks h) { hooks_ = std::move(h); }

    // The device registered under `device_id` (copied out under the mutex); null when none.
    device_ptr lookup(const std::string& device_id) const EXCLUDES(mutex_);
    // The identities and devices registered now, in registry order.
    std::vector<std::pair<std::string, device_ptr>> devices() const EXCLUDES(mutex_);

    // Discovers amplifiers: a known one gets its identity attributes (Mira: `module_class`)
    // refreshed, a new one enters the project as a discovered frame of its family with
    // four channels. Saves the project. True when a new frame was created. The writes
    // bypass the transactor and do not make the project dirty.
    bool merge_discovered_devices();
    // The same for amplifiers that were already discovered.
    bool merge_discovered_devices(const std::vector<amp::discovered_amplifier>& found);
    // Replaces every device with a new one per associated frame; with `keep_devices` an
    // amplifier that was unreachable stays in its hold-off. Broadcasts "old_fw_detected"
    // when a device has firmware too old to write to. Then propagates the interface.
    void rebuild_devices(bool keep_devices) EXCLUDES(rebuild_mutex_, mutex_);
    // For the backend's stop: a rebuild in progress ends before its next amplifier (each
    // silent one costs seconds), keeping the devices registered before it, and so does
    // every later one until `resume_rebuilds`.
    void stop_rebuilds() { stopping_.store(true); }
    void resume_rebuilds() { stopping_.store(false); }
    // Refreshes the interface settings and hands `selected_interface` to the family of
    // every registered device.
    void propagate_interface() EXCLUDES(mutex_);

    // The project frame `frame_id` takes over the amplifier of the discovered frame
    // `with`, which is removed, with the identity attributes of its family. 0 on success,
    // 1 when a frame is missing, the two differ in type or model, or both ids name the
    // same frame (which would remove the frame).
    int associate(int32_t frame_id, int32_t with);
    // The amplifier leaves the frame and comes back as a discovered frame. 0, or 1 when the
    // frame is missing or has no amplifier.
    int dissociate(int32_t frame_id);

    // Gives the credentials to every device whose host `system` asks for a login; false
    // when one of them stays disconnected.
    bool login_devices(const std::string& system, const std::string& user,
                       const std::string& password) EXCLUDES(mutex_);
    // Logs `dev` in with the stored login of its host, when it needs one. False (and the
    // broadcast "login_required") when there is no stored login or it does not connect.
    bool apply_stored_login(amp::device& dev);
    // The system names of the hosts that ask for a login.
    std::vector<std::string> systems_needing_login() const EXCLUDES(mutex_);

private:
    void commit(const std::string& collection, const model& m);
    // Moves the impedance sweeps of channel `from` to channel `to`.
    void move_sweeps(const std::string& from, const std::string& to);

    project_store& store_;
    hooks hooks_;
    mutex rebuild_mutex_ ACQUIRED_BEFORE(mutex_);  // serialises rebuilds
    mutable mutex mutex_;
    std::unordered_map<std::string, device_ptr> devices_ GUARDED_BY(mutex_);
    std::atomic<bool> stopping_{false};
};

// The channel ids listed in a frame's `channels` (split at blanks and tabs).
std::vector<int32_t> channel_ids_of(const model& frame);

// Writes into the stored settings only the attributes that differ between `before` (as
// read) and `after` (as changed), so that a settings change committed in between by
// another thread is kept rather than overwritten with the stale copy.
void write_settings_changes(project_store& store, const model& before, const model& after);

}  // namespace nox
