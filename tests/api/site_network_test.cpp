// The backend opened to the site network, inside the network sandbox: requests from
// 10.99.0.2 to 10.99.0.1:8080 need a user and password (digest authentication), GET
// /metrics takes the bearer token instead, loopback stays open, foreign Host names stay
// refused, TLS serves HTTPS and WSS only, and settings that cannot be right stop the
// start with their reason.
#include "tests/support/backend_process.h"
#include "tests/support/digest_auth.h"
#include "tests/support/http_client.h"
#include "tests/support/metrics_text.h"
#include "tests/support/tls_stream.h"
#include "tests/support/ws_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using orva_test::credentials;
using orva_test::http_call;
using orva_test::http_call_with;
using orva_test::http_get;

const credentials alice{"alice", "correct horse"};
const std::string token = "scrape-7f3a9c1e2b";

// A client on the other end of the sandbox's cable.
orva_test::http_options from_other_host() {
    orva_test::http_options o;
    o.host = "10.99.0.1";
    o.source = "10.99.0.2";
    return o;
}

orva_test::backend_process::options opened(std::map<std::string, std::string> environment = {}) {
    orva_test::backend_process::options o;
    o.environment = std::move(environment);
    o.environment["ORVA_LISTEN_ADDRESS"] = "0.0.0.0";
    o.users[alice.user] = alice.password;
    return o;
}

std::string start_output(const orva_test::backend_process& backend) {
    std::ifstream in(std::filesystem::path(backend.data_folder()).parent_path() / "stdout.txt");
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

class SiteNetwork : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        auto options = opened({{"ORVA_METRICS_TOKEN", token}, {"ORVA_ALLOWED_HOSTS", "orva-studio.example, 192.0.2.7"}});
        options.configuration = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<configuration><zones>"
                                "<zone><id>1</id><name>Foyer</name></zone></zones></configuration>";
        backend_ = new orva_test::backend_process(options);
        ASSERT_TRUE(backend_->ready()) << backend_->log();
    }
    static void TearDownTestSuite() {
        delete backend_;
        backend_ = nullptr;
    }
    static std::string zone_name() {
        auto answer = http_get("/zones/1");
        auto at = answer.body.find("\"name\":\"");
        return at == std::string::npos ? "" : answer.body.substr(at + 8, answer.body.find('"', at + 8) - at - 8);
    }
    void SetUp() override {
        ASSERT_NE(backend_, nullptr);
        ASSERT_EQ(http_call("PUT", "/zones/1", "{\"id\":\"1\",\"name\":\"Foyer\"}").status, 200);
    }

    static orva_test::backend_process* backend_;
};
orva_test::backend_process* SiteNetwork::backend_ = nullptr;

TEST_F(SiteNetwork, WithoutCredentialsOtherHostsGet401AndChangeNothing) {
    auto get = http_get("/frames", from_other_host());
    EXPECT_EQ(get.status, 401);
    EXPECT_EQ(get.headers["www-authenticate"].rfind("Digest ", 0), 0u) << get.head;
    EXPECT_NE(get.headers["www-authenticate"].find("realm=\"Orva\""), std::string::npos);
    EXPECT_EQ(http_call("PUT", "/zones/1", "{\"id\":\"1\",\"name\":\"Taken\"}", from_other_host()).status, 401);
    EXPECT_EQ(http_get("/index.html", from_other_host()).status, 401);
    EXPECT_EQ(http_get("/api/version/", from_other_host()).status, 401);
    EXPECT_EQ(zone_name(), "Foyer");
}

TEST_F(SiteNetwork, AWrongPasswordIsRefusedAndCounted) {
    const auto before = orva_test::metric_value(http_get("/metrics").body, "orva_http_credentials_refused_total");
    EXPECT_EQ(http_call_with({"alice", "wrong"}, "PUT", "/zones/1", "{\"id\":\"1\",\"name\":\"Taken\"}",
                             from_other_host()).status, 401);
    EXPECT_EQ(http_call_with({"mallory", alice.password}, "GET", "/frames", {}, from_other_host()).status, 401);
    EXPECT_EQ(zone_name(), "Foyer");
    const auto after = orva_test::metric_value(http_get("/metrics").body, "orva_http_credentials_refused_total");
    EXPECT_EQ(after.value_or(0) - before.value_or(0), 2);
    EXPECT_TRUE(backend_->wait_for_log("refused the credentials of a request from 10.99.0.2"));
}

