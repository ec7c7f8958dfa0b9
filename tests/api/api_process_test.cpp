// The REST API and the WebSocket of a real backend process, in a fresh data folder, with
// the project's own HTTP and WebSocket clients (their own frame reader).
#include "tests/support/backend_process.h"
#include "tests/support/digest_auth.h"
#include "tests/support/http_client.h"
#include "tests/support/ws_client.h"

#include <boost/property_tree/json_parser.hpp>

#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <optional>
#include <fstream>
#include <sstream>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using orva_test::http_call;
using orva_test::http_get;
namespace pt = boost::property_tree;

pt::ptree json_of(const std::string& text) {
    std::istringstream in(text);
    pt::ptree tree;
    pt::read_json(in, tree);
    return tree;
}

// Polls GET <target> until `done` holds for the answer (every 20 ms, up to 10 s).
template <typename Predicate>
orva_test::http_answer poll_until(const std::string& target, Predicate done) {
    auto deadline = std::chrono::steady_clock::now() + 10s;
    for (;;) {
        auto answer = http_get(target);
        if (done(answer) || std::chrono::steady_clock::now() > deadline) return answer;
        std::this_thread::sleep_for(20ms);
    }
}

// Reads messages until a change notification arrives; returns its JSON document.
std::optional<std::string> next_notification(orva_test::ws_client& ws) {
    while (auto m = ws.next(5s))
        if (m->payload.rfind("application/json", 0) == 0) return m->payload;
    return std::nullopt;
}

// Connects one more client, so every client receives "new front end connected": a marker
// in the message stream.
void send_marker() { orva_test::ws_client marker; }

// Reads messages until `text` arrives; returns every message before it.
std::vector<orva_test::ws_message> read_until(orva_test::ws_client& ws, const std::string& text) {
    std::vector<orva_test::ws_message> before;
    while (auto m = ws.next(5s)) {
        if (m->payload == text) return before;
        before.push_back(*m);
    }
    ADD_FAILURE() << "\"" << text << "\" never arrived";
    return before;
}

class Backend : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        orva_test::backend_process::options options;
        options.configuration =
            "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<configuration><zones>"
            "<zone><id>1</id><name>Hall</name></zone><zone><id>2</id><name>Bar</name></zone>"
            "</zones></configuration>";
        backend_ = new orva_test::backend_process(options);
        ASSERT_TRUE(backend_->ready()) << backend_->log();
    }
    static void TearDownTestSuite() {
        EXPECT_EQ(backend_->stop(), 0);
        delete backend_;
    }
    static orva_test::backend_process* backend_;
};
orva_test::backend_process* Backend::backend_ = nullptr;

TEST_F(Backend, StartsWithTheRealServerVersionAndTheWorkingCopyLoaded) {
    EXPECT_TRUE(backend_->wait_for_log("started webserver with mongoose version: 1.15"));
    // The load_working_copy request ran: the template became the working copy and the
    // finished request was removed.
    auto requests = poll_until("/requests", [](const auto& a) {
        return a.status == 200 && a.body.find("load_working_copy") == std::string::npos;
    });
    EXPECT_EQ(requests.body.find("load_working_copy"), std::string::npos) << requests.body;
    EXPECT_TRUE(std::filesystem::exists(backend_->data_folder() + "/configuration_orva.xml"));
    EXPECT_EQ(json_of(http_get("/settings/1").body).get<std::string>("id"), "1");
}

TEST_F(Backend, StaticFilesAreServedForUnclaimedUris) {
    auto index = http_get("/index.html");
    EXPECT_EQ(index.status, 200);
    EXPECT_FALSE(index.body.empty());
    EXPECT_EQ(http_get("/").status, 200);
    EXPECT_EQ(http_get("/no_such_file.js").status, 404);
    EXPECT_EQ(http_get("/api/version").status, 404);  // no route: a file that does not exist
    // Nothing outside the document root, no directory listing, no file writes.
    EXPECT_NE(http_get("/../template_configuration_orva.xml").status, 200);
    EXPECT_NE(http_get("/%2e%2e/template_configuration_orva.xml").status, 200);
    EXPECT_NE(http_call("PUT", "/written.txt", "data").status, 200);
    EXPECT_FALSE(std::filesystem::exists(orva_test::backend_process::bin_dir() + "/html/written.txt"));
}

TEST_F(Backend, AnswersAreRawHttp10) {
    auto answer = http_get("/api/version/");
    EXPECT_EQ(answer.raw,
              "HTTP/1.0 200 OK\r\nContent-Length: 33\r\nContent-Type: application/json\r\n\r\n"
              "{\"version_str\": \"1.3.3.10303003\"}");
}

