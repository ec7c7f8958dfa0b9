#include "backend/amp/mira_parameters.h"

namespace nox::amp {

namespace {

constexpr int F = value_type_float;
constexpr int I = value_type_integer;
using namespace table_columns;

// Interleaved groups: the keys of one command stem, per channel.
constexpr int g_signal = 1;
constexpr int g_threshold = 2;
constexpr int g_factor = 3;
constexpr int g_refimp = 4;
constexpr int g_enable = 5;
constexpr int g_readings = 6;
constexpr int g_capability = 7;

boost::any profile() {
    return profile_lookup{{0, 2}, {1, 6}, {2, 9}, {3, 10}, {4, 11}, {5, 12}};
}

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

}  // namespace

std::span<const mira_row> mira_table() { return mira_rows(); }

parameter_lists expand_mira_table(std::span<const mira_row> rows) {
    return expand_table(rows, [](const mira_row& row, int) {
        return mira_parameter{row.stem, row.argument, row.fields, row.position, row.type};
    });
}

const parameter_lists& mira_parameter_rows() {
    static const parameter_lists lists = expand_mira_table(mira_table());
    return lists;
}

}  // namespace nox::amp
