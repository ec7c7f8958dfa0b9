// One virtual Mira amplifier: its identity (id, kind, product code), the state that its
// text commands read and write, its binary parameters and its monitor block.
//
// Text commands have the shape <stem><op><arguments>, op being "?" (query), "=" (setting)
// or "!" (action). A command stem may have a handler of its own (`command_set`); every
// other stem is served by the generic store: a setting stores its value under
// "<stem>?<arguments>" and the matching query reads it back. The stems that take leading
// arguments (a channel such as "1" or "#1") are listed in `argument_counts`, so that
// "Dev.Pwr.Mute=2 1" stores "1" under "Dev.Pwr.Mute?2" (blanks around the value are
// dropped). Settings and actions answer "OK", unknown queries "ERR". The Mira command set
// (defaults, labels by channel, calibration) is in mira_commands.h.
//
// Binary P20SPI packets: parameter read (16) and write (18) on a (block, index) word
// store, monitor read (34) from `monitor`; anything else answers a fault packet (15).
//
// Thread safety: none; the simulator's single loop owns every amplifier.
#pragma once

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

class amplifier {
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

    // The generic store, keyed "<stem>?<arguments>".
    std::map<std::string, std::string> values;
    // Binary parameters by (block, index); missing ones read as 0.
    std::map<std::pair<std::uint8_t, std::uint16_t>, std::uint32_t> params;
    // When set, parameter reads and writes answer this return code.
    std::optional<std::int8_t> forced_return_code;
    // The 60 words of the monitor block, in the amplifier's own byte order.
    std::array<std::uint32_t, 60> monitor{};
    // The status word of "Dev.MD.FullBin?3" (bit 13 and 14: dirty flags).
    std::uint32_t status_word = 0;
    // How many soft resets were asked for.
    int resets = 0;
    // Load-pilot calibration (mira_commands.h): steps started and not yet finished, steps
    // finished, and after how many "Dev.LoadPilot.CalibDone?" queries a start finishes.
    std::uint32_t calibration_pending = 0;
    std::uint32_t calibration_done = 0;
    int calibration_polls = 1;
    int calibration_polls_left = 0;

private:
    std::uint64_t id_;
    std::uint8_t kind_;
    std::uint8_t product_;
};

}  // namespace mira_sim