TEST_F(Backend, RequestLifeCycle) {
    // A method without a handler stays "wait".
    auto posted = json_of(http_call("POST", "/requests", R"({"method":"refresh"})").body);
    EXPECT_EQ(posted.get<std::string>("status"), "wait");
    EXPECT_EQ(posted.get<std::string>("__type__"), "request");
    const std::string id = posted.get<std::string>("id");
    EXPECT_EQ(json_of(http_get("/requests/" + id).body).get<std::string>("status"), "wait");

    // A request for a frame that does not exist fails and stays listed.
    auto missing = json_of(http_call("POST", "/requests", R"({"method":"get","frame_id":"99"})").body);
    auto failed = poll_until("/requests/" + missing.get<std::string>("id"), [](const auto& a) {
        return a.body.find("\"fail\"") != std::string::npos;
    });
    EXPECT_EQ(json_of(failed.body).get<std::string>("status"), "fail");

    // A finished request is removed: its id answers 404 after the commit.
    auto load = json_of(http_call("POST", "/requests", R"({"method":"load_working_copy"})").body);
    auto gone = poll_until("/requests/" + load.get<std::string>("id"),
                           [](const auto& a) { return a.status == 404; });
    EXPECT_EQ(gone.status, 404);

    // No method: refused, nothing stored.
    auto before = http_get("/requests").body;
    auto refused = http_call("POST", "/requests", R"({"frame_id":"1"})");
    EXPECT_EQ(refused.status, 400);
    EXPECT_EQ(refused.body, "request has no method");
    EXPECT_EQ(http_get("/requests").body, before);
    EXPECT_TRUE(backend_->wait_for_log("refuse scheduling request (did not have method attribute!"));
}

TEST_F(Backend, WebSocketClientsHearOfNewClientsFirst) {
    orva_test::ws_client a;
    ASSERT_TRUE(a.connected()) << a.handshake_answer();
    auto first = a.next();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->opcode, 1);
    EXPECT_EQ(first->payload, "new front end connected");
    orva_test::ws_client b;
    ASSERT_TRUE(b.connected());
    EXPECT_TRUE(b.wait_for("new front end connected"));
    EXPECT_TRUE(a.wait_for("new front end connected"));
}

TEST_F(Backend, SubscribedChangesAreNotifiedAndUnsubscribedOnesAreNot) {
    orva_test::ws_client ws;
    ASSERT_TRUE(ws.wait_for("new front end connected"));
    auto frame = json_of(http_call("POST", "/frames", R"({"name":"Stage"})").body);
    const std::string id = frame.get<std::string>("id");
    const std::string first_channel = frame.get<std::string>("channels").substr(0, frame.get<std::string>("channels").find(' '));
    ASSERT_EQ(http_call("POST", "/api/subscribe/", "{\"id\":\"" + id + "\",\"type\":\"frames\"}").body, "{}");
    ASSERT_EQ(http_call("PUT", "/frames/" + id, "{\"id\":\"" + id + "\",\"name\":\"Hall\",\"tags\":\"x\"}").status, 200);

    auto notification = next_notification(ws);
    ASSERT_TRUE(notification);
    auto events = json_of(notification->substr(16)).get_child("events");
    ASSERT_EQ(events.size(), 1u);
    const auto& event = events.front().second;
    EXPECT_EQ(event.get<std::string>("path.type"), "frames");
    EXPECT_EQ(event.get<std::string>("path.id"), id);
    EXPECT_FALSE(event.get_child_optional("path.attr"));
    EXPECT_EQ(event.get<std::string>("obj.id"), id);
    EXPECT_EQ(event.get<std::string>("obj.name"), "Hall");
    EXPECT_EQ(event.get<std::string>("obj.tags"), "x");
    http_call("POST", "/api/unsubscribe/", "{\"id\":\"" + id + "\",\"type\":\"frames\"}");

    // Attribute subscription of a channel, then unsubscribed: no further event.
    const std::string subscription = "{\"id\":\"" + first_channel + "\",\"type\":\"channels\",\"attr\":\"name\"}";
    http_call("POST", "/api/subscribe/", subscription);
    http_call("PUT", "/channels/" + first_channel, "{\"id\":\"" + first_channel + "\",\"name\":\"Left\"}");
    auto attr_event = next_notification(ws);
    ASSERT_TRUE(attr_event);
    EXPECT_NE(attr_event->find("\"attr\":\"name\""), std::string::npos);
    EXPECT_NE(attr_event->find("\"name\":\"Left\""), std::string::npos);
    EXPECT_TRUE(backend_->wait_for_log("SUBSCRIBED AT: channels id: " + first_channel + " attr: name COUNT: 1"));

    http_call("POST", "/api/unsubscribe/", subscription);
    EXPECT_TRUE(backend_->wait_for_log("UNSUBSCRIBED AT: channels id: " + first_channel + " attr: name COUNT: 0"));
    http_call("PUT", "/channels/" + first_channel, "{\"id\":\"" + first_channel + "\",\"name\":\"Right\"}");
    send_marker();
    for (const auto& m : read_until(ws, "new front end connected"))
        EXPECT_EQ(m.payload.find("application/json"), std::string::npos) << m.payload;
}

