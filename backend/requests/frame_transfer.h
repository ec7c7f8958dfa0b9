// Moving a whole frame between the project and its amplifier: the frame reader (download:
// `get` requests) and the frame writer (upload: `put` requests), the frame-and-channels
// vector they work on, and the handler that serves both methods.
//
// Frame-and-channels vector: element 0 is the frame model, the following elements are the
// frame's channel models in the order of the frame's `channels` attribute.
//
// Reader steps, in order (a failure of a step marked "ends" stops the reader with that
// result; the other steps' failures are ignored): names (ends), model (ends), power (ends),
// mutes, bridging, routing and labels (where the family has them), versions, the monitor block
// when powered, the parameter list (ends). On success the frame and channels are marked
// synced and handed to the transaction queue.
//
// Writer steps: channel names and frame name (results ignored), the parameter list, every
// writable parameter in list order (the first failure ends the writer), the labels read
// back, and the frame and channels marked synced through the transaction queue.
//
// A silent amplifier: once a failing operation leaves the device counting as unreachable,
// the reader and the writer stop at once with that result instead of letting every
// remaining exchange time out on its own; nothing is stored then.
//
// Thread safety: the reader and the writer hold the device's operation lock for their
// whole run, so two transfers of one amplifier serialise; different amplifiers run in
// parallel. Store reads use the collections' own locks; writes go through the transaction
// queue only.
#pragma once

#include "backend/amp/device.h"
#include "backend/model/device_registry.h"
#include "backend/requests/method_table.h"

#include <cstdint>
#include <string>
#include <vector>

namespace nox {

class request_engine;
class project_store;

// The vector built from a request: the frame `frame_id` and the channels listed in the
// request's `channels` (split at blanks and tabs), each carrying only its id. Throws
// std::invalid_argument for a `frame_id` that is not a number, std::out_of_range when it
// is absent.
std::vector<model> frame_vector_from_request(const model& request);

// The vector built from the store: the frame `frame_id` and each channel of its stored
// `channels` attribute (logged "plucking params channels:"). Throws nox::model_not_found
// for a frame or channel that is not stored.
std::vector<model> frame_vector_from_store(project_store& store, int32_t frame_id);

// The frame id of a request's `frame_id` text; throws std::out_of_range when absent and
// std::invalid_argument when it is not a 32-bit decimal number.
int32_t request_frame_id(const model& request);

// Channel route codes from the 24 replies of the route matrix (module A..D, output 1..6,
// in that order): channel c is marked by an "X" at character 2c; a reply marking one
// channel gives it code 1, one marking several gives the first 1 and the others 2; a later
// reply overwrites an earlier one. Channels never marked keep 0.
std::vector<int> route_codes(const std::vector<std::string>& replies, size_t channel_count);
// "unrouted", "primary" or "secondary" for the codes 0, 1 and 2.
std::string route_code_text(int code);

// Writes the mapped words of a monitor block into the frame (element 0) and its channels:
// word 0 `mon_frame_status`, 1 `mon_frame_reason`, channel k's status and reason pairs for
// amp, load and signal from word 2 + 6k, word 26 `mon_dirty_status`. Reasons become their
// texts. Words that the block does not hold are left alone.
void apply_monitor_words(const std::vector<std::uint32_t>& words, std::vector<model>& frame_and_channels);

// The frame reader. 0 on success (frame and channels enqueued as synced), else the result
// of the step that ended it.
int read_frame(amp::device& dev, const model& request, request_engine& engine);

// The frame writer for the stored frame `frame_id`. 0 on success, else the failing result.
int write_frame(amp::device& dev, int32_t frame_id, request_engine& engine);

// Registers the handler of `get` and `put` in status "wait": look the device up, run the
// reader or the writer, "sigupdate" after a successful download, `status` "done" or "fail".
void register_frame_handlers(method_table& table, device_registry& registry);

}  // namespace nox
