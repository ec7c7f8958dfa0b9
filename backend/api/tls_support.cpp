#include "backend/api/tls_support.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <memory>
#include <stdexcept>

namespace nox {

namespace {

// The text of the last OpenSSL error, for a message.
std::string openssl_error() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return "";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return std::string(" (") + text + ")";
}

}  // namespace

std::optional<std::string> certificate_fault(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return path + " cannot be read: " + std::strerror(errno);
    std::fclose(file);
    ERR_clear_error();
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
    if (!context) return "TLS cannot be set up" + openssl_error();
    if (SSL_CTX_use_certificate_chain_file(context.get(), path.c_str()) != 1)
        return path + " holds no PEM certificate" + openssl_error();
    if (SSL_CTX_use_PrivateKey_file(context.get(), path.c_str(), SSL_FILETYPE_PEM) != 1)
        return path + " holds no PEM private key (the file must hold the certificate and its key)" + openssl_error();
    if (SSL_CTX_check_private_key(context.get()) != 1)
        return "the private key in " + path + " does not belong to its certificate" + openssl_error();
    return std::nullopt;
}

void load_tls_adapters(const std::string& folder) {
    // libcrypto first: the web server loads it first, and the ssl adapter needs it.
    for (const char* name : {"orva_crypto_adapter.so", "orva_ssl_adapter.so"}) {
        const std::string path = folder + "/" + name;
        if (!::dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL)) {
            const char* error = ::dlerror();
            throw std::runtime_error("cannot load " + path + " for TLS (installation corrupt?): " +
                                     (error ? error : "unknown error"));
        }
    }
}

}  // namespace nox
