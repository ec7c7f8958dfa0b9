#include "backend/amp/tesira_parameters.h"

#include "backend/amp/device.h"

namespace nox::amp {

namespace {

using namespace table_columns;

boost::any scale(unsigned int device_min, unsigned int device_max, float project_min, float project_max) {
    return linear_scale<unsigned int, float>{device_min, device_max, project_min, project_max};
}

boost::any transp() { return transp_float{}; }

// Scales of the Tesira table, {device_min, device_max, project_min, project_max}.
boost::any attenuation_scale() { return scale(0, 400, 0.0f, -100.0f); }
boost::any vpl_scale() { return scale(0, 999822, 17.8f, 100000.0f); }
boost::any fuse_scale() { return scale(1, 320, 0.1f, 32.0f); }
boost::any amplitude_scale() { return scale(0, 2000, 0.0f, 2.0f); }
boost::any impedance_scale() { return scale(0, 6000000, 0.0f, 6000.0f); }
boost::any cable_scale() { return scale(0, 500000, 0.0f, 500.0f); }
boost::any frequency_scale() { return scale(10000, 47000000, 10.0f, 47000.0f); }

constexpr int g_max_out = 1;

const std::vector<tesira_row>& tesira_rows() {
    static const std::vector<tesira_row> rows{
        // key                                block base step scope               lists  r/o conv                 group
        {"mute",                            2,   0,   5,  channel,            only0, ro, none(),               no_group},
        {"sensitivity",                     2,   2,   5,  channel,            only0, rw, none(),               no_group},
        {"attenuation",                     2,   1,   5,  channel,            only0, rw, attenuation_scale(), no_group},
        {"temperature_psm",                 3,   1,   0,  frame,              both,  ro, none(),               no_group},
        {"temperature_slot",                3,   2,   0,  frame,              both,  ro, none(),               no_group},
        {"temperature",                     3,   3,   1,  channel,            both,  ro, none(),               no_group},
        {"actual_vpl_threshold",            16,  0,   1,  channel,            both,  ro, vpl_scale(),         no_group},
        {"profile",                         16,  4,   1,  channel,            only0, rw, none(),               no_group},
        {"threshold",                       16,  37,  1,  channel,            only0, rw, vpl_scale(),         no_group},
        {"fuse_current_limit",              32,  0,   0,  frame,              only0, rw, fuse_scale(),        no_group},
        {"fuse_actual_limit",               32,  69,  0,  frame,              both,  ro, fuse_scale(),        no_group},
        {"fuse_type",                       32,  1,   0,  frame,              only0, rw, none(),               no_group},
        {"t1_amplitude",                    5,   1,   21, channel,            only0, rw, amplitude_scale(),   no_group},
        {"t2_amplitude",                    5,   2,   21, channel,            only0, rw, amplitude_scale(),   no_group},
        {"t1_upper_threshold",              5,   3,   21, channel,            only0, rw, impedance_scale(),   no_group},
        {"t2_upper_threshold",              5,   4,   21, channel,            only0, rw, impedance_scale(),   no_group},
        {"t1_lower_threshold",              5,   5,   21, channel,            only0, rw, impedance_scale(),   no_group},
        {"t2_lower_threshold",              5,   6,   21, channel,            only0, rw, impedance_scale(),   no_group},
        {"t1_ref_impedance",                5,   7,   21, channel,            only0, rw, impedance_scale(),   no_group},
        {"t2_ref_impedance",                5,   8,   21, channel,            only0, rw, impedance_scale(),   no_group},
        {"t1_factor",                       5,   9,   21, channel,            only0, rw, amplitude_scale(),   no_group},
        {"t2_factor",                       5,   10,  21, channel,            only0, rw, amplitude_scale(),   no_group},
        {"t1_cable_resistance",             5,   11,  21, channel,            only0, rw, cable_scale(),       no_group},
        {"enabled_tones",                   5,   12,  21, channel,            only0, rw, none(),               no_group},
        {"enabled_analyser",                5,   13,  21, channel,            only0, rw, none(),               no_group},
        {"t1_read_impedance",               5,   14,  21, channel,            both,  rw, impedance_scale(),   no_group},
        {"t2_read_impedance",               5,   15,  21, channel,            both,  rw, impedance_scale(),   no_group},
        {"t1_frequency",                    5,   16,  21, channel,            only0, rw, frequency_scale(),   no_group},
        {"t2_frequency",                    5,   17,  21, channel,            only0, rw, frequency_scale(),   no_group},
        {"t2_cable_resistance",             5,   20,  21, channel,            only0, rw, cable_scale(),       no_group},
        {"flexi_enabled",                   18,  0,   0,  frame,              only0, rw, none(),               no_group},
        {"amp_max_out_voltage",             0,   15,  0,  frame_then_channel, only0, ro, none(),               g_max_out},
        {"amp_max_out_current",             0,   16,  0,  frame_then_channel, only0, ro, none(),               g_max_out},
        {"flexi_max_no_protected_channels", 18,  1,   0,  channel,            only0, ro, none(),               no_group},
        {"flexi_amp_max_out_voltage",       18,  2,   0,  channel,            only0, ro, transp(),            no_group},
        {"flexi_protected",                 18,  16,  16, channel,            only0, rw, none(),               no_group},
        {"flexi_z_nominal_load",            18,  17,  16, channel,            only0, rw, transp(),            no_group},
        {"flexi_crest_factor",              18,  18,  16, channel,            only0, rw, transp(),            no_group},
        {"flexi_desired_vpl",               18,  19,  16, channel,            only0, rw, transp(),            no_group},
        {"serial_number",                   0,   14,  0,  frame,              only0, ro, none(),               no_group},
    };
    return rows;
}

}  // namespace

std::span<const tesira_row> tesira_table() { return tesira_rows(); }

parameter_lists expand_tesira_table(std::span<const tesira_row> rows) {
    return expand_table(rows, [](const tesira_row& row, int channel_index) {
        const int c = channel_index < 0 ? 0 : channel_index;
        return tesira_parameter{1, row.block, row.index_base + row.index_step * c};
    });
}

const parameter_lists& tesira_parameter_rows() {
    static const parameter_lists lists = expand_tesira_table(tesira_table());
    return lists;
}

int build_tesira_lists(device& dev, parameter_lists& lists, float& version) {
    lists = {};
    float read = 0.0f;
    const int result = dev.read_firmware_parameter(read);
    if (result != result_ok) return result;
    version = read;
    lists = tesira_parameter_rows();
    return result_ok;
}

}  // namespace nox::amp
