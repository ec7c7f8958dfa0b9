// Transactions over a scripted port: what goes out, and how replies and failures come back.
#include <gtest/gtest.h>

#include "backend/p20spi/transaction.h"
#include "tests/p20spi/wire_bytes.h"

using namespace P20SPI;
using namespace p20spi_test;

namespace {

// Records the request and answers with a scripted result and reply.
class CScriptedPort : public IPort {
public:
    int result = kPortOk;
    words_t reply;
    words_t sent;

    void discover(std::vector<CDeviceAddress>&) override {}
    void address_text(std::uint64_t, std::string& text) const override { text.clear(); }
    int open_target(const CDeviceAddress&) override { return kPortOk; }
    int close_target() override { return kPortOk; }
    int transact_packet(std::span<const std::uint32_t> packet, words_t& out) override {
        sent.assign(packet.begin(), packet.end());
        out = reply;
        return result;
    }
    int transact_frame(std::span<const std::uint8_t>, std::vector<std::uint8_t>& out) override {
        out.clear();
        return kPortNotSupported;
    }
};

}  // namespace

TEST(TransactionTest, ReadSendsItsPacketAndParsesTheReply) {
    CScriptedPort port;
    port.reply = to_words(param_response(17, 5, 300, 0, 2, {11, 22}));
    CParamReadTransaction t;
    t.cmd().address() = CParamAddress(5, 300, 2);
    EXPECT_EQ(t.run(port), 0);
    EXPECT_EQ(to_bytes(port.sent), (bytes_t{16, 0, 3, 0xE6, 0, 5, 1, 44, 0, 0, 0, 2}));
    ASSERT_TRUE(t.parsed());
    EXPECT_EQ(t.rsp().values(), (words_t{11, 22}));
}

TEST(TransactionTest, WriteSendsHeaderAndValues) {
    CScriptedPort port;
    port.reply = to_words(param_response(19, 2, 7, 0, 2));
    CParamWriteTransaction t;
    t.cmd().address() = CParamAddress(2, 7, 0);
    t.cmd().set_values({1, 2});
    EXPECT_EQ(t.run(port), 0);
    EXPECT_EQ(port.sent.size(), 5u);
    EXPECT_TRUE(t.parsed());
    EXPECT_EQ(t.rsp().return_code().code(), 0);
}

TEST(TransactionTest, FailedExchangeReturnsThePortResultAndParsesNothing) {
    CScriptedPort port;
    port.result = kPortTimeout;
    // Whatever a failing port left in the reply is not taken as an answer.
    port.reply = to_words(param_response(19, 2, 7, 0, 1));
    CParamWriteTransaction t;
    t.cmd().set_values({1});
    EXPECT_EQ(t.run(port), 13);
    EXPECT_FALSE(t.parsed());
    EXPECT_EQ(t.reply().size(), 0u);
}

TEST(TransactionTest, MonitorExpectsA61WordResponse) {
    CMonitorReadTransaction t;
    EXPECT_EQ(t.rsp().expected_code(), 35);
    EXPECT_EQ(t.rsp().expected_length(), 61u);

    CScriptedPort port;
    port.reply = to_words(monitor_response({0x100}));
    EXPECT_EQ(t.run(port), 0);
    EXPECT_EQ(to_bytes(port.sent), (bytes_t{34, 0, 1, 0x8A}));
    ASSERT_TRUE(t.parsed());
    EXPECT_EQ(t.rsp().data().status_block()[0], 0x100u);

    // A reply that is a read response, not a monitor block.
    port.reply = to_words(param_response(17, 0, 0, 0, 0));
    EXPECT_EQ(t.run(port), 0);
    EXPECT_FALSE(t.parsed());
}

TEST(TransactionTest, OversizedReplyIsClampedNotOverrun) {
    CScriptedPort port;
    port.reply = to_words(param_response(17, 1, 0, 0, 58, {}));
    port.reply.resize(300, 0xAAAAAAAA);
    CParamReadTransaction t;
    t.cmd().address() = CParamAddress(1, 0, 58);
    EXPECT_EQ(t.run(port), 0);
    EXPECT_EQ(t.reply().size(), 61u);
    // The length byte says 3 words, the count 58: the values are not there.
    EXPECT_FALSE(t.parsed());
}

TEST(DeviceAddressTest, IdAndTextForm) {
    const CDeviceAddress a{0x0001a2b3, 0x0c0d0e0f, 5};
    EXPECT_EQ(a.id(), 0x0001a2b30c0d0e0full);
    EXPECT_EQ(device_id_text(a.id()), "0001a2b3:0c0d0e0f");
    EXPECT_EQ(device_id_text(~0ull), "ffffffff:ffffffff");
}
