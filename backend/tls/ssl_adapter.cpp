// Stands in for "libssl.so" when the web server loads OpenSSL (see CMakeLists.txt): it
// depends on the installed libssl and libcrypto, and adds the one function that OpenSSL 3
// only offers under a new name.
#include <openssl/ssl.h>

#undef SSL_get_peer_certificate

// The peer's certificate with a reference the caller frees (OpenSSL 1.1 semantics, which
// SSL_get1_peer_certificate keeps).
extern "C" __attribute__((visibility("default"))) X509* SSL_get_peer_certificate(const SSL* ssl) {
    return SSL_get1_peer_certificate(ssl);
}
