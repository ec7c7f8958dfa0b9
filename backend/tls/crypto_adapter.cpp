// Stands in for "libcrypto.so" when the web server loads OpenSSL (see CMakeLists.txt):
// it only depends on the installed libcrypto, where every function is found.
#include <openssl/crypto.h>

extern "C" __attribute__((visibility("default"))) unsigned long orva_crypto_adapter_version() {
    return OpenSSL_version_num();
}
