// The control commands of the measurement model that every simulator offers for its
// amplifiers (after the command word and the amplifier's id):
//
//   calibration <id> <polls>|never   pilot-tone calibrations finish on the <polls>-th poll
//                                    (at least 1), or never
//   analyser <id> <polls>|never      analyser commands finish on the <polls>-th poll of
//                                    their completion word (at least 1), or never
//   load <id> <ch> <ohms>|open       channel 1..4 gets a loudspeaker load of <ohms>
//                                    (nominal impedance, above 0 and at most 1000), or
//                                    no load at all; the pilot readings follow
//
// Thread safety: none; the simulator's loop calls it.
#pragma once

#include <istream>
#include <optional>
#include <string>

namespace sim_amp {

class amplifier_model;

// Runs `command` when it is one of the above, reading its arguments from `arguments`;
// returns the answer ("ok" or "error ..."), or nothing for any other command.
std::optional<std::string> measurement_control(amplifier_model& amp, const std::string& command,
                                               std::istream& arguments);

}  // namespace sim_amp