TEST_F(SiteNetwork, TheRightPasswordIsServedAndAPutStored) {
    EXPECT_EQ(http_call_with(alice, "GET", "/frames", {}, from_other_host()).status, 200);
    auto put = http_call_with(alice, "PUT", "/zones/1", "{\"id\":\"1\",\"name\":\"Stage\"}", from_other_host());
    EXPECT_EQ(put.status, 200) << put.raw;
    EXPECT_EQ(zone_name(), "Stage");
    EXPECT_EQ(http_call_with(alice, "GET", "/index.html", {}, from_other_host()).status, 200);
}

TEST_F(SiteNetwork, AWebSocketUpgradeWithCredentialsReceivesBroadcasts) {
    orva_test::ws_client::options refused;
    refused.host = "10.99.0.1";
    refused.source = "10.99.0.2";
    orva_test::ws_client without(refused);
    EXPECT_EQ(without.status(), 401) << without.handshake_answer();

    auto challenge = http_get("/", from_other_host()).headers["www-authenticate"];
    orva_test::ws_client::options with = refused;
    with.headers["Authorization"] = orva_test::digest_authorization(challenge, alice, "GET", "/");
    orva_test::ws_client listener(with);
    ASSERT_TRUE(listener.connected()) << listener.handshake_answer();
    ASSERT_TRUE(listener.wait_for("new front end connected"));
    orva_test::ws_client local;  // from loopback: its arrival is broadcast to every client
    ASSERT_TRUE(local.connected());
    EXPECT_TRUE(listener.wait_for("new front end connected"));
}

TEST_F(SiteNetwork, LoopbackNeedsNoCredentials) {
    EXPECT_EQ(http_get("/frames").status, 200);
    EXPECT_EQ(http_call("PUT", "/zones/1", "{\"id\":\"1\",\"name\":\"Local\"}").status, 200);
    EXPECT_EQ(zone_name(), "Local");
    EXPECT_TRUE(orva_test::ws_client().connected());
}

TEST_F(SiteNetwork, ForeignHostNamesAreRefusedEvenWithCredentials) {
    auto attacker = from_other_host();
    attacker.headers["Host"] = "attacker.example:8080";
    EXPECT_EQ(http_call_with(alice, "GET", "/frames", {}, attacker).status, 403);
    auto origin = from_other_host();
    origin.headers["Origin"] = "http://attacker.example:8080";
    EXPECT_EQ(http_call_with(alice, "PUT", "/zones/1", "{\"id\":\"1\",\"name\":\"X\"}", origin).status, 403);
    EXPECT_EQ(zone_name(), "Foyer");
}

TEST_F(SiteNetwork, TheMachinesOwnNamesAndTheAllowedHostsAreAccepted) {
    char name[256] = {};
    ASSERT_EQ(::gethostname(name, sizeof name - 1), 0);
    for (const std::string& host : {std::string(name), std::string("10.99.0.2"), std::string("ORVA-studio.example"),
                                   std::string("192.0.2.7")}) {
        auto there = from_other_host();
        there.headers["Host"] = host + ":8080";
        there.headers["Origin"] = "http://" + host + ":8080";
        EXPECT_EQ(http_call_with(alice, "GET", "/frames", {}, there).status, 200) << host;
        there.headers["Host"] = host + ":8081";
        EXPECT_EQ(http_call_with(alice, "GET", "/frames", {}, there).status, 403) << host;
    }
}

