// The simulator child process of the Mira tests and benchmarks (tools/sim_amp/sim_client.h).
#pragma once

#include "tools/sim_amp/sim_client.h"

namespace mira_sim {
using sim_amp::sim_client;
}  // namespace mira_sim
