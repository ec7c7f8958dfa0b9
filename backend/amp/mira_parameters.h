// The Mira family's parameter table (parameter_map.h explains tables and lists): every
// mapped project key is a text command of the amplifier, read from one field of the
// command's reply (docs/mira_commands.md has the table with its replies).
//
// Thread safety: the table and its lists are immutable after their thread-safe first
// construction.
#pragma once

#include "backend/amp/converters.h"
#include "backend/amp/parameter_map.h"

#include <cstdint>
#include <span>
#include <string>

namespace nox::amp {

// Value type of a Mira parameter reply field.
inline constexpr int value_type_float = 0;
inline constexpr int value_type_integer = 1;

// The address of a Mira parameter: a text command stem with an argument format ("", "%d"
// or "#%d", expanded with channel + 1), the number of blank-separated fields of its
// reply, the field this row reads, and the field's value type.
struct mira_parameter {
    std::string stem;
    std::string argument;
    std::int32_t field_count = 1;
    std::int32_t field_position = 0;
    std::int32_t value_type = value_type_integer;
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
    int group;               // no_group, or rows with the same group next to each other interleave
};

// The table as written.
std::span<const mira_row> mira_table();
// The expanded lists, built on first use.
const parameter_lists& mira_parameter_rows();
// Expands a table (exposed for tests; the function above caches the result).
parameter_lists expand_mira_table(std::span<const mira_row> rows);

// The profile lookup of the Mira table: device word 0..5 <-> project value 2, 6, 9..12.
using profile_lookup = nox::lookup<unsigned int, unsigned short>;

}  // namespace nox::amp