TEST_F(SiteNetwork, MetricsFromOtherHostsTakeTheBearerTokenAndItOpensNothingElse) {
    auto scraper = from_other_host();
    scraper.headers["Authorization"] = "Bearer " + token;
    auto metrics = http_get("/metrics", scraper);
    EXPECT_EQ(metrics.status, 200);
    EXPECT_NE(metrics.body.find("orva_uptime_seconds"), std::string::npos);
    EXPECT_EQ(http_get("/frames", scraper).status, 401);
    EXPECT_EQ(http_call("PUT", "/zones/1", "{\"id\":\"1\",\"name\":\"X\"}", scraper).status, 401);
    EXPECT_EQ(http_call("POST", "/metrics", "", scraper).status, 401);
    scraper.headers["Authorization"] = "Bearer " + token + "x";
    EXPECT_EQ(http_get("/metrics", scraper).status, 401);
    scraper.headers["Authorization"] = "Bearer " + token.substr(0, token.size() - 1);
    EXPECT_EQ(http_get("/metrics", scraper).status, 401);
    EXPECT_EQ(http_get("/metrics", from_other_host()).status, 401);
    EXPECT_EQ(http_call_with(alice, "GET", "/metrics", {}, from_other_host()).status, 200);
    EXPECT_EQ(zone_name(), "Foyer");
}

TEST_F(SiteNetwork, AThousandWrongPasswordsLeaveOtherClientsServed) {
    const auto challenge = http_get("/", from_other_host()).headers["www-authenticate"];
    std::atomic<int> refused{0};
    std::atomic<bool> done{false};
    std::vector<std::thread> attackers;
    for (int t = 0; t < 4; ++t) {
        attackers.emplace_back([&, t] {
            auto options = from_other_host();
            for (int i = 0; i < 250; ++i) {
                options.headers["Authorization"] = orva_test::digest_authorization(
                    challenge, {"alice", "guess" + std::to_string(t * 250 + i)}, "GET", "/frames");
                if (http_get("/frames", options).status == 401) ++refused;
            }
        });
    }
    // Meanwhile the others go on: every one of their requests is answered, each at once
    // (a generous bound for a busy machine; the cost of a refusal is measured by
    // bench/api/auth_refusals).
    int served = 0;
    std::chrono::steady_clock::duration slowest{};
    std::thread others([&] {
        while (!done) {
            for (bool remote : {false, true}) {
                const auto asked = std::chrono::steady_clock::now();
                auto answer = remote ? http_call_with(alice, "GET", "/api/version/", {}, from_other_host())
                                     : http_get("/api/version/");
                slowest = std::max(slowest, std::chrono::steady_clock::now() - asked);
                if (answer.status == 200) ++served;
            }
        }
    });
    for (auto& a : attackers) a.join();
    done = true;
    others.join();
    EXPECT_EQ(refused, 1000);
    EXPECT_GT(served, 0);
    EXPECT_LT(slowest, 5s);
}

// --- Start refusals and TLS: a backend each ------------------------------------------

TEST(SiteNetworkStart, AnOpenedBackendWithoutAPasswordFileDoesNotStart) {
    auto options = opened();
    options.users.clear();
    options.start_timeout = 5s;
    orva_test::backend_process backend(options);
    EXPECT_FALSE(backend.ready());
    EXPECT_EQ(backend.stop(), 1);
    const std::string reason = "opens the backend to other hosts, which need a password: there is no password file";
    EXPECT_NE(backend.log().find(reason), std::string::npos) << backend.log();
    EXPECT_NE(start_output(backend).find(reason), std::string::npos);
    EXPECT_FALSE(orva_test::port_open("10.99.0.1", 8080));
}

TEST(SiteNetworkStart, AMalformedOrUnreadablePasswordFileStopsTheStart) {
    for (const std::string content : {"alice:Orva:not-a-hash\n", "", "alice:Other:0123456789abcdef0123456789abcdef\n",
                                      "<directory>"}) {
        auto options = opened();
        options.users.clear();
        options.start_timeout = 5s;
        options.before_start = [content](const std::string& data) {
            if (content == "<directory>") {
                std::filesystem::create_directories(data + "/passwords");
            } else {
                std::ofstream(data + "/passwords") << content;
            }
        };
        orva_test::backend_process backend(options);
        EXPECT_FALSE(backend.ready()) << content;
        EXPECT_EQ(backend.stop(), 1) << content;
        EXPECT_NE(backend.log().find("which need a password: "), std::string::npos) << backend.log();
    }
}

