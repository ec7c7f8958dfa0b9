// One virtual Mira amplifier: its identity (id, kind, product code) and the Mira text
// protocol, around the amplifier model that both simulators share (tools/sim_amp: names,
// power, mutes, binary parameters, monitor block, pilot tones and their calibration).
//
// Text commands have the shape <stem><op><arguments>, op being "?" (query), "=" (setting)
// or "!" (action). A command stem may have a handler of its own (`command_set`); every
// other stem is served by the text store: a setting stores its value under
// "<stem>?<arguments>" and the matching query reads it back. Keys whose value is part of
// the shared model (frame label, power, mutes, temperatures, serial number, load-pilot
// values) are bound to it (mira_commands.h), so `value` and `set_value` read and write the
// model for them and the generic store for every other key. The stems that take leading
// arguments (a channel such as "1" or "#1") are listed in `argument_counts`, so that
// "Dev.Pwr.Mute=2 1" stores "1" under "Dev.Pwr.Mute?2" (blanks around the value are
// dropped). Settings and actions answer "OK", unknown queries "ERR". The Mira command set
// (defaults, labels by channel, calibration) is in mira_commands.h.
//
// Binary P20SPI packets are answered by the shared model (sim_amp/p20spi_packet.h).
//
// Thread safety: none; the simulator's single loop owns every amplifier.
#pragma once

#include "tools/sim_amp/amplifier_model.h"

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace mira_sim {

class amplifier;

// A handler for one command stem: (amplifier, op, arguments) -> reply bytes.
using command_handler = std::function<std::string(amplifier&, char op, const std::string& arguments)>;

// The text commands with behaviour beyond the generic store.
std::map<std::string, command_handler>& command_set();
// Stems whose settings take leading argument tokens before the value.
const std::map<std::string, int>& argument_counts();

class amplifier : public sim_amp::amplifier_model {
public:
    amplifier(std::uint64_t id, std::uint8_t kind, std::uint8_t product);

    std::uint64_t id() const { return id_; }
    std::uint8_t kind() const { return kind_; }
    std::uint8_t product() const { return product_; }
    void set_kind(std::uint8_t kind) { kind_ = kind; }
    void set_product(std::uint8_t product) { product_ = product; }

    // Answers one text command (reply bytes; binary replies may hold NULs).
    std::string text_command(const std::string& command);
    // Answers one P20SPI packet (words in host order).
    std::vector<std::uint32_t> packet(const std::vector<std::uint32_t>& words);

    // The value of a store key "<stem>?<arguments>" (bound keys from the model); nothing
    // when the key is unknown.
    std::optional<std::string> value(const std::string& key) const;
    // Sets a store key (bound keys into the model). False when a bound key's value does not
    // fit it (the model is then unchanged).
    bool set_value(const std::string& key, const std::string& text);

    // The generic text store, keyed "<stem>?<arguments>", for every key not bound.
    std::map<std::string, std::string> values;

private:
    std::uint64_t id_;
    std::uint8_t kind_;
    std::uint8_t product_;
};

}  // namespace mira_sim
