#include "backend/api/rest_api.h"
#include "backend/requests/request_check.h"

#include <boost/property_tree/json_parser.hpp>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace pt = boost::property_tree;

class RestApi : public ::testing::Test {
protected:
    RestApi() {
        store_.register_default_collections();
        std::filesystem::create_directories(examples_);
        std::ofstream(examples_ / "example3.xml") << "<configuration><zones><zone><id>1</id></zone></zones></configuration>";
        // Requests are accepted for methods the backend can carry out; the engine is not
        // started, so these handlers never run.
        for (const char* method : {"refresh", "import_config", "import_tesira", "set_power_status"})
            engine_.methods().set_handler(method, "wait", [](nox::model&, nox::request_engine&) {});
        engine_.methods().set_handler("sync", "start", [](nox::model&, nox::request_engine&) {});
    }
    ~RestApi() override { std::filesystem::remove_all(examples_); }

    nox::http_reply call(const std::string& method, const std::string& target,
                         const std::string& body = {}) {
        nox::http_request r;
        r.method = method;
        size_t q = target.find('?');
        r.uri = target.substr(0, q);
        if (q != std::string::npos) r.query = target.substr(q + 1);
        r.read_body = [body] { return body; };
        return api_.handle(r);
    }
    static std::string body_of(const nox::http_reply& reply) {
        size_t end = reply.raw.find("\r\n\r\n");
        return end == std::string::npos ? "" : reply.raw.substr(end + 4);
    }
    static int status_of(const nox::http_reply& reply) {
        return reply.raw.size() > 12 ? std::stoi(reply.raw.substr(9, 3)) : 0;
    }
    static pt::ptree json_of(const nox::http_reply& reply) {
        std::istringstream in(body_of(reply));
        pt::ptree tree;
        pt::read_json(in, tree);
        return tree;
    }
    static std::vector<std::string> ids_of(const nox::http_reply& reply) {
        std::vector<std::string> ids;
        for (const auto& [k, m] : json_of(reply)) ids.push_back(m.get<std::string>("id"));
        return ids;
    }
    int add(const std::string& collection, std::map<std::string, std::string> attributes) {
        nox::model m;
        for (auto& [k, v] : attributes) m.set(k, v);
        return store_.collection(collection).add_locked(m);
    }

    struct quiet_notifier : nox::change_notifier {
        void broadcast(const std::string& t) override { sent.push_back(t); }
        std::string build_notification(const std::string&, const nox::model&,
                                       const std::vector<std::string>&) override { return {}; }
        std::vector<std::string> sent;
    };

    std::filesystem::path examples_ =
        std::filesystem::temp_directory_path() / ("orva-examples-" + std::to_string(::getpid()));
    nox::project_store store_;
    nox::websocket_hub hub_;
    nox::notifier notifier_{hub_};
    nox::request_engine engine_{store_, notifier_};
    nox::rest_api api_{store_, engine_, notifier_, {"1.3.3.10303003", examples_.string()}};
};

TEST_F(RestApi, AnswersAreRawHttp10Forms) {
    auto reply = call("GET", "/api/version/");
    EXPECT_TRUE(reply.handled);
    EXPECT_EQ(reply.raw,
              "HTTP/1.0 200 OK\r\nContent-Length: 33\r\nContent-Type: application/json\r\n\r\n"
              "{\"version_str\": \"1.3.3.10303003\"}");
    EXPECT_EQ(call("PUT", "/frames/1", "{}").raw,
              "HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\nContent-Type: application/json\r\n\r\n");
    EXPECT_EQ(call("GET", "/api/job/register/").raw,
              "HTTP/1.0 400 Bad Request\r\nContent-Length: 17\r\nContent-Type: application/json\r\n\r\n"
              "only POST allowed");
}

TEST_F(RestApi, PrefixRoutesMatchLongerUrisButNotShorterOnes) {
    EXPECT_EQ(body_of(call("GET", "/api/version/x")), "{\"version_str\": \"1.3.3.10303003\"}");
    EXPECT_FALSE(call("GET", "/api/version").handled);  // falls to the static files
    EXPECT_EQ(body_of(call("GET", "/api/project_status/anything")), "{\"project_dirty\": \"false\"}");
    store_.set_project_dirty(true);
    EXPECT_EQ(body_of(call("POST", "/api/project_status")), "{\"project_dirty\": \"true\"}");
}

