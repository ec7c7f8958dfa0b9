// The check of a request that a client posts (REST `POST /requests` and
// `/api/job/start/`), before it is stored: what the backend could only store and never
// carry out is refused with `request_refused` (answered 400) and nothing is stored. A
// request is refused when
//   - the method table has no handler for its (`method`, `status`) pair ("wait" when it
//     has no status): it would wait in `requests` for ever;
//   - it lacks an attribute that its handler cannot do without (table in the .cpp, from
//     the handlers' inputs; a missing or unknown frame or amplifier still ends the
//     request "fail" at dispatch), or a `sync` start names no known `direction`;
//   - an attribute value other than `data` (the project text of an import, bounded by the
//     body limit only) is longer than `max_request_value` bytes.
// Requests that the backend posts itself are not checked.
//
// Thread safety: pure functions; the method table is read-only once handlers are set.
#pragma once

#include "backend/model/model.h"
#include "backend/requests/method_table.h"

#include <cstddef>

namespace nox {

inline constexpr std::size_t max_request_value = 64 * 1024;

// Throws request_refused (request_engine.h) naming the reason.
void check_posted_request(const model& request, const method_table& methods);

}  // namespace nox
