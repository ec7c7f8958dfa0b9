// P20SPI reply packets as a port delivers them: arbitrary words (up to the 62 a binary
// frame can carry) parsed as each kind of response, with the packet's own accessors.
//
// Round trips: a packet rebuilt from its words is the same packet; a read or write
// response that parsed, written again field by field (with the codec's setters) and
// parsed again, gives the same address, return code and values; a command serialised
// from the parsed fields reads back as what was put in.
#include "backend/p20spi/commands.h"
#include "backend/p20spi/packet.h"
#include "backend/p20spi/return_code.h"
#include "tests/fuzz/fuzz_check.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

using namespace P20SPI;

namespace {

// A response packet with `code`, the address and return code, and `values`.
CPacket response_packet(std::uint8_t code, const CParamAddress& address, int return_code,
                        const std::vector<std::uint32_t>& values) {
    CPacket p;
    p.set_length(3 + values.size());
    p.set_code(code);
    p.set_byte(5, static_cast<std::uint8_t>(address.block()));
    p.set_be16(6, static_cast<std::uint16_t>(address.index()));
    p.set_byte(10, static_cast<std::uint8_t>(return_code));
    p.set_byte(11, static_cast<std::uint8_t>(address.count()));
    for (std::size_t i = 0; i < values.size(); ++i) p.set_be32(12 + 4 * i, values[i]);
    p.seal();
    return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint32_t> words(std::min<std::size_t>(size / 4, 62));
    for (std::size_t i = 0; i < words.size(); ++i)
        words[i] = std::uint32_t{data[4 * i]} | std::uint32_t{data[4 * i + 1]} << 8 |
                   std::uint32_t{data[4 * i + 2]} << 16 | std::uint32_t{data[4 * i + 3]} << 24;

    const CPacket packet(words);
    FUZZ_CHECK(packet.size() == std::min<std::size_t>(words.size(), CPacket::kMaxWords));
    FUZZ_CHECK(packet.available_words() <= packet.size());
    const CPacket again(packet.words());
    FUZZ_CHECK(again.available_words() == packet.available_words());
    for (std::size_t i = 0; i < packet.available_words(); ++i) FUZZ_CHECK(again.word(i) == packet.word(i));
    (void)packet.checksum_valid();
    for (std::size_t i = 0; i < CPacket::kMaxWords; ++i) (void)packet.swapped_word(i);

    CCmdParamRdResponse read;
    if (read.parse(packet)) {
        FUZZ_CHECK(read.values().size() <= packet.available_words() - 3);
        FUZZ_CHECK(!read.return_code().is_success() || read.values().size() == read.address().count());
        (void)read.return_code().text();
        CCmdParamRdResponse reread;
        FUZZ_CHECK(reread.parse(response_packet(kCodeParamRdResponse, read.address(), read.return_code().code(),
                                                read.values())));
        FUZZ_CHECK(reread.address() == read.address());
        FUZZ_CHECK(reread.return_code().code() == read.return_code().code());
        FUZZ_CHECK(reread.values() == read.values());

        // A write of the values read, to the address read, carries them unchanged.
        if (!read.values().empty()) {
            CCmdParamWr write(read.address(), read.values());
            const CPacket& sent = write.serialise();
            FUZZ_CHECK(sent.checksum_valid() && sent.code() == kCodeParamWr);
            FUZZ_CHECK(sent.byte(5) == read.address().block() && sent.be16(6) == read.address().index());
            FUZZ_CHECK(sent.byte(11) == read.values().size());
            for (std::size_t i = 0; i < read.values().size(); ++i) FUZZ_CHECK(sent.be32(12 + 4 * i) == read.values()[i]);
        }
    }
    CCmdParamWrResponse written;
    if (written.parse(packet)) {
        CCmdParamWrResponse reread;
        FUZZ_CHECK(reread.parse(response_packet(kCodeParamWrResponse, written.address(),
                                                written.return_code().code(), {})));
        FUZZ_CHECK(reread.address() == written.address());
        FUZZ_CHECK(reread.return_code().code() == written.return_code().code());
    }
    CCmdFaultResponse fault;
    (void)fault.parse(packet);
    CCmdMonitorRdResponse monitor;
    if (monitor.parse(packet)) FUZZ_CHECK(packet.available_words() == CPacket::kMaxWords);

    // A read command for the address in the first words serialises or refuses, never
    // truncates.
    const unsigned block = words.empty() ? 0 : words[0] & 0x1FF;
    const unsigned index = words.size() < 2 ? 0 : words[1] & 0x1FFFF;
    const unsigned count = words.size() < 3 ? 0 : words[2] & 0x7F;
    CCmdParamRd command(CParamAddress(block, index, count));
    try {
        const CPacket& sent = command.serialise();
        FUZZ_CHECK(block <= 0xFF && index <= 0xFFFF && count <= kMaxParamValues);
        FUZZ_CHECK(sent.byte(5) == block && sent.be16(6) == index && sent.byte(11) == count);
        FUZZ_CHECK(sent.checksum_valid());
    } catch (const std::out_of_range&) {
        FUZZ_CHECK(block > 0xFF || index > 0xFFFF || count > kMaxParamValues);
    }
    return 0;
}