TEST(SiteNetworkStart, AHostileAllowedHostsValueStopsTheStart) {
    for (const std::string hosts : {"*", "good.example, evil.example/x", "a\r\nX-Injected: 1", "orva,,studio",
                                    "evil.example:80"}) {
        auto options = opened({{"ORVA_ALLOWED_HOSTS", hosts}});
        options.start_timeout = 5s;
        orva_test::backend_process backend(options);
        EXPECT_FALSE(backend.ready()) << hosts;
        EXPECT_EQ(backend.stop(), 1) << hosts;
        EXPECT_NE(start_output(backend).find("ORVA_ALLOWED_HOSTS: \""), std::string::npos) << start_output(backend);
    }
}

class SiteNetworkTls : public ::testing::Test {
protected:
    SiteNetworkTls() {
        char pattern[] = "/tmp/orva-tls-XXXXXX";
        folder_ = ::mkdtemp(pattern);
        const std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=10.99.0.1 -keyout " +
                                    folder_ + "/key.pem -out " + folder_ + "/cert.pem >/dev/null 2>&1 && cat " +
                                    folder_ + "/cert.pem " + folder_ + "/key.pem > " + folder_ + "/both.pem";
        made_ = std::system(command.c_str()) == 0;
    }
    ~SiteNetworkTls() override { std::filesystem::remove_all(folder_); }

    std::string folder_;
    bool made_ = false;
};

TEST_F(SiteNetworkTls, HttpsAndWssAreServedAndPlainHttpIsNot) {
    ASSERT_TRUE(made_);
    orva_test::backend_process backend(opened({{"ORVA_TLS_CERT", folder_ + "/both.pem"}}));
    ASSERT_TRUE(backend.ready()) << backend.log();

    auto secure = from_other_host();
    secure.tls = true;
    auto answer = http_call_with(alice, "GET", "/frames", {}, secure);
    EXPECT_EQ(answer.status, 200) << answer.raw;
    EXPECT_EQ(http_get("/frames", secure).status, 401);
    secure.headers["Origin"] = "https://10.99.0.1:8080";
    EXPECT_EQ(http_call_with(alice, "GET", "/frames", {}, secure).status, 200);
    secure.headers["Origin"] = "http://10.99.0.1:8080";
    EXPECT_EQ(http_call_with(alice, "GET", "/frames", {}, secure).status, 403);

    // Plain HTTP on the TLS port gets no HTTP answer, from anywhere.
    EXPECT_EQ(http_get("/frames", from_other_host()).status, 0);
    EXPECT_EQ(http_get("/api/version/").status, 0);

    // WSS with credentials: the upgrade succeeds and the first broadcast arrives.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    orva_test::tls_stream ws("10.99.0.1", 8080, deadline, "10.99.0.2");
    ASSERT_TRUE(ws.ok());
    auto plain_secure = from_other_host();
    plain_secure.tls = true;
    auto challenge = http_get("/", plain_secure).headers["www-authenticate"];
    ASSERT_TRUE(ws.send("GET / HTTP/1.1\r\nHost: 10.99.0.1:8080\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
                        "Authorization: " + orva_test::digest_authorization(challenge, alice, "GET", "/") +
                            "\r\n\r\n",
                        deadline));
    std::string received;
    while (received.find("\r\n\r\n") == std::string::npos && ws.receive(1, received, deadline)) {
    }
    ASSERT_EQ(received.rfind("HTTP/1.1 101", 0), 0u) << received;
    const std::string text = "new front end connected";
    while (received.find(text) == std::string::npos && ws.receive(1, received, deadline)) {
    }
    EXPECT_NE(received.find(text), std::string::npos);
    EXPECT_EQ(backend.stop(), 0);
}

TEST_F(SiteNetworkTls, ACertificateWithoutItsKeyStopsTheStart) {
    ASSERT_TRUE(made_);
    for (const std::string file : {"cert.pem", "missing.pem"}) {
        auto options = opened({{"ORVA_TLS_CERT", folder_ + "/" + file}});
        options.start_timeout = 5s;
        orva_test::backend_process backend(options);
        EXPECT_FALSE(backend.ready()) << file;
        EXPECT_EQ(backend.stop(), 1) << file;
        EXPECT_NE(start_output(backend).find("ORVA_TLS_CERT: "), std::string::npos) << start_output(backend);
    }
}

}  // namespace
