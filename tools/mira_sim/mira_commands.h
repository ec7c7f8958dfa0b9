// The Mira command set of a virtual amplifier: the default state every new amplifier
// starts with (so that every query of the device layer has a plausible answer) and the
// commands whose behaviour goes beyond the generic store of amplifier.h.
//
// Keys bound to the shared amplifier model (read and written through it, so the Tesira
// view of the same amplifier agrees):
//   Dev.FrameLabel?, Dev.Power?, Dev.Pwr.Mute?<ch>     frame name, power, mutes
//   Dev.Frame.Temp?, Dev.Pwr.Temp?<ch>, Dev.SerialNumber?   block 3 and block 0 words
//   Dev.LoadPilot.Signal?<ch>      "<f1> <f2> <a1> <a2>" (Hz, amplitude)
//   Dev.LoadPilot.Threshold?<ch>   "<lower1> <lower2> <upper1> <upper2>"
//   Dev.LoadPilot.Factor?, RefImp?, RCable?<ch>   two values each
//   Dev.LoadPilot.Readings?<ch>    "<r1> <r2> 0.00 0.00"
//   Dev.LoadPilot.Enable?<ch>      the first word of the enable pair
// A setting of a bound key that does not carry enough numbers answers "ERR".
//
// State kept in the generic store (keys "<stem>?<arguments>", settable with the control
// command `set <id> <key>|<value>`, as the bound keys are):
//   Dev.Route?<module> <output>    four columns "X - - -" for channels 1..4
//   Dev.BridgeMode?<pair>          0 or 1
//   Mod.Mod.Label?<module>         module label
//   Mod.Out.Label?<module> <output>  output label
//   everything else of the parameter table, one reply line per key
//
// Commands with behaviour of their own:
//   Mod.Mod.Label?#<ch> / =#<ch> <text>   the label of the module driving the channel
//                                          (a channel without a route keeps its own)
//   Mod.Out.Label?#<ch> / =#<ch> <text>   the same for the driving module output
//   Mod.Mod.Label=<module> <text>, Mod.Out.Label=<module> <output> <text>
//   Dev.LoadPilot.CalibStart=<d1> <d2> <d3> <d4>   starts a calibration: digit 1 = the
//                                          analyser step (0x100 << ch), 2 = both tone steps
//                                          (0x11 << ch), 3 = all three (0x111 << ch)
//   Dev.LoadPilot.CalibDone?               a calibration poll of the model (sim_amp/pilot.h):
//                                          the mask of finished steps
//
// Thread safety: none; the simulator's loop owns every amplifier.
#pragma once

#include "tools/mira_sim/amplifier.h"

#include <map>
#include <optional>
#include <string>
#include <utility>

namespace mira_sim {

// Adds the handlers above to `handlers`.
void add_mira_commands(std::map<std::string, command_handler>& handlers);

// Fills the generic store and the binary parameters of a new amplifier.
void load_mira_defaults(amplifier& amp);

// The value of a bound key; nothing when `key` is not bound.
std::optional<std::string> read_bound_value(const amplifier& amp, const std::string& key);
// Writes a bound key: nothing when `key` is not bound, else whether the text fitted.
std::optional<bool> write_bound_value(amplifier& amp, const std::string& key, const std::string& text);

// The (module letter, output number) whose route drives channel 1..4, if any.
std::optional<std::pair<std::string, int>> channel_driver(const amplifier& amp, int channel);

}  // namespace mira_sim