TEST_F(Backend, RequestStatusSubscriptionCarriesTheWholeRequest) {
    orva_test::ws_client ws;
    ASSERT_TRUE(ws.wait_for("new front end connected"));
    auto job = json_of(http_call("POST", "/api/job/register/", R"({"method":"load_working_copy"})").body);
    const std::string id = job.get<std::string>("id");
    http_call("POST", "/api/job/start/", "{\"id\":\"" + id + "\",\"method\":\"load_working_copy\"}");
    bool seen = false;
    while (auto m = ws.next(5s)) {
        if (m->payload.rfind("application/json", 0) != 0) continue;
        auto event = json_of(m->payload.substr(16)).get_child("events").front().second;
        if (event.get<std::string>("path.id") != id) continue;
        EXPECT_EQ(event.get<std::string>("path.attr"), "status");
        EXPECT_EQ(event.get<std::string>("obj.status"), "done");
        EXPECT_EQ(event.get<std::string>("obj.method"), "load_working_copy");
        seen = true;
        break;
    }
    EXPECT_TRUE(seen);
    EXPECT_TRUE(ws.wait_for("sigupdate"));
}

TEST_F(Backend, FrameLengthFormsFollowThePayloadSize) {
    const std::string id = "1";
    http_call("POST", "/api/subscribe/", "{\"id\":\"" + id + "\",\"type\":\"zones\",\"attr\":\"name\"}");
    orva_test::ws_client ws;
    ASSERT_TRUE(ws.wait_for("new front end connected"));
    auto notification_for = [&](const std::string& value) {
        return "application/json{\"events\":[{\"path\":{\"type\":\"zones\",\"id\":\"" + id +
               "\",\"attr\":\"name\"},\"obj\":{\"name\":\"" + value + "\",\"id\":\"" + id + "\"}}]}\n";
    };
    const size_t overhead = notification_for("").size();
    struct { size_t size; int form; } cases[] = {{125, 7}, {126, 16}, {65535, 16}, {65536, 64}, {200000, 64}};
    for (const auto& c : cases) {
        std::string value(c.size - overhead, 'v');
        value[0] = static_cast<char>('a' + c.form % 26);  // every value differs from the last
        ASSERT_EQ(http_call("PUT", "/zones/" + id, "{\"id\":\"" + id + "\",\"name\":\"" + value + "\"}").status, 200);
        std::optional<orva_test::ws_message> m;
        while ((m = ws.next()) && m->payload.rfind("application/json", 0) != 0) {
        }
        ASSERT_TRUE(m);
        EXPECT_EQ(m->payload.size(), c.size);
        EXPECT_EQ(m->payload, notification_for(value));
        EXPECT_EQ(m->length_form, c.form) << c.size;
    }
}

TEST_F(Backend, CrossSiteRequestsAreRefusedAndChangeNothing) {
    const auto frames_before = http_get("/frames").body;
    orva_test::http_options foreign_origin;
    foreign_origin.headers["Origin"] = "http://evil.example";
    auto get = http_get("/frames", foreign_origin);
    EXPECT_EQ(get.status, 403);
    EXPECT_EQ(http_call("POST", "/frames", R"({"name":"evil"})", foreign_origin).status, 403);
    EXPECT_EQ(http_call("POST", "/requests", R"({"method":"set_power_status"})", foreign_origin).status, 403);
    orva_test::http_options rebound;
    rebound.headers["Host"] = "evil.example:8080";
    EXPECT_EQ(http_call("POST", "/frames", R"({"name":"evil"})", rebound).status, 403);
    EXPECT_EQ(http_get("/index.html", rebound).status, 403);
    EXPECT_EQ(http_get("/frames").body, frames_before);

    orva_test::ws_client::options ws_options;
    ws_options.headers["Origin"] = "http://evil.example";
    orva_test::ws_client ws(ws_options);
    EXPECT_EQ(ws.status(), 403);

    orva_test::http_options own;
    own.headers["Origin"] = "http://127.0.0.1:8080";
    EXPECT_EQ(http_get("/frames", own).status, 200);
    orva_test::http_options no_host;
    no_host.send_host = false;
    EXPECT_EQ(http_get("/frames", no_host).status, 200);
    ws_options.headers["Origin"] = "http://localhost:8080";
    orva_test::ws_client own_ws(ws_options);
    EXPECT_EQ(own_ws.status(), 101);
}

