// The simulated amplifier shared by both simulators: one four-channel amplifier's state
// and behaviour, whatever protocol reaches it. The Mira simulator (tools/mira_sim) shows
// it through the Mira text commands and P20SPI packets in Mira frames; the Tesira server
// simulator (tools/tesira_sim) hosts it as an amplifier block with named attributes and
// relays `peek`/`poke` to its parameter space.
//
// State:
//   frame_name, channel_names   the amplifier's own texts
//   power, mute                 power state and the four channel mutes
//   params                      the P20SPI parameter space: 32-bit words by (block,
//                               index); words never written read as 0
//   monitor                     the 60 words of the monitor block; words 0..14 are the
//                               status block (0 amplifier, 1/3/5/7 channels 1..4, 12 PSU)
//   status_word                 bit 13: settings changed on the amplifier; bit 14: select
//                               key held
//   pilot                       the load-pilot tones of each channel and their
//                               calibration (pilot.h)
//   lines                       the loudspeaker line on each channel (load_line.h), what
//                               the pilot tones and the analyser measure
//   analyser                    the load analyser (analyser.h)
//
// Parameter words go through bindings: a binding claims a range of indices of one block
// and reads and writes them from typed state instead of the word store. The model binds
//   block 0, indices 25, 26            the reset key: writing "SOFTRSET" (two words, four
//                                      characters each, first character in the most
//                                      significant byte) is a soft reset
//   block 2, indices 0, 5, 10, 15      the channel mutes (non-zero: muted)
//   block 5                            the pilot tones and calibration (pilot.h)
//   block 6, indices 0..5              the analyser's command and completion (analyser.h)
// Further behaviour (an analyser, a measurement) is added by binding more ranges with
// `bind`; a later binding of the same index wins.
//
// Thread safety: none; the owning simulator's single loop drives the model.
#pragma once

#include "tools/sim_amp/analyser.h"
#include "tools/sim_amp/load_line.h"
#include "tools/sim_amp/pilot.h"

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace sim_amp {

inline constexpr int channel_count = 4;

// P20SPI return codes the model answers with.
inline constexpr std::uint8_t code_ok = 0;
inline constexpr std::uint8_t code_parameter_accepted = 6;

class amplifier_model;

// Reads or writes one bound parameter word. `alone` is true when the read covers just
// this word (actions such as a calibration poll happen only then).
using word_reader = std::function<std::uint32_t(amplifier_model&, std::uint16_t index, bool alone)>;
using word_writer = std::function<void(amplifier_model&, std::uint16_t index, std::uint32_t word)>;

struct parameter_binding {
    std::uint8_t block = 0;
    std::uint16_t first = 0;
    std::uint16_t last = 0;
    word_reader read;   // null: the word store answers
    word_writer write;  // null: the word store keeps the word
};

class amplifier_model {
public:
    amplifier_model();
    virtual ~amplifier_model() = default;

    // The parameter space. Reads fill `values` with `count` words; writes store each word
    // at first, first + 1, ... Both answer the P20SPI return code: `forced_return_code`
    // when set (a write then changes nothing), else 0.
    std::uint8_t read_words(std::uint8_t block, std::uint16_t first, std::size_t count,
                            std::vector<std::uint32_t>& values);
    std::uint8_t write_words(std::uint8_t block, std::uint16_t first, const std::vector<std::uint32_t>& values);

    // One word, bindings included (no return code, no forced code).
    std::uint32_t word(std::uint8_t block, std::uint16_t index, bool alone = true);
    void set_word(std::uint8_t block, std::uint16_t index, std::uint32_t value);

    // Adds behaviour for a range of parameter words (see above).
    void bind(parameter_binding binding);

    // A soft reset: counted.
    void soft_reset() { ++resets; }

    std::string frame_name;
    std::array<std::string, channel_count> channel_names;
    bool power = true;
    std::array<std::uint32_t, channel_count> mute{};  // non-zero: muted

    // The word store behind the bindings.
    std::map<std::pair<std::uint8_t, std::uint16_t>, std::uint32_t> params;
    // When set, parameter reads and writes answer this return code.
    std::optional<std::int8_t> forced_return_code;
    std::array<std::uint32_t, 60> monitor{};
    std::uint32_t status_word = 0;
    // How many soft resets were asked for.
    int resets = 0;

    pilot_state pilot;
    std::array<load_line, channel_count> lines;
    analyser_state analyser;

    // Connects channel c's line to `line`; the pilot readings follow the new line.
    void set_line(int channel, const load_line& line);

private:
    const parameter_binding* binding_of(std::uint8_t block, std::uint16_t index) const;

    std::vector<parameter_binding> bindings_;
};

// The soft-reset key of block 0, indices 25 and 26.
inline constexpr std::uint32_t reset_key_first = 0x534F4654u;   // "SOFT"
inline constexpr std::uint32_t reset_key_second = 0x52534554u;  // "RSET"

// The block and index of channel c's mute word (c = 0..3).
inline constexpr std::uint8_t mute_block = 2;
inline constexpr std::uint16_t mute_index(int channel) { return std::uint16_t(5 * channel); }

}  // namespace sim_amp
