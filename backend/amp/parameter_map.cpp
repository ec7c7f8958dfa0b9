#include "backend/amp/parameter_map.h"

#include "backend/amp/device.h"

namespace nox::amp {

namespace {

constexpr int F = value_type_float;
constexpr int I = value_type_integer;
constexpr auto frame = row_scope::frame;
constexpr auto channel = row_scope::channel;
constexpr auto frame_then_channel = row_scope::frame_then_channel;
constexpr bool both = true;   // lists 0 and 1
constexpr bool only0 = false; // list 0 only
constexpr bool ro = true;
constexpr bool rw = false;

// Interleaved groups of the Mira table: the keys of one command stem, per channel.
constexpr int no_group = 0;
constexpr int g_signal = 1;
constexpr int g_threshold = 2;
constexpr int g_factor = 3;
constexpr int g_refimp = 4;
constexpr int g_enable = 5;
constexpr int g_readings = 6;
constexpr int g_capability = 7;

boost::any none() { return {}; }

boost::any scale(unsigned int device_min, unsigned int device_max, float project_min, float project_max) {
    return linear_scale<unsigned int, float>{device_min, device_max, project_min, project_max};
}

boost::any profile() {
    return profile_lookup{{0, 2}, {1, 6}, {2, 9}, {3, 10}, {4, 11}, {5, 12}};
}

boost::any transp() { return transp_float{}; }

const std::vector<mira_row>& mira_rows() {
    static const std::vector<mira_row> rows{
        // key                                stem                         arg    fields pos type scope               lists  r/o conv       group
        {"power_status",                    "Dev.Power",                 "",    1, 0, I, frame,              only0, ro, none(),     no_group},
        {"mute",                            "Dev.Pwr.Mute",              "%d",  1, 0, I, channel,            only0, rw, none(),     no_group},
        {"attenuation",                     "Dev.Pwr.Attenuation",       "%d",  1, 0, F, channel,            both,  ro, none(),     no_group},
        {"fuse_current_limit",              "Dev.Fuse.NominalCurrent",   "",    2, 0, F, frame,              only0, rw, none(),     no_group},
        {"fuse_actual_limit",               "Dev.Fuse.NominalCurrent",   "",    2, 1, F, frame,              both,  ro, none(),     no_group},
        {"fuse_type",                       "Dev.Fuse.Type",             "",    1, 0, I, frame,              only0, rw, none(),     no_group},
        {"gain",                            "Mod.Out.AmpGain",           "#%d", 3, 0, F, channel,            both,  ro, none(),     no_group},
        {"threshold",                       "Mod.Out.AmpVPL",            "#%d", 4, 0, F, channel,            both,  ro, none(),     no_group},
        {"actual_vpl_threshold",            "Mod.Out.AmpVPL",            "#%d", 4, 3, F, channel,            both,  ro, none(),     no_group},
        {"profile",                         "Mod.Out.VPLProfile",        "#%d", 1, 0, I, channel,            both,  ro, profile(), no_group},
        {"temperature_psm",                 "Dev.Frame.Temp",            "",    2, 0, I, frame,              both,  ro, none(),     no_group},
        {"temperature_slot",                "Dev.Frame.Temp",            "",    2, 1, I, frame,              both,  ro, none(),     no_group},
        {"temperature",                     "Dev.Pwr.Temp",              "%d",  1, 0, I, channel,            both,  ro, none(),     no_group},
        {"t1_cable_resistance",             "Dev.LoadPilot.RCable",      "%d",  2, 0, F, channel,            only0, rw, none(),     no_group},
        {"t2_cable_resistance",             "Dev.LoadPilot.RCable",      "%d",  2, 1, F, channel,            only0, rw, none(),     no_group},
        {"t1_frequency",                    "Dev.LoadPilot.Signal",      "%d",  4, 0, F, channel,            only0, rw, none(),     g_signal},
        {"t2_frequency",                    "Dev.LoadPilot.Signal",      "%d",  4, 1, F, channel,            only0, rw, none(),     g_signal},
        {"t1_amplitude",                    "Dev.LoadPilot.Signal",      "%d",  4, 2, F, channel,            only0, rw, none(),     g_signal},
        {"t2_amplitude",                    "Dev.LoadPilot.Signal",      "%d",  4, 3, F, channel,            only0, rw, none(),     g_signal},
        {"t1_lower_threshold",              "Dev.LoadPilot.Threshold",   "%d",  4, 0, F, channel,            only0, rw, none(),     g_threshold},
        {"t2_lower_threshold",              "Dev.LoadPilot.Threshold",   "%d",  4, 1, F, channel,            only0, rw, none(),     g_threshold},
        {"t1_upper_threshold",              "Dev.LoadPilot.Threshold",   "%d",  4, 2, F, channel,            only0, rw, none(),     g_threshold},
        {"t2_upper_threshold",              "Dev.LoadPilot.Threshold",   "%d",  4, 3, F, channel,            only0, rw, none(),     g_threshold},
        {"t1_factor",                       "Dev.LoadPilot.Factor",      "%d",  2, 0, F, channel,            only0, rw, none(),     g_factor},
        {"t2_factor",                       "Dev.LoadPilot.Factor",      "%d",  2, 1, F, channel,            only0, rw, none(),     g_factor},
        {"t1_ref_impedance",                "Dev.LoadPilot.RefImp",      "%d",  2, 0, F, channel,            only0, rw, none(),     g_refimp},
        {"t2_ref_impedance",                "Dev.LoadPilot.RefImp",      "%d",  2, 1, F, channel,            only0, rw, none(),     g_refimp},
        {"enabled_tones",                   "Dev.LoadPilot.Enable",      "%d",  1, 0, I, channel,            only0, rw, none(),     g_enable},
        {"enabled_analyser",                "Dev.LoadPilot.Enable",      "%d",  1, 0, I, channel,            only0, rw, none(),     g_enable},
        {"t1_read_impedance",               "Dev.LoadPilot.Readings",    "%d",  4, 0, F, channel,            both,  ro, none(),     g_readings},
        {"t2_read_impedance",               "Dev.LoadPilot.Readings",    "%d",  4, 1, F, channel,            both,  ro, none(),     g_readings},
        {"flexi_mode",                      "Dev.KVX.Mode",              "",    1, 0, I, frame,              only0, rw, none(),     no_group},
        {"flexi_enabled",                   "Dev.KVX.Enable",            "",    1, 0, I, frame,              only0, rw, none(),     no_group},
        {"amp_max_out_voltage",             "Dev.KVX.Capability",        "",    4, 2, F, frame_then_channel, only0, ro, none(),     g_capability},
        {"amp_max_out_current",             "Dev.KVX.Capability",        "",    4, 3, F, frame_then_channel, only0, ro, none(),     g_capability},
        {"flexi_max_no_protected_channels", "Dev.KVX.Capability",        "",    4, 0, F, channel,            only0, ro, none(),     g_capability},
        {"flexi_amp_max_out_voltage",       "Dev.KVX.Capability",        "",    4, 1, F, channel,            only0, ro, none(),     g_capability},
        {"flexi_protected",                 "Dev.KVX.ProtDesired",       "%d",  1, 0, I, channel,            only0, rw, none(),     no_group},
        {"flexi_z_nominal_load",            "Dev.KVX.ZNominalLoad",      "%d",  1, 0, F, channel,            only0, rw, none(),     no_group},
        {"flexi_crest_factor",              "Dev.KVX.CrestFactor",       "%d",  1, 0, F, channel,            only0, rw, none(),     no_group},
        {"flexi_desired_vpl",               "Dev.KVX.DesiredVpl",        "%d",  1, 0, F, channel,            only0, rw, none(),     no_group},
        {"serial_number",                   "Dev.SerialNumber",          "",    1, 0, I, frame,              only0, ro, none(),     no_group},
    };
    return rows;
}

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

constexpr int channel_count = 4;

// Walks `rows` in runs (a run is one row, or the neighbouring rows of one group) and
// emits each run's frame rows, then its channel rows channel by channel.
template <class Row, class Make>
parameter_lists expand(std::span<const Row> rows, Make make) {
    parameter_lists lists;
    auto emit = [&](const Row& row, int per_channel, int channel_index) {
        param_entry entry = make(row, channel_index);
        entry.key = row.key;
        entry.per_channel = per_channel;
        entry.channel = channel_index;
        entry.read_only = row.read_only;
        entry.converter = row.converter;
        lists.list0.push_back(entry);
        if (row.monitored) lists.list1.push_back(std::move(entry));
    };
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

}  // namespace

std::span<const mira_row> mira_table() { return mira_rows(); }
std::span<const tesira_row> tesira_table() { return tesira_rows(); }

parameter_lists expand_mira_table(std::span<const mira_row> rows) {
    return expand(rows, [](const mira_row& row, int) {
        param_entry entry;
        entry.parameter = mira_parameter{row.stem, row.argument, row.fields, row.position, row.type};
        return entry;
    });
}

parameter_lists expand_tesira_table(std::span<const tesira_row> rows) {
    return expand(rows, [](const tesira_row& row, int channel_index) {
        param_entry entry;
        const int c = channel_index < 0 ? 0 : channel_index;
        entry.parameter = tesira_parameter{1, row.block, row.index_base + row.index_step * c};
        return entry;
    });
}

const parameter_lists& mira_parameter_rows() {
    static const parameter_lists lists = expand_mira_table(mira_table());
    return lists;
}

const parameter_lists& tesira_parameter_rows() {
    static const parameter_lists lists = expand_tesira_table(tesira_table());
    return lists;
}

int build_tesira_lists(device& dev, std::vector<param_entry>& list0, std::vector<param_entry>& list1) {
    list0.clear();
    list1.clear();
    float version = 0.0f;
    const int result = dev.read_firmware_parameter(version);
    if (result != result_ok) return result;
    dev.firmware.store(version);
    dev.ptg2_support.store(version >= 18.0f);
    dev.ptg2_sequential_support.store(version >= 18.0f);
    const parameter_lists& rows = tesira_parameter_rows();
    list0 = rows.list0;
    list1 = rows.list1;
    return result_ok;
}

}  // namespace nox::amp
