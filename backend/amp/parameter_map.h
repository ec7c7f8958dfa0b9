// The parameter map: the rows that tie every project key of a frame or channel ("mute",
// "attenuation", "t1_amplitude", ...) to a device parameter and a value converter, for
// both amplifier families.
//
// The tables are data (parameter_map.cpp), one line per project key, in the order and
// with the constants of the device documentation (docs/mira_commands.md has the Mira
// table). Expanding a table gives two lists of `param_entry`:
//   list 0  every mapped parameter: the frame writer writes its rows that are not read
//           only, the full reader reads all of them;
//   list 1  the rows the monitor reads on every cycle.
// Expansion order: table order; the four channel rows of a key follow each other
// (channels 0..3), except inside an interleaved group (rows sharing a group number and
// standing next to each other), where all keys of channel 0 come first, then channel 1,
// and so on. Keys with the scope "frame, then each channel" give one frame row before
// their group's channel rows. Frame rows carry per_channel 0 and channel -1.
//
// The expanded lists are built once per process on first use and copied into every
// device (the device keeps its own copy, so a caller may keep a list while the device
// rebuilds).
//
// Thread safety: the row tables are immutable after their thread-safe first
// construction; every function may be called from any thread.
#pragma once

#include "backend/amp/converters.h"
#include "backend/amp/device_types.h"

#include <span>
#include <vector>

namespace nox::amp {

class device;

// Where a key lives in the project.
enum class row_scope {
    frame,               // one row in the frame node
    channel,             // one row per channel
    frame_then_channel,  // one frame row, then one row per channel
};

// One line of the Mira table.
struct mira_row {
    const char* key;
    const char* stem;        // command stem, e.g. "Dev.Pwr.Mute"
    const char* argument;    // "", "%d" or "#%d" (expanded with channel + 1)
    int fields;              // blank-separated fields of the reply
    int position;            // field this row reads (0-based)
    int type;                // value_type_float or value_type_integer
    row_scope scope;
    bool monitored;          // also in list 1
    bool read_only;
    boost::any converter;
    int group;               // 0: none; rows with the same group next to each other interleave
};

// One line of the Tesira table: P20SPI block and index = index_base + index_step * channel.
struct tesira_row {
    const char* key;
    int block;
    int index_base;
    int index_step;
    row_scope scope;
    bool monitored;
    bool read_only;
    boost::any converter;
    int group;
};

struct parameter_lists {
    std::vector<param_entry> list0;
    std::vector<param_entry> list1;
};

// The tables as written.
std::span<const mira_row> mira_table();
std::span<const tesira_row> tesira_table();

// The expanded lists, built on first use.
const parameter_lists& mira_parameter_rows();
const parameter_lists& tesira_parameter_rows();

// Expands a table (exposed for tests; the functions above cache the result).
parameter_lists expand_mira_table(std::span<const mira_row> rows);
parameter_lists expand_tesira_table(std::span<const tesira_row> rows);

// The profile lookup of the Mira table: device word 0..5 <-> project value 2, 6, 9..12.
using profile_lookup = nox::lookup<unsigned int, unsigned short>;

// The parameter-list builder of a Tesira-hosted device. The caller holds the device's
// `lists_mutex` and hands in its two lists. Empties them and reads the firmware version
// with `read_firmware_parameter`; when that fails, returns its result (lists empty).
// Otherwise stores the version in `firmware`, sets both pilot-tone capability flags to
// (version >= 18.0), fills the lists from the Tesira table and returns 0. The caller sets
// `lists_built` from the result.
int build_tesira_lists(device& dev, std::vector<param_entry>& list0, std::vector<param_entry>& list1);

}  // namespace nox::amp
