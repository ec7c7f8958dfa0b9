#include "backend/core/version.h"

namespace nox {

std::string revision_of(const std::string& version) {
    auto dot = version.rfind('.');
    if (dot == std::string::npos) return version;
    return version.substr(0, dot + 1) + "10303003";
}

}  // namespace nox