TEST_F(Backend, HostileBodiesGetFourHundredsAndTheBackendKeepsServing) {
    const std::string frames_before = http_get("/frames").body;
    const std::vector<std::string> bodies = {
        "", "not json", "[1,2,3]", "\"text\"", "{\"a\":", std::string(300000, '['),
        "{\"a\":" + std::string(300000, '[') + "}", R"({"id":"-5"})", R"({"id":"99999999999"})",
        R"({"id":"1","a b":"x"})", "{\"id\":\"1\",\"v\":\"\\u0000\"}", std::string("{\"k\":\"\xff\xfe\"}"),
        R"({"nested":{"a":"b"}})", "{\"id\":\"1\",\"name\":\"" + std::string(100000, 'x') + "\""};
    const std::vector<std::pair<std::string, std::string>> routes = {
        {"POST", "/requests"}, {"POST", "/frames"}, {"PUT", "/frames/1"}, {"PUT", "/channels/1"},
        {"POST", "/zones"}, {"POST", "/zones/1"}, {"PUT", "/zones/1"}, {"POST", "/api/subscribe/"},
        {"POST", "/api/unsubscribe/"}, {"POST", "/api/job/register/"}, {"POST", "/api/job/start/"},
        {"POST", "/api/mira_discovery_settings"}, {"POST", "/nocollection"},
        {"DELETE", "/frames/-1"}, {"GET", "/frames/99999999999999999999999"},
        {"PUT", "/requests/2147483648"}, {"GET", "/zones?name=%zz%00,,%%"},
        {"GET", "/frames?tags=%00&&&==="}, {"POST", "/model%20zones/%ff"}};
    for (const auto& [method, target] : routes) {
        for (const auto& body : bodies) {
            auto answer = http_call(method, target, body);
            const bool specified_500 = answer.status == 500 &&
                                       (answer.body == "unhandled rest request" || answer.body == "unhandled http request");
            EXPECT_TRUE((answer.status >= 400 && answer.status < 500) || answer.status == 200 || specified_500)
                << method << " " << target << " " << body.substr(0, 40) << " -> " << answer.status << " " << answer.body.substr(0, 80);
        }
    }
    EXPECT_EQ(http_get("/api/version/").status, 200);
    EXPECT_EQ(http_get("/frames").body, frames_before);
}

TEST_F(Backend, OversizedBodyIsRefusedWith413) {
    std::string huge(65 * 1024 * 1024, ' ');
    huge[0] = '{';
    huge.back() = '}';
    orva_test::http_options slow;
    slow.timeout = 60s;
    auto answer = http_call("POST", "/requests", huge, slow);
    EXPECT_EQ(answer.status, 413);
    // A body of a whole project fits.
    std::string project = "{\"method\":\"load_working_copy\",\"data\":\"" + std::string(8 * 1024 * 1024, 'p') + "\"}";
    EXPECT_EQ(http_call("POST", "/requests", project, slow).status, 200);
    EXPECT_EQ(http_get("/api/version/").status, 200);
}

TEST(BackendLifecycle, AClientThatStopsReadingDoesNotStallTheOthersAndIsDropped) {
    // A backend of its own: no other client may end its sender loop meanwhile.
    orva_test::backend_process::options options;
    options.configuration = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<configuration><zones>"
                            "<zone><id>2</id><name>Bar</name></zone></zones></configuration>";
    orva_test::backend_process backend(options);
    ASSERT_TRUE(backend.ready()) << backend.log();
    const std::string id = "2";
    http_call("POST", "/api/subscribe/", "{\"id\":\"" + id + "\",\"type\":\"zones\",\"attr\":\"name\"}");
    orva_test::ws_client::options stalled_options;
    stalled_options.receive_buffer = 4096;
    orva_test::ws_client stalled(stalled_options);  // never reads
    ASSERT_TRUE(stalled.connected());
    orva_test::ws_client reader;
    ASSERT_TRUE(reader.wait_for("new front end connected"));

    // 200 notifications of 50 KB each: far more than the stalled client's socket buffers.
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 200; ++i) {
        std::string value(50000, 'a' + i % 26);
        value += std::to_string(i);
        ASSERT_EQ(http_call("PUT", "/zones/" + id, "{\"id\":\"" + id + "\",\"name\":\"" + value + "\"}").status, 200);
        auto m = next_notification(reader);
        ASSERT_TRUE(m) << "notification " << i << " did not arrive";
        EXPECT_NE(m->find(value), std::string::npos);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
    // The stalled client's blocked write times out and the backend drops it (the reader is
    // still served, so the sender loop that ends is the stalled one's).
    EXPECT_TRUE(backend.wait_for_log("exiting websocket handling for mg thread", 30s));
    send_marker();
    EXPECT_TRUE(reader.wait_for("new front end connected"));
    EXPECT_EQ(http_get("/api/version/").status, 200);
}

