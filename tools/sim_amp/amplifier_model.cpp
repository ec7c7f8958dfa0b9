#include "tools/sim_amp/amplifier_model.h"

namespace sim_amp {

namespace {

std::uint32_t read_mute(amplifier_model& amp, std::uint16_t index, bool) {
    if (index % 5 != 0) return amp.params[{mute_block, index}];
    return amp.mute[index / 5];
}

void write_mute(amplifier_model& amp, std::uint16_t index, std::uint32_t word) {
    if (index % 5 != 0) {
        amp.params[{mute_block, index}] = word;
        return;
    }
    amp.mute[index / 5] = word;
}

// The second word of the reset key completes it.
void write_reset_key(amplifier_model& amp, std::uint16_t index, std::uint32_t word) {
    amp.params[{0, index}] = word;
    if (index == 26 && amp.params[{0, 25}] == reset_key_first && word == reset_key_second) amp.soft_reset();
}

}  // namespace

amplifier_model::amplifier_model() {
    bind({0, 25, 26, nullptr, write_reset_key});
    bind({mute_block, mute_index(0), mute_index(channel_count - 1), read_mute, write_mute});
    bind_pilot_parameters(*this);
    bind_analyser_parameters(*this);
}

void amplifier_model::set_line(int channel, const load_line& line) {
    lines.at(std::size_t(channel)) = line;
    measure_tones(*this, channel);
}

void amplifier_model::bind(parameter_binding binding) { bindings_.push_back(std::move(binding)); }

const parameter_binding* amplifier_model::binding_of(std::uint8_t block, std::uint16_t index) const {
    for (auto it = bindings_.rbegin(); it != bindings_.rend(); ++it) {
        if (it->block == block && it->first <= index && index <= it->last) return &*it;
    }
    return nullptr;
}

std::uint32_t amplifier_model::word(std::uint8_t block, std::uint16_t index, bool alone) {
    const parameter_binding* b = binding_of(block, index);
    if (b && b->read) return b->read(*this, index, alone);
    const auto found = params.find({block, index});
    return found == params.end() ? 0 : found->second;
}

void amplifier_model::set_word(std::uint8_t block, std::uint16_t index, std::uint32_t value) {
    const parameter_binding* b = binding_of(block, index);
    if (b && b->write) {
        b->write(*this, index, value);
    } else {
        params[{block, index}] = value;
    }
}

std::uint8_t amplifier_model::read_words(std::uint8_t block, std::uint16_t first, std::size_t count,
                                         std::vector<std::uint32_t>& values) {
    values.clear();
    for (std::size_t i = 0; i < count; ++i) values.push_back(word(block, std::uint16_t(first + i), count == 1));
    return std::uint8_t(forced_return_code.value_or(code_ok));
}

std::uint8_t amplifier_model::write_words(std::uint8_t block, std::uint16_t first,
                                          const std::vector<std::uint32_t>& values) {
    if (forced_return_code) return std::uint8_t(*forced_return_code);
    for (std::size_t i = 0; i < values.size(); ++i) set_word(block, std::uint16_t(first + i), values[i]);
    return code_ok;
}

}  // namespace sim_amp