TEST_F(RestApi, UnclaimedUrisAreLeftToTheStaticFiles) {
    for (const char* uri : {"/", "/index.html", "/js/app.js", "/logins", "/nothing_here",
                            "/favicon.ico", "/model", "/9zones", "/%2e%2e/etc/passwd"})
        EXPECT_FALSE(call("GET", uri).handled) << uri;
}

TEST_F(RestApi, RequestsRouteListsZeroAsTheWholeList) {
    nox::model r;
    r.set("method", "refresh");
    engine_.post_request(r);
    EXPECT_EQ(ids_of(call("GET", "/requests/0")), (std::vector<std::string>{"1"}));
    EXPECT_EQ(json_of(call("GET", "/requests/1")).get<std::string>("status"), "wait");
    EXPECT_EQ(status_of(call("GET", "/requests/2")), 404);
}

TEST_F(RestApi, PostedRequestIsStoredQueuedAndAnsweredWithItsId) {
    auto reply = call("POST", "/requests", R"({"method":"refresh"})");
    auto r = json_of(reply);
    EXPECT_EQ(r.get<std::string>("id"), "1");
    EXPECT_EQ(r.get<std::string>("status"), "wait");
    EXPECT_EQ(r.get<std::string>("__type__"), "request");
    EXPECT_EQ(engine_.queued_requests(), 1u);
}

TEST_F(RestApi, RequestsTheBackendCouldNeverCarryOutAreRefusedAndNotStored) {
    const std::string long_value(nox::max_request_value + 1, 'x');
    struct {
        std::string body;
        std::string text;
    } cases[] = {
        {R"({"method":"no_such_method"})", "unknown method \"no_such_method\" with status \"wait\""},
        {R"({"method":"refresh","status":"done"})", "unknown method \"refresh\" with status \"done\""},
        {R"({"method":"calibrate","device_id":"x","frame_id":"1","channel_id":"1"})",
         "unknown method \"calibrate\" with status \"wait\""},  // no handler installed
        {R"({"method":"set_power_status","device_id":"0000abcd:00000001"})",
         "request set_power_status lacks \"power_status\""},
        {R"({"method":"import_config"})", "request import_config lacks \"data\""},
        {R"({"method":"import_tesira"})", "request import_tesira lacks \"data\" or \"input_path\""},
        {R"({"method":"sync","status":"start"})", "request sync lacks \"direction\""},
        {R"({"method":"sync","status":"start","direction":"sideways"})", "unknown sync direction \"sideways\""},
        {R"({"method":"refresh","network_interface":")" + long_value + "\"}",
         "the value of \"network_interface\" is longer than 65536 bytes"},
    };
    for (const auto& c : cases) {
        for (const char* route : {"/requests", "/api/job/start/"}) {
            std::string body = c.body;
            if (std::string(route) == "/api/job/start/") body.insert(1, "\"id\":\"7\",");
            auto reply = call("POST", route, body);
            EXPECT_EQ(status_of(reply), 400) << route << " " << c.body.substr(0, 80);
            EXPECT_EQ(body_of(reply), c.text);
        }
    }
    EXPECT_EQ(store_.collection("requests").size_locked(), 0u);
    EXPECT_EQ(engine_.queued_requests(), 0u);
    // The project text of an import is bounded by the body limit only.
    auto import = call("POST", "/requests", R"({"method":"import_config","data":")" + long_value + "\"}");
    EXPECT_EQ(status_of(import), 200);
    EXPECT_EQ(engine_.queued_requests(), 1u);
}

TEST_F(RestApi, BadRequestBodiesChangeNothing) {
    struct { const char* body; const char* text; } cases[] = {
        {R"({"frame_id":"1"})", "request has no method"},
        {"{not json", nullptr},
        {"[1,2,3]", nullptr},
        {"", nullptr},
        {R"({"method":"x","a b":"1"})", nullptr},
        {"{\"method\":\"x\",\"v\":\"\\u0001\"}", nullptr},
        {R"({"method":"x","id":"-4"})", nullptr},
    };
    for (const auto& c : cases) {
        auto reply = call("POST", "/requests", c.body);
        EXPECT_EQ(status_of(reply), 400) << c.body;
        if (c.text) {
            EXPECT_EQ(body_of(reply), c.text);
        }
    }
    EXPECT_EQ(store_.collection("requests").size_locked(), 0u);
    EXPECT_EQ(engine_.queued_requests(), 0u);
}

