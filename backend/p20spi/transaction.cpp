#include "backend/p20spi/transaction.h"

#include <vector>

namespace P20SPI {

int CTransactionBase::run(IPort& port) {
    const CPacket& request = command().serialise();
    std::vector<std::uint32_t> reply_words;
    const int result = port.transact_packet(request.words(), reply_words);
    if (result != kPortOk) {
        // Whatever a failed exchange left behind is not a reply.
        reply_words.clear();
    }
    reply_.assign(reply_words);
    parsed_ = response().parse(reply_);
    return result;
}

// The three transactions the backend uses are built once here.
template class CConcreteTransaction<CCmdParamRd, CCmdParamRdResponse>;
template class CConcreteTransaction<CCmdParamWr, CCmdParamWrResponse>;
template class CConcreteTransaction<CCmdMonitorRd, CCmdMonitorRdResponse>;

}  // namespace P20SPI
