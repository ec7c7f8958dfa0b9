// The loudspeaker line on one output channel of a simulated amplifier, as its pilot tones
// and its analyser measure it: the cable's resistance in series with a loudspeaker load.
//
// A connected load of nominal impedance Zn (4 to 16 Ω) is a moving-coil loudspeaker:
//
//   Z(f) = Rc + Re + j·2πf·Le + Rres / (1 + j·Q·(f/fs − fs/f))
//
//   Re = 0.85·Zn         voice-coil resistance
//   Le = 40 µH per Ω Zn  voice-coil inductance: the impedance rises towards 20 kHz
//   fs = 55 Hz, Q = 3    the resonance, peaking at Re + Rres with Rres = 2.5·Zn
//
// so the magnitude sits near Zn through the midrange, peaks at the resonance and rises
// with frequency; the DC resistance is Rc + Re. A channel without a load ("open") shows
// only the cable: Rc in series with its capacitance (20 nF), and a DC resistance of
// 1 MΩ.
//
// The analyser measures 148 points, logarithmically spaced from 20 Hz to 20 kHz.
//
// Pure functions; any thread may call them.
#pragma once

#include <complex>

namespace sim_amp {

struct load_line {
    bool connected = true;
    double nominal_ohms = 8.0;
};

inline constexpr int sweep_points = 148;
inline constexpr double open_line_farads = 20e-9;
inline constexpr double open_dc_ohms = 1.0e6;

// The complex impedance of the line with a cable of `cable_ohms` at `hz`.
std::complex<double> line_impedance(const load_line& line, double cable_ohms, double hz);
// Its resistance at DC.
double line_dc_resistance(const load_line& line, double cable_ohms);
// The frequency of analyser point 0..147.
double sweep_frequency(int point);

}  // namespace sim_amp
