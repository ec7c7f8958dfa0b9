// A Mira amplifier that answers with arbitrary bytes: every text exchange, raw exchange and
// P20SPI packet exchange of a `mira_device` takes its result and reply from the input, and
// the device runs each of its reading operations (and the writes that read before they
// write) on those replies. Checks that no reply makes the device crash, hang or throw:
// device operations return result codes.
//
// Input: a sequence of chunks (fuzz_input.h). Each exchange takes one byte (below 240: a
// successful exchange, otherwise time-out 13 or negative acknowledge 8) and one chunk (the
// reply text, raw payload or packet words). The project texts the writes are given come
// from the input too.
#include "backend/amp/mira_device.h"
#include "common/log/log.h"
#include "tests/fuzz/device_exercise.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/fuzz_input.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace {

using orva_fuzz::fuzz_input;

class scripted_transport final : public nox::amp::mira_transport {
public:
    explicit scripted_transport(fuzz_input& input) : input_(input) {}

    int text(const std::string&, const nox::amp::device_address&, const std::string&, std::string& reply) override {
        const int result = outcome();
        std::string payload = input_.chunk();
        // The transport hands up the text before the first NUL of at most 120 bytes.
        payload = payload.substr(0, std::min<std::size_t>(payload.find('\0'), 120));
        reply = result == 0 ? payload : std::string();
        return result;
    }
    int text_raw(const std::string&, const nox::amp::device_address&, const std::string&,
                 std::vector<std::uint8_t>& payload) override {
        const int result = outcome();
        auto bytes = input_.chunk_bytes();
        if (bytes.size() > 120) bytes.resize(120);
        payload = result == 0 ? bytes : std::vector<std::uint8_t>{};
        return result;
    }
    int packet(const std::string&, const nox::amp::device_address&, std::span<const std::uint32_t>,
               std::vector<std::uint32_t>& reply) override {
        const int result = outcome();
        auto words = input_.chunk_words();
        if (words.size() > 62) words.resize(62);
        reply = result == 0 ? words : std::vector<std::uint32_t>{};
        return result;
    }

private:
    int outcome() {
        if (input_.empty()) return nox::amp::result_timeout;
        const std::uint8_t b = input_.byte();
        return b < 240 ? nox::amp::result_ok : (b < 250 ? nox::amp::result_timeout : nox::amp::result_nak);
    }
    fuzz_input& input_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // No log file: each line would cost an open, a write and a close.
    nox::log::instance().set_log_path("");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_input input(data, size);
    auto transport = std::make_shared<scripted_transport>(input);
    nox::amp::mira_device device({0x0000abcd, 1, 2}, transport, [] { return std::string("10.99.0.1"); });
    device.cache_off();

    const auto monitor = orva_fuzz::exercise_mira_device(
        device, [&] { return input.chunk(); }, [&] { return !input.empty(); });
    FUZZ_CHECK(monitor.empty() || monitor.size() == 27);
    return 0;
}
