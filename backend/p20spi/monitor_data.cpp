#include "backend/p20spi/monitor_data.h"

#include "backend/p20spi/packet.h"

namespace P20SPI {

void CMonitorItem::load(const CPacket& response) { value_ = response.swapped_word(view_word_); }

CP20MonitorData::CP20MonitorData()
    : channel_status{CMonitorChannelStatus(0), CMonitorChannelStatus(1), CMonitorChannelStatus(2),
                     CMonitorChannelStatus(3)},
      power{CMonitorChannelPower(0), CMonitorChannelPower(1), CMonitorChannelPower(2),
            CMonitorChannelPower(3)},
      voltage{CMonitorChannelVoltage(0), CMonitorChannelVoltage(1), CMonitorChannelVoltage(2),
              CMonitorChannelVoltage(3)},
      current{CMonitorChannelCurrent(0), CMonitorChannelCurrent(1), CMonitorChannelCurrent(2),
              CMonitorChannelCurrent(3)},
      gain_reduction{CMonitorChannelGainRed(0), CMonitorChannelGainRed(1),
                     CMonitorChannelGainRed(2), CMonitorChannelGainRed(3)} {}

void CP20MonitorData::load(const CPacket& response) {
    for (std::size_t w = 0; w < kMonitorStatusWords; ++w) {
        status_block_[w] = response.swapped_word(1 + w);
    }
    amplifier.load(response);
    for (std::size_t k = 0; k < 4; ++k) {
        channel_status[k].load(response);
        power[k].load(response);
        voltage[k].load(response);
        current[k].load(response);
        gain_reduction[k].load(response);
    }
}

void CP20MonitorData::clear() {
    status_block_.fill(0);
    amplifier.set_value(0);
    for (std::size_t k = 0; k < 4; ++k) {
        channel_status[k].set_value(0);
        power[k].set_value(0);
        voltage[k].set_value(0);
        current[k].set_value(0);
        gain_reduction[k].set_value(0);
    }
}

}  // namespace P20SPI
