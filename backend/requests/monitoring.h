// The monitoring read of one frame: the `get_monitor` request handler. It reads an
// amplifier's live state (reachability, the fault-and-warning words of its monitor block,
// power, capabilities, the monitored parameters) into the frame and its channels, and
// writes what changed through the transactor.
//
// Monitor block map (the first 27 words of `read_monitor`; k = channel 0..3):
//   0 mon_frame_status (frame)       1 mon_frame_reason (frame, reason text)
//   2+6k mon_amp_status              3+6k mon_amp_reason    (channel k)
//   4+6k mon_load_status             5+6k mon_load_reason   (channel k)
//   6+6k mon_signal_status           7+6k mon_signal_reason (channel k)
//   26 mon_dirty_status (frame): "1" when settings were changed on the amplifier itself
// Statuses are written as decimal text, reasons through the reason table
// (P20SPI::reason_text). 3 means "nothing known".
//
// Channel summaries on the frame (`mon_chs_amp_*`, `mon_chs_load_*`, `mon_chs_signal_*`):
// amp and signal rank 2 > 1 > 3 > 0 (starting from 0), load ranks 2 > 1 > 0 > 3 (starting
// from 3); the reason is that of the channel that made the last replacement.
//
// Only what the read itself found or set is compared with the store and written back (the
// monitoring attributes and the parameters read), and only where the store still holds
// what the pass found there when it began: a change that another writer (a user's PUT, a
// request) makes while the amplifier is read, or before the transactor applies the
// write-back, is never reverted. Nor is a key that an amplifier update (`put_diffs`) still
// waiting in `requests` carries for the frame or a channel: the amplifier does not hold
// the user's value yet, so what the pass read there is the older one. (An update takes
// the amplifier's operation lock, as the pass does, so it runs wholly before a pass or
// wholly after its write-back was handed over.) A change of a key that is not live (see
// `live_key`) after the amplifier reported its dirty flag marks the frame and channels
// `synced` "false" ("**NOT IN SYNC**").
//
// An amplifier that counts as unreachable is asked again at most every 15 s; in between
// its reads fail at once. Once it becomes unreachable during a read, the remaining reads
// of that pass are skipped and the frame is written "offline".
//
// Thread safety: the handler runs on the processing threads and holds the device's
// operation lock for the whole read. When another request holds it (a download, a
// pilot-tone calibration), the frame is skipped for this cycle (request "fail", nothing
// written) rather than waited for, so one busy amplifier does not hold back the cycle of
// all the others. The tables are built once and read-only after.
#pragma once

#include "backend/amp/device.h"
#include "backend/amp/family.h"
#include "backend/requests/method_table.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace nox {

class request_engine;

// One row of the monitor block map.
struct monitor_word {
    std::size_t word;
    std::string key;
    int channel;   // -1: the frame
    bool reason;   // converted through the reason table, else decimal text
};

// The map of the first 27 monitor words, built once.
const std::vector<monitor_word>& monitor_block_map();

// Whether monitoring may change `key` of a frame of `family` without the project being
// out of step with the amplifier: the monitoring attributes and live readings of every
// family, and the family's own live settings (Mira: attenuation, gain, threshold,
// profile).
bool live_key(std::string_view key, const amp::family& family);

// A status code and a reason text.
struct monitor_pick {
    int status;
    std::string reason;
};
// The channel summaries: amp and signal, and load.
monitor_pick summarise_amp_or_signal(const std::vector<monitor_pick>& channels);
monitor_pick summarise_load(const std::vector<monitor_pick>& channels);

// Project text of a parameter value read with `entry`.
std::string parameter_text(const amp::param_entry& entry, const amp::param_value& value);

struct monitoring_options {
    // The device registered under a `device_id`; null when none.
    std::function<std::shared_ptr<amp::device>(const std::string& device_id)> lookup_device;
};

// The monitoring read of the frame named by `request` (`frame_id`) on `device`. Returns 0,
// -1 while the amplifier is in its unreachable hold-off, 1 when the frame or a channel is
// no longer stored, or the failing result of the capability read.
int read_monitoring(amp::device& device, const model& request, request_engine& engine);

// Builds the tables and installs the handler of (`get_monitor`, "wait").
void register_monitoring_handlers(method_table& table, monitoring_options options);

}  // namespace nox
