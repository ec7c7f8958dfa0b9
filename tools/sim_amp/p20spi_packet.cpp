#include "tools/sim_amp/p20spi_packet.h"

#include "tools/sim_amp/amplifier_model.h"

namespace sim_amp {

namespace {

std::vector<std::uint32_t> finish_packet(std::vector<std::uint32_t> words, std::uint8_t code) {
    set_packet_byte(words, 0, code);
    set_packet_byte(words, 1, 0);
    set_packet_byte(words, 2, std::uint8_t(words.size()));
    set_packet_byte(words, 3, packet_checksum(words, words.size()));
    return words;
}

std::vector<std::uint32_t> parameter_header(std::size_t words, std::uint8_t block, std::uint16_t index,
                                            std::uint8_t code, std::uint8_t count) {
    std::vector<std::uint32_t> reply(words, 0);
    set_packet_byte(reply, 5, block);
    set_packet_byte(reply, 6, std::uint8_t(index >> 8));
    set_packet_byte(reply, 7, std::uint8_t(index));
    set_packet_byte(reply, 10, code);
    set_packet_byte(reply, 11, count);
    return reply;
}

}  // namespace

std::uint8_t packet_byte(const std::vector<std::uint32_t>& words, std::size_t index) {
    if (index / 4 >= words.size()) return 0;
    return std::uint8_t(words[index / 4] >> (8 * (index % 4)));
}

void set_packet_byte(std::vector<std::uint32_t>& words, std::size_t index, std::uint8_t value) {
    if (index / 4 >= words.size()) words.resize(index / 4 + 1, 0);
    const unsigned shift = 8 * (index % 4);
    words[index / 4] = (words[index / 4] & ~(0xFFu << shift)) | (std::uint32_t(value) << shift);
}

std::uint8_t packet_checksum(const std::vector<std::uint32_t>& words, std::size_t length) {
    unsigned sum1 = 0, sum2 = 0;
    for (std::size_t i = 0; i < 4 * length; ++i) {
        const unsigned b = i == 3 ? 0 : packet_byte(words, i);
        sum1 = (sum1 + b) % 255;
        sum2 = (sum2 + sum1) % 255;
    }
    return std::uint8_t(sum2);
}

std::vector<std::uint32_t> answer_packet(amplifier_model& amp, const std::vector<std::uint32_t>& words) {
    const std::uint8_t code = packet_byte(words, 0);
    const std::uint8_t block = packet_byte(words, 5);
    const std::uint16_t index = std::uint16_t(packet_byte(words, 6) << 8 | packet_byte(words, 7));
    const std::uint8_t count = packet_byte(words, 11);

    if (code == 16 && words.size() >= 3) {
        std::vector<std::uint32_t> values;
        const std::uint8_t result = amp.read_words(block, index, count, values);
        auto reply = parameter_header(3u + count, block, index, result, count);
        for (unsigned i = 0; i < count && i < values.size(); ++i) {
            for (unsigned k = 0; k < 4; ++k) {
                set_packet_byte(reply, 12 + 4 * i + k, std::uint8_t(values[i] >> (8 * (3 - k))));
            }
        }
        return finish_packet(std::move(reply), 17);
    }
    if (code == 18 && words.size() >= 3) {
        std::vector<std::uint32_t> values;
        for (unsigned i = 0; i < count && 3 + i < words.size(); ++i) {
            std::uint32_t value = 0;
            for (unsigned k = 0; k < 4; ++k) value = value << 8 | packet_byte(words, 12 + 4 * i + k);
            values.push_back(value);
        }
        const std::uint8_t result = amp.write_words(block, index, values);
        return finish_packet(parameter_header(3, block, index, result, count), 19);
    }
    if (code == 34) {
        // The port hands words over in host order after reading them big-endian, and the
        // monitor block is read through byte-reversed words: store each reversed.
        std::vector<std::uint32_t> reply(61, 0);
        for (std::size_t i = 0; i < amp.monitor.size(); ++i) reply[i + 1] = __builtin_bswap32(amp.monitor[i]);
        return finish_packet(std::move(reply), 35);
    }
    std::vector<std::uint32_t> reply(2, 0);
    set_packet_byte(reply, 7, 1);
    return finish_packet(std::move(reply), 15);
}

}  // namespace sim_amp