TEST_F(RestApi, OversizedBodyIsAnswered413) {
    nox::http_request r;
    r.method = "POST";
    r.uri = "/requests";
    r.read_body = []() -> std::string { throw nox::body_too_large(); };
    auto reply = api_.handle(r);
    EXPECT_EQ(reply.raw.substr(0, 29), "HTTP/1.0 413 Payload Too Larg");
}

TEST_F(RestApi, TagFilterNeedsEveryTagAmongTagsOrName) {
    add("frames", {{"name", "hall"}, {"tags", "stage,left"}});
    add("frames", {{"name", "foyer"}, {"tags", "hall stage"}});
    add("frames", {{"name", "hall"}});
    EXPECT_EQ(ids_of(call("GET", "/frames?format=json")), (std::vector<std::string>{"1", "2", "3"}));
    EXPECT_EQ(ids_of(call("GET", "/frames?tags=hall,stage")), (std::vector<std::string>{"1", "2"}));
    EXPECT_EQ(ids_of(call("GET", "/frames?tags=left")), (std::vector<std::string>{"1"}));
    EXPECT_EQ(body_of(call("GET", "/frames?name=x")), "[]");
    EXPECT_EQ(ids_of(call("GET", "/frames?junk&format=json")), (std::vector<std::string>{"1", "2", "3"}));
}

TEST_F(RestApi, PutWithoutIdOrWithAnotherIdChangesNothing) {
    int id = add("frames", {{"name", "A"}});
    auto reply = call("PUT", "/frames/" + std::to_string(id), R"({"name":"B"})");
    EXPECT_EQ(status_of(reply), 400);
    EXPECT_EQ(body_of(reply), "Must provide id of object for put");
    int other = add("frames", {{"name", "C"}});
    EXPECT_EQ(status_of(call("PUT", "/frames/" + std::to_string(id),
                             "{\"id\":\"" + std::to_string(other) + "\",\"name\":\"B\"}")), 400);
    EXPECT_EQ(store_.collection("frames").get_locked(id).get("name"), "A");
    EXPECT_EQ(store_.collection("frames").get_locked(other).get("name"), "C");
}

TEST_F(RestApi, PutMergesCommitsAndPostsDiffsForAssociatedModels) {
    int frame = add("frames", {{"name", "A"}, {"device_id", "0001a2b3:0c0d0e0f"}});
    int channel = add("channels", {{"frame_id", std::to_string(frame)}, {"device_id", "0001a2b3:0c0d0e0f"},
                                   {"frame_type", "mira"}, {"gain", "3.203667"}, {"sensitivity", "0"}});
    int loose = add("channels", {{"name", "x"}});
    auto reply = call("PUT", "/channels/" + std::to_string(channel),
                      "{\"id\":\"" + std::to_string(channel) + "\",\"sensitivity\":\"511\"}");
    ASSERT_EQ(status_of(reply), 200);
    EXPECT_EQ(json_of(reply).get<std::string>("gain"), "54.303665");
    EXPECT_EQ(store_.collection("channels").get_locked(channel).get("gain"), "54.303665");
    auto posted = store_.collection("requests").get_all();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].get("method"), "put_diffs");
    EXPECT_EQ(posted[0].get("frame_id"), std::to_string(frame));
    EXPECT_EQ(posted[0].get("channel_id"), std::to_string(channel));
    EXPECT_EQ(posted[0].get("device_id"), "0001a2b3:0c0d0e0f");
    EXPECT_EQ(posted[0].get("sensitivity"), "511");
    EXPECT_EQ(posted[0].get("gain"), "54.303665");
    EXPECT_FALSE(posted[0].has("name"));

    // Not associated: stored, nothing posted.
    call("PUT", "/channels/" + std::to_string(loose), "{\"id\":\"" + std::to_string(loose) + "\",\"name\":\"y\"}");
    EXPECT_EQ(store_.collection("channels").get_locked(loose).get("name"), "y");
    EXPECT_EQ(store_.collection("requests").size_locked(), 1u);
    // A frame PUT names the frame itself.
    call("PUT", "/frames/" + std::to_string(frame), "{\"id\":\"" + std::to_string(frame) + "\",\"name\":\"Z\"}");
    auto last = store_.collection("requests").get_locked(2);
    EXPECT_EQ(last.get("frame_id"), std::to_string(frame));
    EXPECT_FALSE(last.has("channel_id"));
    EXPECT_EQ(last.get("name"), "Z");
}

