// `nox::method_table`: the request methods that the backend knows, as (method, status)
// pairs, each with the handler that carries it out.
//
// The table holds a fixed list of 24 pairs. A pair gets its handler from the registration
// function of the area that implements it (`register_project_handlers`, and one function
// per area as the areas land); a pair without a handler behaves as if it were not in the
// table: dispatch leaves the request unchanged. Handlers are registered before the
// processing threads start; afterwards the table is only read.
//
// A handler receives the request (which it changes: at least its `status`) and the
// request engine (store, posting, transaction queue, broadcasts). Area-specific
// dependencies (device registry, Tesira client, ...) are captured by the registration
// function in the handler itself.
//
// Thread safety: `set_handler` before the threads start; `find` from any thread after.
#pragma once

#include "backend/model/model.h"

#include <functional>
#include <string>
#include <vector>

namespace nox {

class request_engine;

using request_handler = std::function<void(model& request, request_engine& engine)>;

class method_table {
public:
    struct entry {
        std::string method;
        std::string status;
        request_handler handler;  // empty: not implemented (yet)
    };

    // The 24 pairs, without handlers.
    method_table();

    // Installs the handler of a pair of the table; throws std::invalid_argument for a pair
    // that the table does not hold.
    void set_handler(const std::string& method, const std::string& status, request_handler handler);

    // The handler of the pair, or nullptr when the pair is absent or has no handler.
    const request_handler* find(const std::string& method, const std::string& status) const;
    // Whether `method` is the method of a pair of the table (with or without a handler).
    bool knows(const std::string& method) const;

    const std::vector<entry>& entries() const { return entries_; }

private:
    std::vector<entry> entries_;
};

}  // namespace nox
