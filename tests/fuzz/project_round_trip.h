// The round trip of the project-file targets: parsed models put into a store (where a
// model with id 0 gets the next free id, as at a load), written by the store's own writer
// (`project_store::serialise`) and parsed again must be the models the store holds, in
// the store's order.
#pragma once

#include "backend/model/project_store.h"
#include "tests/fuzz/fuzz_check.h"

#include <cstdio>
#include <exception>
#include <functional>
#include <string>
#include <vector>

namespace orva_fuzz {

// The collections a project file holds (every registered one but `requests`), in order.
inline const std::vector<std::string>& saved_collections() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> out;
        for (const auto& name : nox::project_store::default_collection_names())
            if (name != "requests") out.push_back(name);
        return out;
    }();
    return names;
}

using project_parser = std::function<std::vector<std::vector<nox::model>>(const std::string& text)>;

// `parsed` holds the models of `saved_collections()`. A project file always carries a
// settings model; `with_settings` adds an empty one when the parsed text had none.
inline void check_project_round_trip(const std::vector<std::vector<nox::model>>& parsed, const project_parser& parse,
                                     bool with_settings) {
    const auto& names = saved_collections();
    FUZZ_CHECK(parsed.size() == names.size());
    nox::project_store store;
    store.register_default_collections();
    for (std::size_t i = 0; i < names.size(); ++i) store.collection(names[i]).replace_all(parsed[i]);
    if (with_settings && store.collection("settings").size_locked() == 0) store.put_settings(nox::model(1));
    const std::string written = store.serialise();
    std::vector<std::vector<nox::model>> again;
    try {
        again = parse(written);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "the written project does not parse: %s\n", e.what());
        FUZZ_CHECK(false);
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::vector<nox::model> held = store.collection(names[i]).get_all();
        FUZZ_CHECK(again[i].size() == held.size());
        for (std::size_t k = 0; k < held.size(); ++k) FUZZ_CHECK(again[i][k] == held[k]);
    }
}

}  // namespace orva_fuzz
