// What a client's edit of the project means beyond storing it: the REST layer routes an
// edit here, and this decides what follows.
//
//   - A changed frame or channel of an associated amplifier is carried to the amplifier:
//     the changed attributes go out as a `put_diffs` request for that frame (and
//     channel), so that the amplifier follows the project.
//   - A new frame without channels is an offline frame: it gets four channels, named
//     from its `channel_names` ("1 2 3 4" when it has none), which take its name, type
//     and model.
//
// Both write the store directly from the calling thread, as every client write does
// (see the write rule in docs/architecture.md): each write takes its collection's lock
// and merges only what the client sent.
//
// Thread safety: any thread; the store and the engine lock what they touch.
#pragma once

#include "backend/model/model.h"

#include <optional>
#include <string>

namespace nox {

class project_store;
class request_engine;

// The `put_diffs` request that carries an edit of `stored` (a model of `collection`) to
// its amplifier, `merged` being the model after the edit: the attributes that are new or
// changed, with `frame_id`, `channel_id` (channels), `device_id` and `edit`, a number
// that grows with every update made in this process (so that the handler can leave out
// a value that a later edit has already carried to the amplifier). Nothing when the
// model is not a frame or channel of an associated amplifier, or nothing changed.
std::optional<model> amplifier_update(const std::string& collection, const model& stored, const model& merged);

// Posts the `amplifier_update` of the client's `body` when there is one, then merges
// `body` into the stored model `stored` of `collection` (committed without "sigupdate"),
// and returns the model as merged. Throws what the store throws for a refused body
// (nothing is changed).
model apply_client_edit(request_engine& engine, const std::string& collection, const model& stored,
                        const model& body);

// Adds the offline frame `frame` (without `channels`) and its four channels; returns the
// frame as stored. Throws nox::invalid_attribute for a refused frame, before anything is
// added.
model create_offline_frame(project_store& store, model frame);

}  // namespace nox
