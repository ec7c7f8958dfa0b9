#include "backend/calibration/analyser_data.h"

#include "backend/model/model.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <sstream>

namespace nox::analyser {

namespace {

std::uint16_t index_of(int value) { return static_cast<std::uint16_t>(value); }

amp::param_range single(std::uint8_t block, int index) { return {block, index_of(index), index_of(index)}; }

void append_value(std::string& text, double value) {
    if (!text.empty()) text += ' ';
    text += format_float(value);
}

}  // namespace

amp::param_range cable_resistance_range(int channel) {
    return single(data_block, cable_resistance_offset + channel_stride * channel);
}

amp::param_range switch_range(int channel) { return single(data_block, switch_offset + channel_stride * channel); }

amp::param_range sweep_range(int channel) {
    const int first = sweep_first + sweep_words * channel;
    return {data_block, index_of(first), index_of(first + sweep_words - 1)};
}

amp::param_range dc_resistance_range() {
    return {data_block, dc_resistance_first, index_of(dc_resistance_first + channel_count - 1)};
}

std::vector<std::uint32_t> channel_selection(int channel) {
    std::vector<std::uint32_t> words(channel_count, 0);
    words.at(static_cast<std::size_t>(channel)) = 1;
    return words;
}

std::vector<amp::param_range> chunks(const amp::param_range& range, int chunk) {
    std::vector<amp::param_range> out;
    for (int first = range.first; first <= range.last; first += chunk) {
        const int last = std::min<int>(first + chunk - 1, range.last);
        out.push_back({range.block, index_of(first), index_of(last)});
    }
    return out;
}

std::uint32_t float_bits(float value) { return std::bit_cast<std::uint32_t>(value); }

float bits_float(std::uint32_t word) { return std::bit_cast<float>(word); }

std::vector<float> bits_floats(const std::vector<std::uint32_t>& words) {
    std::vector<float> values;
    values.reserve(words.size());
    for (const std::uint32_t w : words) values.push_back(bits_float(w));
    return values;
}

sweep_texts sweep_record_texts(const std::vector<float>& values) {
    sweep_texts texts;
    const std::size_t half = values.size() / 2;
    for (std::size_t i = 0; i < half; ++i) {
        const double re = values[i];
        const double im = values[half + i];
        append_value(texts.reals, re);
        append_value(texts.imags, im);
        append_value(texts.abs, std::sqrt(re * re + im * im));
    }
    return texts;
}

std::string payload_text(const std::vector<float>& values) {
    std::ostringstream text;
    text << "Payload size: " << values.size() << "\n";
    for (const float v : values) text << v << ' ';
    text << "\n***\n";
    return text.str();
}

}  // namespace nox::analyser
