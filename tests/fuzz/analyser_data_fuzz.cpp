// What an amplifier's load analyser reports, as the impedance sweep reads it: parameter
// words taken as float bit patterns (any of them: NaN, infinities, denormals, a reply
// shorter or longer than asked for) and turned into the texts of an `impedance_sweeps`
// record and the payload log; and the parameter ranges of a sweep cut into reads.
// Checks that the three texts hold one value per point, that every text is storable in
// the project, that the reads cover their range exactly, and nothing throws.
//
// Round trip: every value of the record's texts, read back as a number and written again,
// gives the same text (a record loaded from the project file shows what was measured).
#include "backend/calibration/analyser_data.h"
#include "backend/model/model.h"
#include "tests/fuzz/fuzz_check.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The values of a record text, each checked to read back as itself.
std::size_t check_values(const std::string& text) {
    FUZZ_CHECK(nox::valid_attribute_value(text));
    std::istringstream in(text);
    std::size_t count = 0;
    for (std::string value; in >> value; ++count) {
        char* end = nullptr;
        const double read = std::strtod(value.c_str(), &end);
        FUZZ_CHECK(end && *end == '\0');
        FUZZ_CHECK(nox::format_float(read) == value);
    }
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 5) return 0;
    // The first five bytes: a parameter range and a chunk size for the reads.
    const nox::amp::param_range range{data[0], static_cast<std::uint16_t>(data[1] | data[2] << 8),
                                      static_cast<std::uint16_t>(data[3] << 4 | data[4] >> 4)};
    const int chunk = 1 + (data[4] & 0x0F) * 8;
    const auto reads = nox::analyser::chunks(range, chunk);
    int next = range.first;
    for (const auto& read : reads) {
        FUZZ_CHECK(read.block == range.block && read.first == next && read.first <= read.last);
        FUZZ_CHECK(read.last - read.first < chunk);
        next = read.last + 1;
    }
    FUZZ_CHECK(range.first > range.last ? reads.empty() : next == range.last + 1);

    std::vector<std::uint32_t> words((size - 5) / 4);
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::uint8_t* w = data + 5 + 4 * i;
        words[i] = std::uint32_t{w[0]} | std::uint32_t{w[1]} << 8 | std::uint32_t{w[2]} << 16 |
                   std::uint32_t{w[3]} << 24;
    }
    const std::vector<float> values = nox::analyser::bits_floats(words);
    FUZZ_CHECK(values.size() == words.size());
    for (std::size_t i = 0; i < values.size(); ++i) FUZZ_CHECK(nox::analyser::float_bits(values[i]) == words[i]);

    const auto texts = nox::analyser::sweep_record_texts(values);
    const std::size_t points = values.size() / 2;
    FUZZ_CHECK(check_values(texts.reals) == points);
    FUZZ_CHECK(check_values(texts.imags) == points);
    FUZZ_CHECK(check_values(texts.abs) == points);

    const std::string payload = nox::analyser::payload_text(values);
    FUZZ_CHECK(payload.rfind("Payload size: " + std::to_string(values.size()) + "\n", 0) == 0);
    FUZZ_CHECK(payload.size() >= 5 && payload.compare(payload.size() - 5, 5, "\n***\n") == 0);
    return 0;
}
