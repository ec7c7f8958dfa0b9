#include "backend/api/origin_guard.h"

#include <gtest/gtest.h>

namespace {

TEST(OriginGuard, RequestsWithoutTheHeadersAreServed) {
    EXPECT_TRUE(nox::allowed_request(nullptr, nullptr, {}));
}

TEST(OriginGuard, OwnHostNamesWithThePortAreServed) {
    nox::origin_policy policy;
    for (const char* host : {"127.0.0.1:8080", "localhost:8080", "LOCALHOST:8080"})
        EXPECT_TRUE(nox::allowed_host(host, policy)) << host;
    for (const char* host : {"evil.example:8080", "127.0.0.1", "127.0.0.1:80", "localhost:8081",
                             "127.0.0.1:8080x", ":8080", "127.0.0.1:", "10.0.0.1:8080",
                             "localhost.:8080"})
        EXPECT_FALSE(nox::allowed_host(host, policy)) << host;
}

TEST(OriginGuard, ConfiguredListenAddressCountsAsOwnHost) {
    nox::origin_policy policy{"10.99.0.1", 8080};
    EXPECT_TRUE(nox::allowed_host("10.99.0.1:8080", policy));
    EXPECT_TRUE(nox::allowed_origin("http://10.99.0.1:8080", policy));
    EXPECT_FALSE(nox::allowed_host("10.99.0.2:8080", policy));
}

TEST(OriginGuard, OnlyTheBackendsOwnOriginIsServed) {
    nox::origin_policy policy;
    EXPECT_TRUE(nox::allowed_origin("http://127.0.0.1:8080", policy));
    EXPECT_TRUE(nox::allowed_origin("http://localhost:8080", policy));
    for (const char* origin : {"null", "http://evil.example", "http://evil.example:8080",
                               "https://127.0.0.1:8080", "http://127.0.0.1:8081",
                               "http://127.0.0.1", "file://", "http://"})
        EXPECT_FALSE(nox::allowed_origin(origin, policy)) << origin;
}

TEST(OriginGuard, EitherForeignHeaderRefusesTheRequest) {
    nox::origin_policy policy;
    EXPECT_FALSE(nox::allowed_request("http://evil.example", "127.0.0.1:8080", policy));
    EXPECT_FALSE(nox::allowed_request("http://127.0.0.1:8080", "rebound.example:8080", policy));
    EXPECT_TRUE(nox::allowed_request("http://127.0.0.1:8080", "127.0.0.1:8080", policy));
    EXPECT_TRUE(nox::allowed_request(nullptr, "localhost:8080", policy));
}

}  // namespace
