// The site network's rules without a server: loopback addresses, the password file and
// its faults, allowed host names, bearer tokens, the settings from the environment, and
// the Host and Origin checks with the added names and TLS.
#include "backend/api/origin_guard.h"
#include "backend/api/site_access.h"
#include "tests/support/test_folder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>

namespace {

namespace fs = std::filesystem;

class SiteAccess : public ::testing::Test {
protected:
    SiteAccess() {
        folder_ = orva_test::test_folder("orva-site");
        fs::create_directories(folder_);
        file_ = (folder_ / "passwords").string();
    }
    ~SiteAccess() override {
        for (const char* name : {"ORVA_ALLOWED_HOSTS", "ORVA_METRICS_TOKEN", "ORVA_TLS_CERT"}) ::unsetenv(name);
        fs::remove_all(folder_);
    }
    void write(const std::string& text) { std::ofstream(file_, std::ios::binary) << text; }
    std::string fault() { return nox::password_file_fault(file_).value_or(""); }

    fs::path folder_;
    std::string file_;
};

TEST_F(SiteAccess, OnlyLoopbackAddressesCountAsThisMachine) {
    for (const char* address : {"127.0.0.1", "127.44.0.9", "::1", "[::1]", "::ffff:127.0.0.1", "localhost", "LocalHost"})
        EXPECT_TRUE(nox::loopback_address(address)) << address;
    for (const char* address : {"0.0.0.0", "10.99.0.1", "128.0.0.1", "::", "::ffff:10.0.0.1", "", "127.0.0.1.example"})
        EXPECT_FALSE(nox::loopback_address(address)) << address;
}

TEST_F(SiteAccess, StoredPasswordsMakeAFileOnlyItsOwnerReads) {
    ASSERT_TRUE(nox::store_password(file_, "alice", "correct horse"));
    ASSERT_TRUE(nox::store_password(file_, "bob", "x:y z"));
    EXPECT_EQ(fault(), "");
    struct stat info {};
    ASSERT_EQ(::stat(file_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    std::ifstream in(file_);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    // md5("alice:Orva:correct horse")
    EXPECT_NE(text.find("alice:Orva:"), std::string::npos) << text;
    ASSERT_TRUE(nox::store_password(file_, "alice", ""));  // removed
    std::ifstream again(file_);
    text.assign((std::istreambuf_iterator<char>(again)), {});
    EXPECT_EQ(text.find("alice:"), std::string::npos) << text;
    EXPECT_NE(text.find("bob:Orva:"), std::string::npos);
}

TEST_F(SiteAccess, PasswordFileFaultsNameTheirReason) {
    EXPECT_NE(fault().find("there is no password file " + file_), std::string::npos);
    EXPECT_NE(fault().find("orva_backend --set-password NAME"), std::string::npos);
    write("");
    EXPECT_NE(fault().find("holds no user of the realm \"Orva\""), std::string::npos);
    write("alice:Other:0123456789abcdef0123456789abcdef\n");
    EXPECT_NE(fault().find("holds no user"), std::string::npos);
    for (const char* line : {"alice:Orva", "alice:Orva:0123", "alice:Orva:0123456789abcdef0123456789abcdeg",
                             ":Orva:0123456789abcdef0123456789abcdef", "a:b:Orva:0123456789abcdef0123456789abcdef",
                             "+include /etc/other"}) {
        write(std::string("bob:Orva:0123456789abcdef0123456789abcdef\r\n") + line + "\n");
        EXPECT_NE(fault().find("line 2 of the password file"), std::string::npos) << line << ": " << fault();
    }
    write("bob:Orva:0123456789ABCDEF0123456789abcdef\r\n\nx:Other:0123456789abcdef0123456789abcdef\n");
    EXPECT_EQ(fault(), "");
    fs::remove(file_);
    fs::create_directories(file_);
    EXPECT_NE(fault().find("cannot be read"), std::string::npos) << fault();
}

TEST_F(SiteAccess, AllowedHostsAreNamesOrAddressesAndAnythingElseIsRefused) {
    EXPECT_EQ(nox::parse_allowed_hosts(" Orva-PC , 192.168.1.20,[fe80::1],studio.example.com"),
              (std::vector<std::string>{"orva-pc", "192.168.1.20", "[fe80::1]", "studio.example.com"}));
    const std::vector<std::string> hostile_values = {
        "*",         "*.example.com", "evil.example/x", "a b",  "a\r\nX-Injected: 1",
        "",          "a,,b",          "a,",             "-a.example", "a-.example",
        std::string(64, 'a') + ".example", "1.2.3.999", "[zz::1]", "evil.example:8080", "fe80::1",
        "a..b",      "caf\xc3\xa9.example"};
    for (const auto& hostile : hostile_values) {
        try {
            nox::parse_allowed_hosts(hostile);
            ADD_FAILURE() << "accepted " << hostile;
        } catch (const nox::site_settings_error& e) {
            EXPECT_EQ(std::string(e.what()).rfind("ORVA_ALLOWED_HOSTS: \"", 0), 0u) << e.what();
            EXPECT_EQ(std::string(e.what()).find('\r'), std::string::npos);
        }
    }
}

TEST_F(SiteAccess, BearerTokensMatchOnlyWhole) {
    EXPECT_TRUE(nox::bearer_token_matches("Bearer s3cret-token", "s3cret-token"));
    EXPECT_TRUE(nox::bearer_token_matches("bearer s3cret-token ", "s3cret-token"));
    for (const char* wrong : {"Bearer s3cret-toke", "Bearer s3cret-tokenn", "Bearer ", "Basic s3cret-token",
                              "s3cret-token", "Bearers3cret-token"})
        EXPECT_FALSE(nox::bearer_token_matches(wrong, "s3cret-token")) << wrong;
    EXPECT_FALSE(nox::bearer_token_matches(nullptr, "s3cret-token"));
    EXPECT_FALSE(nox::bearer_token_matches("Bearer ", ""));
    EXPECT_TRUE(nox::same_secret("abc", "abc"));
    EXPECT_FALSE(nox::same_secret(std::string_view("abc\0", 4), "abc"));
    EXPECT_FALSE(nox::same_secret("", "abc"));
}

TEST_F(SiteAccess, SettingsComeFromTheEnvironmentAndBadOnesStopTheStart) {
    auto settings = nox::site_settings_from_environment(folder_.string());
    EXPECT_EQ(settings.password_file, file_);
    EXPECT_TRUE(settings.metrics_token.empty());
    EXPECT_TRUE(settings.tls_certificate.empty());

    ::setenv("ORVA_ALLOWED_HOSTS", "studio.example", 1);
    ::setenv("ORVA_METRICS_TOKEN", "abc.DEF-123", 1);
    settings = nox::site_settings_from_environment(folder_.string());
    EXPECT_EQ(settings.allowed_hosts, std::vector<std::string>{"studio.example"});
    EXPECT_EQ(settings.metrics_token, "abc.DEF-123");

    ::setenv("ORVA_METRICS_TOKEN", "two words", 1);
    EXPECT_THROW(nox::site_settings_from_environment(folder_.string()), nox::site_settings_error);
    ::unsetenv("ORVA_METRICS_TOKEN");
    ::setenv("ORVA_ALLOWED_HOSTS", "*", 1);
    EXPECT_THROW(nox::site_settings_from_environment(folder_.string()), nox::site_settings_error);
}

TEST_F(SiteAccess, OnlyAnOpeningListenAddressNeedsThePasswordFile) {
    nox::site_settings settings;
    settings.password_file = file_;
    EXPECT_NO_THROW(nox::check_site_settings(settings, "127.0.0.1"));
    try {
        nox::check_site_settings(settings, "0.0.0.0");
        ADD_FAILURE() << "opened without a password file";
    } catch (const nox::site_settings_error& e) {
        EXPECT_NE(std::string(e.what()).find("opens the backend to other hosts"), std::string::npos) << e.what();
    }
    ASSERT_TRUE(nox::store_password(file_, "alice", "pw"));
    EXPECT_NO_THROW(nox::check_site_settings(settings, "0.0.0.0"));
    settings.tls_certificate = (folder_ / "missing.pem").string();
    EXPECT_THROW(nox::check_site_settings(settings, "127.0.0.1"), nox::site_settings_error);
}

TEST_F(SiteAccess, HostAndOriginChecksTakeTheAddedNamesAndTheSchemeOfTheServer) {
    nox::origin_policy policy{"0.0.0.0", 8080};
    policy.hosts = {"studio.example", "10.99.0.1", "[fe80::1]"};
    EXPECT_TRUE(nox::allowed_host("Studio.Example:8080", policy));
    EXPECT_TRUE(nox::allowed_host("10.99.0.1:8080", policy));
    EXPECT_TRUE(nox::allowed_host("[fe80::1]:8080", policy));
    EXPECT_FALSE(nox::allowed_host("studio.example:80", policy));
    EXPECT_FALSE(nox::allowed_host("studio.example", policy));
    EXPECT_FALSE(nox::allowed_host("attacker.example:8080", policy));
    EXPECT_TRUE(nox::allowed_origin("http://studio.example:8080", policy));
    EXPECT_FALSE(nox::allowed_origin("https://studio.example:8080", policy));
    policy.tls = true;
    EXPECT_TRUE(nox::allowed_origin("https://studio.example:8080", policy));
    EXPECT_FALSE(nox::allowed_origin("http://studio.example:8080", policy));
}

TEST_F(SiteAccess, TheMachineIsKnownByItsNameAndItsAddresses) {
    const auto names = nox::machine_host_names();
    char host[256] = {};
    ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
    std::string lower = host;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_NE(std::find(names.begin(), names.end(), lower), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "127.0.0.1"), names.end());
}

}  // namespace