TEST(BackendLifecycle, ShutdownTellsEveryClientAndSaves) {
    orva_test::backend_process backend;
    ASSERT_TRUE(backend.ready()) << backend.log();
    orva_test::ws_client a, b;
    ASSERT_TRUE(a.wait_for("new front end connected"));
    ASSERT_TRUE(b.wait_for("new front end connected"));
    http_call("POST", "/frames", R"({"name":"kept"})");
    // Clients read as a browser does, while the backend stops.
    auto heard_a = std::async(std::launch::async, [&] { return a.wait_for("shutting_down", 20s); });
    auto heard_b = std::async(std::launch::async, [&] { return b.wait_for("shutting_down", 20s); });
    EXPECT_EQ(backend.stop(), 0);
    EXPECT_TRUE(heard_a.get());
    EXPECT_TRUE(heard_b.get());
    const std::string log = backend.log();
    for (const char* line : {"Waiting for threads to finish...", "Clearing thread pool...",
                             "Stopping web server...", "Saving data model...", "KTHXBAI!",
                             "|> Quit signal received, exiting processing thread...",
                             "|> Quit signal received, exiting transactor..."})
        EXPECT_NE(log.find(line), std::string::npos) << line;
    std::ifstream in(backend.data_folder() + "/configuration_orva.xml");
    std::string saved((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(saved.find("<name>kept</name>"), std::string::npos);
}

TEST(BackendLifecycle, TakenPortEndsTheStartWithStatusOne) {
    // Something else listens on 8080: the backend cannot serve, says so and exits 1.
    int blocker = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(blocker, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(8080);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(blocker, 4), 0);
    orva_test::backend_process::options options;
    options.start_timeout = 5s;
    orva_test::backend_process backend(options);
    EXPECT_FALSE(backend.ready());
    EXPECT_EQ(backend.stop(), 1);
    EXPECT_NE(backend.log().find("could not start the web server on 127.0.0.1:8080"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(backend.data_folder() + "/main.pid"));
    ::close(blocker);
}

TEST(BackendLifecycle, ListenAddressComesFromTheEnvironment) {
    orva_test::backend_process::options options;
    options.environment["ORVA_LISTEN_ADDRESS"] = "10.99.0.1";
    options.address = "10.99.0.1";
    options.users["alice"] = "pw";
    orva_test::backend_process backend(options);
    ASSERT_TRUE(backend.ready()) << backend.log();
    orva_test::http_options there;
    there.host = "10.99.0.1";
    // Not from loopback: a password is asked for. Host 10.99.0.1:8080 is its own.
    EXPECT_EQ(http_get("/api/version/", there).status, 401);
    EXPECT_EQ(orva_test::http_call_with({"alice", "pw"}, "GET", "/api/version/", {}, there).status, 200);
    EXPECT_FALSE(orva_test::port_open("127.0.0.1", 8080));
    EXPECT_EQ(backend.stop(), 0);
}

TEST(BackendLifecycle, UnreadableProjectIsSetAsideAndTheBackendServes) {
    orva_test::backend_process::options options;
    options.configuration = "this is not xml <configuration";
    orva_test::backend_process backend(options);
    ASSERT_TRUE(backend.ready()) << backend.log();
    auto requests = poll_until("/requests", [](const auto& a) {
        return a.status == 200 && a.body.find("load_working_copy") == std::string::npos;
    });
    EXPECT_EQ(requests.body.find("load_working_copy"), std::string::npos) << requests.body;
    EXPECT_TRUE(backend.wait_for_log("Kept the unreadable configuration as"));
    bool aside = false;
    for (const auto& entry : std::filesystem::directory_iterator(backend.data_folder()))
        aside |= entry.path().filename().string().find("unreadable") != std::string::npos;
    EXPECT_TRUE(aside);
    EXPECT_EQ(backend.stop(), 0);
}

}  // namespace
