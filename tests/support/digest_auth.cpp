#include "tests/support/digest_auth.h"

#include <openssl/evp.h>

#include <cstdio>
#include <map>

namespace orva_test {

namespace {

std::string md5_hex(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr);
    std::string hex;
    char two[3];
    for (unsigned i = 0; i < length; ++i) {
        std::snprintf(two, sizeof two, "%02x", digest[i]);
        hex += two;
    }
    return hex;
}

// The name="value" (or name=value) parameters of a challenge.
std::map<std::string, std::string> parameters(const std::string& challenge) {
    std::map<std::string, std::string> result;
    size_t pos = challenge.find(' ');
    while (pos != std::string::npos && pos < challenge.size()) {
        while (pos < challenge.size() && (challenge[pos] == ' ' || challenge[pos] == ',')) ++pos;
        const size_t eq = challenge.find('=', pos);
        if (eq == std::string::npos) break;
        const std::string name = challenge.substr(pos, eq - pos);
        std::string value;
        if (eq + 1 < challenge.size() && challenge[eq + 1] == '"') {
            const size_t end = challenge.find('"', eq + 2);
            value = challenge.substr(eq + 2, end - eq - 2);
            pos = end == std::string::npos ? end : end + 1;
        } else {
            const size_t end = challenge.find(',', eq + 1);
            value = challenge.substr(eq + 1, end == std::string::npos ? std::string::npos : end - eq - 1);
            pos = end;
        }
        result[name] = value;
    }
    return result;
}

}  // namespace

std::string digest_authorization(const std::string& challenge, const credentials& who, const std::string& method,
                                 const std::string& uri) {
    auto p = parameters(challenge);
    const std::string cnonce = "0a4f113b";
    const std::string nc = "00000001";
    const std::string ha1 = md5_hex(who.user + ":" + p["realm"] + ":" + who.password);
    const std::string ha2 = md5_hex(method + ":" + uri);
    const std::string response = md5_hex(ha1 + ":" + p["nonce"] + ":" + nc + ":" + cnonce + ":auth:" + ha2);
    return "Digest username=\"" + who.user + "\", realm=\"" + p["realm"] + "\", nonce=\"" + p["nonce"] +
           "\", uri=\"" + uri + "\", qop=auth, nc=" + nc + ", cnonce=\"" + cnonce + "\", response=\"" + response +
           "\"";
}

http_answer http_call_with(const credentials& who, const std::string& method, const std::string& target,
                           const std::string& body, const http_options& options) {
    http_answer first = http_call(method, target, body, options);
    auto challenge = first.headers.find("www-authenticate");
    if (first.status != 401 || challenge == first.headers.end()) return first;
    http_options again = options;
    again.headers["Authorization"] = digest_authorization(challenge->second, who, method, target);
    return http_call(method, target, body, again);
}

}  // namespace orva_test
