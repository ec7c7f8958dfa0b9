// A transaction pairs one command with the response it expects, and can run the exchange
// over a port: serialise the command, hand its words to the port, parse the reply.
//
//   P20SPI::CParamReadTransaction t;
//   t.cmd().address() = P20SPI::CParamAddress(block, first, count);
//   const int transport = t.run(port);        // 0, 3, 8, 13 ... from the port
//   if (transport == 0 && t.parsed()) use(t.rsp().return_code(), t.rsp().values());
//
// `run` always parses what came back (an empty reply when the exchange failed, which
// parses as false), so a caller may look at the transport result, the parse, or both.
//
// Thread safety: a transaction is a stack object of one exchange.
#pragma once

#include <type_traits>

#include "backend/p20spi/commands.h"
#include "backend/p20spi/iport.h"
#include "backend/p20spi/packet.h"

namespace P20SPI {

class CTransactionBase {
public:
    virtual ~CTransactionBase() = default;
    virtual ICmd& command() = 0;
    virtual ICmdResponse& response() = 0;

    // Runs one exchange over `port` and returns the port's result. Commands that cannot
    // be built throw std::out_of_range before anything is sent.
    int run(IPort& port);
    // Whether the last `run` parsed its reply, and the reply as received.
    bool parsed() const { return parsed_; }
    const CPacket& reply() const { return reply_; }

private:
    CPacket reply_;
    bool parsed_ = false;
};

template <typename TCmd, typename TResponse>
class CConcreteTransaction : public CTransactionBase {
public:
    CConcreteTransaction() {
        if constexpr (std::is_same_v<TResponse, CCmdMonitorRdResponse>) {
            // A monitor reply is always the full 61-word packet.
            response_.expect(kCodeMonitorRdResponse, CPacket::kMaxWords);
        }
    }

    ICmd& command() override { return command_; }
    ICmdResponse& response() override { return response_; }

    TCmd& cmd() { return command_; }
    const TCmd& cmd() const { return command_; }
    TResponse& rsp() { return response_; }
    const TResponse& rsp() const { return response_; }

private:
    TCmd command_;
    TResponse response_;
};

using CParamReadTransaction = CConcreteTransaction<CCmdParamRd, CCmdParamRdResponse>;
using CParamWriteTransaction = CConcreteTransaction<CCmdParamWr, CCmdParamWrResponse>;
using CMonitorReadTransaction = CConcreteTransaction<CCmdMonitorRd, CCmdMonitorRdResponse>;

}  // namespace P20SPI
