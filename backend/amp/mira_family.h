// The Mira family: amplifiers reached directly on the local network (mira_device.h),
// found by a heartbeat broadcast on the interface in force (mira_discovery.h), with the
// parameter table of mira_parameters.h. A frame names its amplifier by `device_id`
// ("hhhhhhhh:llllllll") and `module_class` (the kind byte of the discovery reply,
// default 1).
//
// Thread safety: the family object is immutable; see family.h.
#pragma once

#include "backend/amp/device_types.h"
#include "backend/amp/family.h"

#include <cstdint>
#include <optional>
#include <string>

namespace nox::amp {

const family& mira_family();

// The Mira address of a `device_id` text; nothing when it is malformed.
std::optional<device_address> parse_device_id(const std::string& text, std::uint16_t kind);

}  // namespace nox::amp
