// The Tesira family's parameter table (parameter_map.h explains tables and lists): every
// mapped project key is a P20SPI parameter word of the hosted amplifier, at a block and
// an index that steps per channel, read and written through the Tesira server.
//
// Thread safety: the table and its lists are immutable after their thread-safe first
// construction.
#pragma once

#include "backend/amp/converters.h"
#include "backend/amp/parameter_map.h"

#include <cstdint>
#include <span>

namespace nox::amp {

class device;

// The address of a parameter of a Tesira-hosted amplifier: kind 1, P20SPI block and
// index.
struct tesira_parameter {
    std::int32_t kind = 1;
    std::int32_t block = 0;
    std::int32_t index = 0;
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

// The table as written.
std::span<const tesira_row> tesira_table();
// The expanded lists, built on first use.
const parameter_lists& tesira_parameter_rows();
// Expands a table (exposed for tests; the function above caches the result).
parameter_lists expand_tesira_table(std::span<const tesira_row> rows);

// Firmware of a Tesira-hosted amplifier from which on it has the second-generation
// pilot-tone functions (and sequential calibration).
inline constexpr float tesira_ptg2_firmware = 18.0f;

// The parameter-list builder of a Tesira-hosted device: reads the firmware version with
// `read_firmware_parameter`; when that fails, returns its result and leaves `lists`
// empty. Otherwise stores the version in `version`, fills the lists from the Tesira
// table and returns 0. The device records the version (`record_firmware` with
// tesira_ptg2_firmware).
int build_tesira_lists(device& dev, parameter_lists& lists, float& version);

}  // namespace nox::amp
