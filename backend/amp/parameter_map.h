// The parameter map: the rows that tie every project key of a frame or channel ("mute",
// "attenuation", "t1_amplitude", ...) to a device parameter and a value converter. Each
// amplifier family writes its own table as data, one line per project key
// (mira_parameters.cpp, tesira_parameters.cpp), and expands it with `expand_table` into
// two lists of `param_entry`:
//   list 0  every mapped parameter: the frame writer writes its rows that are not read
//           only, the full reader reads all of them;
//   list 1  the rows the monitor reads on every cycle.
// Expansion order: table order; the four channel rows of a key follow each other
// (channels 0..3), except inside an interleaved group (rows sharing a group number and
// standing next to each other), where all keys of channel 0 come first, then channel 1,
// and so on. Keys with the scope "frame, then each channel" give one frame row before
// their group's channel rows. Frame rows carry per_channel 0 and channel -1.
//
// A family's expanded lists are built once per process on first use and copied into
// every device (the device keeps its own copy, so a caller may keep a list while the
// device rebuilds).
//
// Thread safety: the row tables are immutable after their thread-safe first
// construction; every function may be called from any thread.
#pragma once

#include "backend/amp/device_types.h"

#include <boost/any.hpp>

#include <span>
#include <vector>

namespace nox::amp {

// Where a key lives in the project.
enum class row_scope {
    frame,               // one row in the frame node
    channel,             // one row per channel
    frame_then_channel,  // one frame row, then one row per channel
};

// The group of a row that interleaves with no other.
inline constexpr int no_group = 0;

// Shorthands for the columns of a family's table, so that its rows read as one line each.
namespace table_columns {
inline constexpr auto frame = row_scope::frame;
inline constexpr auto channel = row_scope::channel;
inline constexpr auto frame_then_channel = row_scope::frame_then_channel;
inline constexpr bool both = true;    // lists 0 and 1
inline constexpr bool only0 = false;  // list 0 only
inline constexpr bool ro = true;
inline constexpr bool rw = false;
// No converter: the device value is the project value.
inline boost::any none() { return {}; }
}  // namespace table_columns

struct parameter_lists {
    std::vector<param_entry> list0;
    std::vector<param_entry> list1;
};

// Expands a family's table. A row has the columns `key`, `scope`, `monitored` (also in
// list 1), `read_only`, `converter` and `group`; `address(row, channel)` gives the
// family's address of the row for a channel (-1 for a frame row).
template <class Row, class Address>
parameter_lists expand_table(std::span<const Row> rows, Address address) {
    constexpr int channel_count = 4;
    parameter_lists lists;
    auto emit = [&](const Row& row, int per_channel, int channel_index) {
        param_entry entry;
        entry.set_address(address(row, channel_index));
        entry.key = row.key;
        entry.per_channel = per_channel;
        entry.channel = channel_index;
        entry.read_only = row.read_only;
        entry.converter = row.converter;
        lists.list0.push_back(entry);
        if (row.monitored) lists.list1.push_back(std::move(entry));
    };
    // Walks the rows in runs (a run is one row, or the neighbouring rows of one group)
    // and emits each run's frame rows, then its channel rows channel by channel.
    std::size_t begin = 0;
    while (begin < rows.size()) {
        std::size_t end = begin + 1;
        if (rows[begin].group != no_group) {
            while (end < rows.size() && rows[end].group == rows[begin].group) ++end;
        }
        const auto run = rows.subspan(begin, end - begin);
        for (const Row& row : run) {
            if (row.scope != row_scope::channel) emit(row, 0, -1);
        }
        for (int c = 0; c < channel_count; ++c) {
            for (const Row& row : run) {
                if (row.scope != row_scope::frame) emit(row, 1, c);
            }
        }
        begin = end;
    }
    return lists;
}

}  // namespace nox::amp
