// `nox::rest_api`: the REST routes of the backend (see docs/rest_api.md). Given one HTTP
// request it decides by the URI which resource is meant, reads or changes the store,
// posts requests, and returns the whole raw HTTP/1.0 response, or "not handled" when the
// URI is left to the web server's static files. What an edit means beyond the store write
// (an amplifier update, an offline frame's channels) is decided in backend/requests
// (client_edits.h).
//
// Routes are one table (`routes_`, built in the constructor): path pattern, methods,
// handler, tried in table order (the first pattern that fits answers):
//   /api/project_status*  /api/job/register/*  /api/job/start/*  /api/export/tesira/*
//   /api/login_devices*  /api/mira_discovery_settings*  /api/subscribe/*
//   /api/unsubscribe/*  /api/examples/<n>  /api/version/*  /api/projects[/<file>]
//   /metrics  /frames/<n>/channels/<id>
//   /channels[/<id>]  /frames/<n>/channels  /frames[/<id>]  /requests[/<id>]
//   /impedances[/<id>]  /settings[/<id>]  /<collection>[/<id>][?key=v1,v2&...]
// A pattern is literal text with `{id}` for a run of decimal digits and an optional
// trailing `*` for any rest. A route that names its methods answers any other method
// 400 ("only GET allowed", or "invalid method" when it allows several).
//
// The object and collection routes read JSON bodies with nox::parse_model; bad bodies,
// refused attributes and requests without `method` are answered 400, oversized bodies
// 413, incomplete bodies 400, bodies too slow to arrive 408, and nothing is stored for
// them. The class keeps no state between requests.
//
// Thread safety: `handle` is called by the web server's threads, several at a time; all
// store access goes through the collections' own locks. The route table is fixed after
// construction.
#pragma once

#include "backend/api/notifier.h"
#include "backend/model/project_store.h"
#include "backend/requests/request_engine.h"

#include <climits>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace nox {

// Thrown by a body reader when the body exceeds the size limit.
class body_too_large : public std::runtime_error {
public:
    body_too_large() : std::runtime_error("request body too large") {}
};

// Thrown by a body reader when the body ended before its announced length, or its chunked
// coding is broken (answered 400).
class body_incomplete : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Thrown by a body reader when the body does not arrive in time (answered 408).
class body_timeout : public std::runtime_error {
public:
    body_timeout() : std::runtime_error("request body not received in time") {}
};

struct http_request {
    std::string method;
    std::string uri;                   // the path, URL-decoded, without the query string
    std::optional<std::string> query;  // the raw query string, when the URI had one
    // Reads the whole body (called at most once, only by routes that need it); throws
    // body_too_large, body_incomplete or body_timeout.
    std::function<std::string()> read_body;
};

struct http_reply {
    bool handled = false;  // false: the web server serves the URI as a static file
    std::string raw;       // the whole response when handled
};

// What other areas of the backend provide to the API. Unset members answer with what
// exists without them: an empty document or list.
struct rest_hooks {
    // The Tesira export document (XML) of the project's frames and channels.
    std::function<std::string()> tesira_export;
    // The system names of amplifier hosts that ask for credentials.
    std::function<std::vector<std::string>()> login_servers;
    // Hands the chosen interface to the Mira frames and returns the network-settings
    // document (JSON); throws when the interface cannot be applied.
    std::function<std::string()> network_settings;
    // The metrics in the Prometheus text format (GET /metrics).
    std::function<std::string()> metrics;
    // Blocks (for a bounded time) until the store holds the project the backend started
    // with; every route waits for it before it answers. Static files do not.
    std::function<void()> ready;
};

struct rest_paths {
    std::string revision;         // version-with-revision text for /api/version/
    std::string examples_path;    // folder of example<n>.xml
    std::string projects_folder{};  // the user's saved projects, for /api/projects (none: empty list)
};

// What a route's pattern captured: the numbers of its `{id}` parts in order (an id that
// does not fit 32 bits is `out_of_range_id`), and the text matched by a trailing `*`.
struct route_match {
    std::vector<long long> ids;
    std::string rest;

    static constexpr long long out_of_range_id = LLONG_MAX;
    long long id(size_t i = 0) const { return i < ids.size() ? ids[i] : 0; }
};

// Whether `pattern` fits the whole `path`; fills `match` when it does.
bool match_route(std::string_view pattern, const std::string& path, route_match& match);

class rest_api {
public:
    rest_api(project_store& store, request_engine& engine, notifier& subscriptions,
             rest_paths paths, rest_hooks hooks = {});

    // Answers one request; never throws.
    http_reply handle(const http_request& request);

private:
    // A handler answers with the whole response, or nothing to leave the URI to the static
    // files.
    using route_handler = std::function<std::optional<std::string>(const http_request&, const route_match&)>;
    struct route {
        std::string pattern;
        std::vector<std::string> methods;  // empty: any (the handler decides)
        route_handler handler;
        bool logged = true;  // the request is logged before it is handled
        // The request waits for the project's first load (`rest_hooks::ready`) before it
        // is handled. The route for any collection by name waits for itself once it knows
        // one, so that a static file is not held back.
        bool waits = true;
    };

    std::optional<std::string> dispatch(const http_request& request);
    std::string collection_route(const http_request& request, const std::string& collection,
                                 long long id);
    std::string object_route(const http_request& request, const std::string& collection,
                             long long id);
    std::optional<std::string> model_route(const http_request& request);
    std::string frame_channels_route(const http_request& request, long long frame_id);
    std::string job_register_route(const http_request& request);
    std::string job_start_route(const http_request& request);
    std::string subscription_route(const http_request& request, bool subscribe);
    std::string examples_route(long long number);
    std::string projects_route(const std::string& name);
    std::string discovery_settings_route(const http_request& request);
    std::string login_devices_route();

    project_store& store_;
    request_engine& engine_;
    notifier& subscriptions_;
    const rest_paths paths_;
    const rest_hooks hooks_;
    std::vector<route> routes_;
};

// The tag filter of collection lists: "format=json" is removed from the query, terms
// "key=v1,v2" (exactly one "=") become filter entries; without entries every model is
// answered; otherwise a model is answered when it has `tags` and every value of the
// "tags" entry is among its tags (split at commas and blanks) or is its `name`.
std::vector<model> filter_by_tags(std::vector<model> models, const std::string& query);

// The query filter of the model route: pairs "key=value" found with the pattern
// ([\w+%]+)=([^&]*); each value is split at "," into alternatives (sorted, made unique,
// URL-decoded); a model is answered when each pair's attribute equals an alternative.
std::vector<model> filter_by_query(std::vector<model> models, const std::string& query);

}  // namespace nox
