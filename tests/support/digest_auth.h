// The client side of HTTP digest authentication (MD5, qop "auth") for process-level
// tests of the site network, written from the RFC rather than from the server's code.
//
// Thread safety: free functions without shared state.
#pragma once

#include "tests/support/http_client.h"

#include <string>

namespace orva_test {

struct credentials {
    std::string user;
    std::string password;
};

// The Authorization header value that answers `challenge` (a WWW-Authenticate value
// "Digest realm=..., nonce=..., qop=...") for a request of `method` on `uri`.
std::string digest_authorization(const std::string& challenge, const credentials& who, const std::string& method,
                                 const std::string& uri);

// Sends the request without credentials and, when it is answered 401 with a digest
// challenge, once more with the answer to it (the HTTP status of the second try).
http_answer http_call_with(const credentials& who, const std::string& method, const std::string& target,
                           const std::string& body = {}, const http_options& options = {});

}  // namespace orva_test
