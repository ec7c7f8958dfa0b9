// TLS of the web server (ORVA_TLS_CERT): the check of the certificate file before the
// start, and the OpenSSL adapters that Debian's civetweb needs to load OpenSSL 3
// (backend/tls/CMakeLists.txt says why).
//
// Thread safety: called once by the main thread before the web server starts.
#pragma once

#include <optional>
#include <string>

namespace nox {

// Why the PEM file cannot serve TLS (cannot be read, holds no certificate, no private
// key, or a key that does not belong to the certificate), or nothing when it can.
std::optional<std::string> certificate_fault(const std::string& path);

// Loads the adapters from `folder` (the installation folder's lib/); throws
// std::runtime_error naming a library that cannot be loaded.
void load_tls_adapters(const std::string& folder);

}  // namespace nox
