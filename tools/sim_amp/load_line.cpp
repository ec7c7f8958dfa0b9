#include "tools/sim_amp/load_line.h"

#include <cmath>
#include <numbers>

namespace sim_amp {

namespace {

constexpr double coil_share = 0.85;
constexpr double henry_per_ohm = 40e-6;
constexpr double resonance_hz = 55.0;
constexpr double resonance_q = 3.0;
constexpr double resonance_share = 2.5;
constexpr double first_hz = 20.0;
constexpr double last_hz = 20000.0;

}  // namespace

std::complex<double> line_impedance(const load_line& line, double cable_ohms, double hz) {
    const double omega = 2.0 * std::numbers::pi * hz;
    if (!line.connected) {
        if (omega <= 0.0) return {open_dc_ohms, 0.0};
        return {cable_ohms, -1.0 / (omega * open_line_farads)};
    }
    const double zn = line.nominal_ohms;
    std::complex<double> z{cable_ohms + coil_share * zn, omega * henry_per_ohm * zn};
    if (hz > 0.0) {
        const double detune = resonance_q * (hz / resonance_hz - resonance_hz / hz);
        z += resonance_share * zn / std::complex<double>(1.0, detune);
    }
    return z;
}

double line_dc_resistance(const load_line& line, double cable_ohms) {
    return line.connected ? cable_ohms + coil_share * line.nominal_ohms : open_dc_ohms;
}

double sweep_frequency(int point) {
    return first_hz * std::pow(last_hz / first_hz, double(point) / double(sweep_points - 1));
}

}  // namespace sim_amp
