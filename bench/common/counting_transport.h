// The real Mira transport, counting the exchanges it carries: the benchmarks report how
// many exchanges an operation costs besides how long it takes.
//
// Thread safety: as the real transport; the counter is atomic.
#pragma once

#include "backend/amp/mira_transport.h"

#include <atomic>

namespace orva_bench {

class counting_transport : public nox::amp::mira_transport {
public:
    std::atomic<long> exchanges{0};

    int text(const std::string& i, const nox::amp::device_address& t, const std::string& c,
             std::string& r) override {
        ++exchanges;
        return inner_.text(i, t, c, r);
    }
    int text_raw(const std::string& i, const nox::amp::device_address& t, const std::string& c,
                 std::vector<std::uint8_t>& p) override {
        ++exchanges;
        return inner_.text_raw(i, t, c, p);
    }
    int packet(const std::string& i, const nox::amp::device_address& t,
               std::span<const std::uint32_t> w, std::vector<std::uint32_t>& r) override {
        ++exchanges;
        return inner_.packet(i, t, w, r);
    }

private:
    nox::amp::udp_mira_transport inner_;
};

}  // namespace orva_bench
