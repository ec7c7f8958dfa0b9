// The backend's version texts.
#pragma once

#include <string>

namespace nox {

inline constexpr const char* backend_version = "1.3.3.3";

// The version up to and including its last ".", followed by "10303003"
// ("1.3.3.3" -> "1.3.3.10303003"); a version without "." is returned unchanged.
std::string revision_of(const std::string& version);

}  // namespace nox