TEST_F(RestApi, PostOfAFrameWithoutChannelsCreatesAnOfflineFrameOfFourChannels) {
    store_.set_project_dirty(false);
    auto frame = json_of(call("POST", "/frames", R"({"frame_type":"mira"})"));
    EXPECT_EQ(frame.get<std::string>("name"), "unnamed");
    EXPECT_EQ(frame.get<std::string>("channels"), "1 2 3 4");
    auto channels = store_.collection("channels").get_all();
    ASSERT_EQ(channels.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(channels[i].get("name"), std::to_string(i + 1));
        EXPECT_EQ(channels[i].get("frame_id"), frame.get<std::string>("id"));
        EXPECT_EQ(channels[i].get("frame_type"), "mira");
    }
    EXPECT_TRUE(store_.is_project_dirty());
    auto named = json_of(call("POST", "/frames", R"({"name":"Stage","channel_names":"L R"})"));
    EXPECT_EQ(named.get<std::string>("channels"), "5 6 7 8");
    EXPECT_EQ(store_.collection("channels").get_locked(6).get("name"), "R");
    EXPECT_EQ(store_.collection("channels").get_locked(7).get("name"), "3");
    // A refused frame leaves no channels behind.
    EXPECT_EQ(status_of(call("POST", "/frames", R"({"bad key":"1"})")), 400);
    EXPECT_EQ(store_.collection("channels").size_locked(), 8u);
}

TEST_F(RestApi, DeleteOfAFrameRemovesItsChannels) {
    call("POST", "/frames", "{}");
    call("POST", "/frames", "{}");
    auto removed = json_of(call("DELETE", "/frames/1"));
    EXPECT_EQ(removed.get<std::string>("id"), "1");
    EXPECT_FALSE(store_.collection("frames").exists_locked(1));
    EXPECT_EQ(store_.collection("channels").size_locked(), 4u);
    EXPECT_TRUE(store_.collection("channels").find_where("frame_id", "1").empty());
    EXPECT_EQ(status_of(call("DELETE", "/frames/1")), 404);
}

TEST_F(RestApi, ChannelListOfAFrame) {
    call("POST", "/frames", "{}");
    EXPECT_EQ(ids_of(call("GET", "/frames/1/channels")), (std::vector<std::string>{"1", "2", "3", "4"}));
    auto missing = call("GET", "/frames/9/channels");
    EXPECT_EQ(status_of(missing), 404);
    EXPECT_EQ(body_of(missing), "Channel not found");
    EXPECT_EQ(json_of(call("GET", "/frames/1/channels/3")).get<std::string>("id"), "3");
    EXPECT_EQ(status_of(call("POST", "/frames/1/channels", "{}")), 400);
    EXPECT_EQ(store_.collection("frames").size_locked(), 1u);
}

TEST_F(RestApi, IdsOutOfRangeAreNotFound) {
    for (const char* uri : {"/frames/99999999999999999999", "/channels/2147483648", "/zones/4294967297",
                            "/frames/1/channels/99999999999"})
        EXPECT_EQ(status_of(call("GET", uri)), 404) << uri;
    EXPECT_EQ(status_of(call("DELETE", "/frames/1/channels/0")), 404);
}

TEST_F(RestApi, ModelRouteServesOtherCollectionsWithQueryMatching) {
    add("zones", {{"name", "Hall A"}});
    add("zones", {{"name", "Foyer"}});
    add("zones", {{"name", "Bar"}, {"floor", "1"}});
    EXPECT_EQ(ids_of(call("GET", "/zones")), (std::vector<std::string>{"1", "2", "3"}));
    EXPECT_EQ(ids_of(call("GET", "/zones?name=Hall%20A,Bar")), (std::vector<std::string>{"1", "3"}));
    EXPECT_EQ(ids_of(call("GET", "/zones?name=Bar&floor=1")), (std::vector<std::string>{"3"}));
    EXPECT_EQ(ids_of(call("GET", "/zones?name=Bar&floor=2")), (std::vector<std::string>{}));
    EXPECT_EQ(ids_of(call("GET", "/zones?&&=x&name=Foyer")), (std::vector<std::string>{"2"}));
    EXPECT_EQ(json_of(call("GET", "/zones/2")).get<std::string>("name"), "Foyer");
    EXPECT_EQ(json_of(call("GET", "/model zones")).size(), 3u);
    auto unhandled = call("DELETE", "/zones");
    EXPECT_EQ(status_of(unhandled), 500);
    EXPECT_EQ(body_of(unhandled), "unhandled rest request");
    EXPECT_EQ(status_of(call("PUT", "/frames", "{}")), 500);
    auto added = json_of(call("POST", "/zones/1", R"({"name":"New"})"));
    EXPECT_EQ(added.get<std::string>("id"), "4");
}

