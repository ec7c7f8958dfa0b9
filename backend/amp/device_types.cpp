#include "backend/amp/device_types.h"

#include <cstdio>

namespace nox::amp {

std::string address_text(std::uint64_t id) {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "%08x:%08x", static_cast<unsigned>(id >> 32),
                  static_cast<unsigned>(id & 0xFFFFFFFFu));
    return buffer;
}

std::string device_address::text() const { return address_text(id()); }

}  // namespace nox::amp
