// The Tesira family: amplifiers hosted behind a Tesira server, named by the user (not
// discovered), with the parameter table of tesira_parameters.h. A frame names its
// amplifier by `device_id` (the instance tag on the server) and `server_address`.
//
// Thread safety: the family object is immutable; see family.h.
#pragma once

#include "backend/amp/family.h"

namespace nox::amp {

const family& tesira_family();

}  // namespace nox::amp