TEST_F(RestApi, JobRegisterSubscribesAndJobStartQueuesUnderTheSameId) {
    auto job = json_of(call("POST", "/api/job/register/", R"({"method":"refresh"})"));
    EXPECT_EQ(job.get<std::string>("id"), "1");
    EXPECT_FALSE(job.get_child_optional("status"));
    EXPECT_EQ(notifier_.count("requests", 1, "status"), 1);
    EXPECT_EQ(engine_.queued_requests(), 0u);
    auto missing = call("POST", "/api/job/start/", R"({"method":"refresh"})");
    EXPECT_EQ(body_of(missing), "no id on req! post first to /api/job/register");
    auto started = json_of(call("POST", "/api/job/start/", R"({"id":"1","method":"refresh"})"));
    EXPECT_EQ(started.get<std::string>("id"), "1");
    EXPECT_EQ(started.get<std::string>("status"), "wait");
    EXPECT_EQ(engine_.queued_requests(), 1u);
    EXPECT_EQ(status_of(call("GET", "/api/job/start/")), 400);
}

TEST_F(RestApi, SubscribeNeedsIdAndAKnownType) {
    EXPECT_EQ(body_of(call("POST", "/api/subscribe/", R"({"type":"frames"})")), "missing attribute \"id\"");
    EXPECT_EQ(body_of(call("POST", "/api/subscribe/", R"({"id":"1"})")), "missing attribute \"type\"");
    EXPECT_EQ(status_of(call("POST", "/api/subscribe/", R"({"id":"x","type":"frames"})")), 400);
    EXPECT_EQ(status_of(call("POST", "/api/subscribe/", R"({"id":"1","type":"nope"})")), 400);
    EXPECT_EQ(body_of(call("POST", "/api/subscribe/", R"({"id":"1","type":"frames","attr":"name"})")), "{}");
    EXPECT_EQ(notifier_.count("frames", 1, "name"), 1);
    call("POST", "/api/unsubscribe/", R"({"id":"1","type":"frames","attr":"name"})");
    call("POST", "/api/unsubscribe/", R"({"id":"1","type":"frames","attr":"name"})");
    EXPECT_EQ(notifier_.count("frames", 1, "name"), 0);
}

TEST_F(RestApi, ExamplesAreServedAsXml) {
    auto reply = call("GET", "/api/examples/3");
    EXPECT_EQ(status_of(reply), 200);
    EXPECT_NE(reply.raw.find("application/xml"), std::string::npos);
    EXPECT_NE(body_of(reply).find("<zones><zone><id>1</id></zone></zones>"), std::string::npos);
    auto missing = call("GET", "/api/examples/4");
    EXPECT_EQ(status_of(missing), 404);
    EXPECT_EQ(body_of(missing), "");
    EXPECT_EQ(status_of(call("GET", "/api/examples/99999999999999")), 404);
    EXPECT_FALSE(call("GET", "/api/examples/../x").handled);
}

TEST_F(RestApi, ServicesWithoutTheirAreaAnswerEmpty) {
    EXPECT_EQ(body_of(call("GET", "/api/login_devices")), "{}");
    EXPECT_EQ(body_of(call("POST", "/api/login_devices")), "only GET allowed");
    EXPECT_EQ(body_of(call("DELETE", "/api/mira_discovery_settings")), "invalid method");
    EXPECT_EQ(body_of(call("POST", "/api/mira_discovery_settings", R"({"selected_ip":"10.99.0.1"})")), "{}");
    EXPECT_EQ(store_.get_settings().get("selected_interface"), "10.99.0.1");
    auto tesira = call("GET", "/api/export/tesira/");
    EXPECT_NE(tesira.raw.find("application/xml"), std::string::npos);
}

TEST_F(RestApi, HooksOfOtherAreasAreUsed) {
    nox::rest_hooks hooks;
    hooks.login_servers = [] { return std::vector<std::string>{"sys1", "sys2"}; };
    hooks.network_settings = []() -> std::string { throw std::runtime_error("mismatch"); };
    nox::rest_api api(store_, engine_, notifier_, {"r", "/nonexistent"}, hooks);
    nox::http_request r;
    r.method = "GET";
    r.uri = "/api/login_devices";
    r.read_body = [] { return std::string(); };
    EXPECT_NE(api.handle(r).raw.find("{\"server\":\"sys1\",\"server\":\"sys2\"}"), std::string::npos);
    r.uri = "/api/mira_discovery_settings";
    auto failed = api.handle(r);
    EXPECT_NE(failed.raw.find("500 Internal Server Error"), std::string::npos);
    EXPECT_NE(failed.raw.find("ip and network names do not match"), std::string::npos);
}

