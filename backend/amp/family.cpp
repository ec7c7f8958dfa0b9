#include "backend/amp/family.h"

#include "backend/amp/mira_family.h"
#include "backend/amp/tesira_family.h"

namespace nox::amp {

std::span<const family* const> families() {
    // The registration list: one line per family; the first is the family of frames
    // without a known frame type.
    static const family* const registered[] = {
        &mira_family(),
        &tesira_family(),
    };
    return registered;
}

const family* find_family(std::string_view frame_type) {
    for (const family* f : families()) {
        if (f->frame_type() == frame_type) return f;
    }
    return nullptr;
}

const family& family_for(std::string_view frame_type) {
    const family* found = find_family(frame_type);
    return found != nullptr ? *found : *families().front();
}

std::vector<discovered_amplifier> family::discover(const std::string&) const { return {}; }

void family::use_interface(const std::string&) const {}

std::vector<discovered_amplifier> discover_all(const std::string& interface_address) {
    std::vector<discovered_amplifier> found;
    for (const family* f : families()) {
        auto some = f->discover(interface_address);
        found.insert(found.end(), std::make_move_iterator(some.begin()), std::make_move_iterator(some.end()));
    }
    return found;
}

}  // namespace nox::amp