TEST_F(RestApi, StaticFilesDoNotWaitForTheProjectButEveryRouteDoes) {
    int waits = 0;
    nox::rest_hooks hooks;
    hooks.ready = [&] { ++waits; };
    nox::rest_api api(store_, engine_, notifier_, {"r", examples_.string()}, hooks);
    const auto get = [&](const std::string& uri) {
        nox::http_request r;
        r.method = "GET";
        r.uri = uri;
        r.read_body = [] { return std::string(); };
        return api.handle(r);
    };
    for (const char* uri : {"/", "/index.html", "/js/app.js", "/nothing_here", "/api/version"}) {
        EXPECT_FALSE(get(uri).handled) << uri;
        EXPECT_EQ(waits, 0) << uri;
    }
    int expected = 0;
    for (const char* uri : {"/frames", "/channels/1", "/requests", "/settings", "/zones", "/model zones",
                            "/api/project_status"}) {
        EXPECT_TRUE(get(uri).handled) << uri;
        EXPECT_EQ(waits, ++expected) << uri;
    }
}

TEST(RestFilters, QueryPairsFollowThePattern) {
    std::vector<nox::model> models(3);
    models[0].set("a+b", "1");
    models[1].set("k", "v=w");
    models[2].set("k", "x y");
    EXPECT_EQ(nox::filter_by_query(models, "a+b=1").size(), 1u);
    EXPECT_EQ(nox::filter_by_query(models, "k=v=w").size(), 1u);
    EXPECT_EQ(nox::filter_by_query(models, "k=x+y").size(), 1u);  // form decoding: "+" is a blank
    EXPECT_EQ(nox::filter_by_query(models, "").size(), 3u);
    EXPECT_EQ(nox::filter_by_query(models, "k=%zz").size(), 0u);
}

TEST(RestRoutes, PatternsMatchTheWholePathWithIdsAndAnOptionalRest) {
    nox::route_match m;
    ASSERT_TRUE(nox::match_route("/frames/{id}/channels/{id}", "/frames/3/channels/17", m));
    EXPECT_EQ(m.ids, (std::vector<long long>{3, 17}));
    EXPECT_FALSE(nox::match_route("/frames/{id}/channels/{id}", "/frames/3/channels/17/x", m));
    EXPECT_FALSE(nox::match_route("/frames/{id}", "/frames/", m));
    EXPECT_FALSE(nox::match_route("/frames/{id}", "/frames/x1", m));
    ASSERT_TRUE(nox::match_route("/frames/{id}", "/frames/99999999999", m));
    EXPECT_EQ(m.id(), nox::route_match::out_of_range_id);
    ASSERT_TRUE(nox::match_route("/api/projects/*", "/api/projects/Hall A.xml", m));
    EXPECT_EQ(m.rest, "Hall A.xml");
    EXPECT_TRUE(nox::match_route("/frames*", "/frames", m));
    EXPECT_TRUE(nox::match_route("/frames*", "/framesX/1", m));
    EXPECT_FALSE(nox::match_route("/frames*", "/frame", m));
    EXPECT_FALSE(nox::match_route("/api/projects", "/api/projects/", m));
}

TEST_F(RestApi, MetricsAreAnsweredToGetInThePrometheusTextFormat) {
    nox::rest_hooks hooks;
    hooks.metrics = [] { return std::string("orva_uptime_seconds 5\n"); };
    nox::rest_api api(store_, engine_, notifier_, {"1.3.3.10303003", examples_.string()}, hooks);
    nox::http_request r;
    r.method = "GET";
    r.uri = "/metrics";
    r.read_body = [] { return std::string(); };
    auto reply = api.handle(r);
    EXPECT_EQ(status_of(reply), 200);
    EXPECT_NE(reply.raw.find("\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"), std::string::npos);
    EXPECT_EQ(body_of(reply), "orva_uptime_seconds 5\n");
    r.method = "POST";
    EXPECT_EQ(status_of(api.handle(r)), 400);
    r.method = "GET";
    r.uri = "/metrics/x";
    EXPECT_FALSE(api.handle(r).handled);  // not a route: a static file, if any
}

}  // namespace
