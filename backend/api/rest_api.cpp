#include "backend/api/rest_api.h"

#include "backend/api/http_response.h"
#include "backend/model/exceptions.h"
#include "backend/model/project_files.h"
#include "backend/requests/client_edits.h"
#include "backend/requests/model_json.h"
#include "backend/requests/request_check.h"
#include "common/log/log.h"

#include <civetweb.h>

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>

#include <algorithm>
#include <climits>
#include <ctime>
#include <fstream>
#include <sstream>

namespace nox {

namespace {

constexpr long long out_of_range_id = route_match::out_of_range_id;

bool starts_with(const std::string& text, std::string_view prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads a run of decimal digits at `pos`; returns its value (out_of_range_id when it does
// not fit an id) and moves `pos` past it, or -1 when there is no digit at `pos`.
long long read_digits(const std::string& text, size_t& pos) {
    size_t start = pos;
    long long value = 0;
    while (pos < text.size() && is_digit(text[pos])) {
        if (value != out_of_range_id) {
            value = value * 10 + (text[pos] - '0');
            if (value > INT32_MAX) value = out_of_range_id;
        }
        ++pos;
    }
    return pos == start ? -1 : value;
}

// Whole-URI match of prefix + digits + suffix; the number, or -1 when it does not match.
long long match_id(const std::string& uri, std::string_view prefix, std::string_view suffix = {}) {
    if (!starts_with(uri, prefix)) return -1;
    size_t pos = prefix.size();
    long long id = read_digits(uri, pos);
    if (id < 0 || uri.compare(pos, std::string::npos, suffix) != 0) return -1;
    return id;
}

std::vector<std::string> split_any(const std::string& text, std::string_view separators) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t end = text.find_first_of(separators, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return parts;
}

std::string url_decode(const std::string& text) {
    std::string out(text.size() + 1, '\0');
    int length = mg_url_decode(text.c_str(), static_cast<int>(text.size()), out.data(),
                               static_cast<int>(out.size()), 1);
    out.resize(length < 0 ? 0 : static_cast<size_t>(length));
    return out;
}

std::string short_text(const std::string& text) {
    return text.size() > 200 ? text.substr(0, 200) : text;
}

const char* const request_collection = "requests";

}  // namespace

namespace {

using tag_entries = std::vector<std::pair<std::string, std::vector<std::string>>>;

tag_entries parse_tag_filter(const std::string& query) {
    std::string rest = query;
    for (size_t at; (at = rest.find("format=json")) != std::string::npos;)
        rest.erase(at, 11);
    tag_entries entries;
    for (const auto& term : split_any(rest, "&")) {
        if (std::count(term.begin(), term.end(), '=') != 1) continue;
        size_t eq = term.find('=');
        entries.emplace_back(term.substr(0, eq), split_any(term.substr(eq + 1), ","));
    }
    return entries;
}

}  // namespace

std::vector<model> filter_by_tags(std::vector<model> models, const std::string& query) {
    const tag_entries entries = parse_tag_filter(query);
    if (entries.empty()) return models;
    const std::vector<std::string>* wanted = nullptr;
    for (const auto& [key, values] : entries)
        if (key == "tags") wanted = &values;
    std::vector<model> result;
    if (!wanted) return result;
    for (auto& m : models) {
        if (!m.has("tags")) continue;
        std::vector<std::string> tags = split_any(m.at("tags"), ", ");
        tags.push_back(m.get("name"));
        bool all = std::all_of(wanted->begin(), wanted->end(), [&](const std::string& v) {
            return std::find(tags.begin(), tags.end(), v) != tags.end();
        });
        if (all) result.push_back(std::move(m));
    }
    return result;
}

std::vector<model> filter_by_query(std::vector<model> models, const std::string& query) {
    auto word = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || is_digit(c) || c == '_' ||
               c == '+' || c == '%';
    };
    std::vector<std::pair<std::string, std::vector<std::string>>> pairs;
    size_t i = 0;
    while (i < query.size()) {
        size_t j = i;
        while (j < query.size() && word(query[j])) ++j;
        if (j == i) {
            ++i;
            continue;
        }
        if (j == query.size() || query[j] != '=') {
            i = j;  // every match starting inside this run would end at the same place
            continue;
        }
        size_t end = query.find('&', j + 1);
        if (end == std::string::npos) end = query.size();
        std::vector<std::string> alternatives = split_any(query.substr(j + 1, end - j - 1), ",");
        std::sort(alternatives.begin(), alternatives.end());
        alternatives.erase(std::unique(alternatives.begin(), alternatives.end()), alternatives.end());
        for (auto& a : alternatives) a = url_decode(a);
        pairs.emplace_back(query.substr(i, j - i), std::move(alternatives));
        i = end;
    }
    std::vector<model> result;
    for (auto& m : models) {
        bool all = std::all_of(pairs.begin(), pairs.end(), [&](const auto& pair) {
            auto it = m.attributes().find(pair.first);
            return it != m.attributes().end() &&
                   std::find(pair.second.begin(), pair.second.end(), it->second) != pair.second.end();
        });
        if (all) result.push_back(std::move(m));
    }
    return result;
}

bool match_route(std::string_view pattern, const std::string& path, route_match& match) {
    route_match found;
    size_t at = 0;  // position in path
    size_t p = 0;   // position in pattern
    constexpr std::string_view id_part = "{id}";
    while (p < pattern.size()) {
        if (pattern[p] == '*' && p + 1 == pattern.size()) {
            found.rest = path.substr(at);
            match = std::move(found);
            return true;
        }
        if (pattern.compare(p, id_part.size(), id_part) == 0) {
            const long long id = read_digits(path, at);
            if (id < 0) return false;
            found.ids.push_back(id);
            p += id_part.size();
            continue;
        }
        if (at >= path.size() || path[at] != pattern[p]) return false;
        ++at;
        ++p;
    }
    if (at != path.size()) return false;
    match = std::move(found);
    return true;
}

rest_api::rest_api(project_store& store, request_engine& engine, notifier& subscriptions,
                   rest_paths paths, rest_hooks hooks)
    : store_(store), engine_(engine), subscriptions_(subscriptions), paths_(std::move(paths)),
      hooks_(std::move(hooks)) {
    using R = const http_request&;
    using M = const route_match&;
    const std::vector<std::string> any;
    const std::vector<std::string> get = {"GET"};
    const std::vector<std::string> post = {"POST"};
    // Pattern, methods, handler: the first row whose pattern fits the path answers.
    routes_ = {
        {"/api/project_status*", any, [this](R, M) {
             return http::json_ok(std::string("{\"project_dirty\": \"") +
                                  (store_.is_project_dirty() ? "true" : "false") + "\"}");
         }},
        {"/api/job/register/*", post, [this](R r, M) { return job_register_route(r); }},
        {"/api/job/start/*", post, [this](R r, M) { return job_start_route(r); }},
        {"/api/export/tesira/*", any, [this](R, M) {
             return http::xml_ok(hooks_.tesira_export ? hooks_.tesira_export()
                                                      : std::string("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"));
         }},
        {"/api/login_devices*", get, [this](R, M) { return login_devices_route(); }},
        {"/api/mira_discovery_settings*", {"GET", "POST"}, [this](R r, M) { return discovery_settings_route(r); }},
        {"/api/subscribe/*", any, [this](R r, M) { return subscription_route(r, true); }},
        {"/api/unsubscribe/*", any, [this](R r, M) { return subscription_route(r, false); }},
        {"/api/examples/{id}", any, [this](R, M m) { return examples_route(m.id()); }},
        {"/api/version/*", any, [this](R, M) {
             return http::json_ok("{\"version_str\": \"" + paths_.revision + "\"}");
         }, false},
        // Not logged: a monitoring system asks every few seconds.
        {"/metrics", get, [this](R, M) {
             return http::metrics_ok(hooks_.metrics ? hooks_.metrics() : std::string());
         }, false},
        {"/api/projects", get, [this](R, M) { return projects_route({}); }},
        {"/api/projects/*", get, [this](R, M m) { return projects_route(m.rest); }},
        {"/frames/{id}/channels/{id}", any, [this](R r, M m) { return object_route(r, "channels", m.id(1)); }},
        {"/channels/{id}", any, [this](R r, M m) { return collection_route(r, "channels", m.id()); }},
        {"/channels*", any, [this](R r, M) { return collection_route(r, "channels", 0); }},
        {"/frames/{id}/channels", get, [this](R r, M m) { return frame_channels_route(r, m.id()); }},
        {"/frames/{id}", any, [this](R r, M m) { return collection_route(r, "frames", m.id()); }},
        {"/frames*", any, [this](R r, M) { return collection_route(r, "frames", 0); }},
        {"/requests/{id}", any, [this](R r, M m) { return collection_route(r, "requests", m.id()); }},
        {"/requests*", any, [this](R r, M) { return collection_route(r, "requests", 0); }},
        {"/impedances/{id}", any, [this](R r, M m) { return collection_route(r, "impedance_sweeps", m.id()); }},
        {"/impedances*", any, [this](R r, M) { return collection_route(r, "impedance_sweeps", 0); }},
        {"/settings/{id}", any, [this](R r, M m) { return collection_route(r, "settings", m.id()); }},
        {"/settings*", any, [this](R r, M) { return collection_route(r, "settings", 0); }},
        // Any other registered collection by name; logs and waits for itself once it
        // knows one.
        {"/*", any, [this](R r, M) { return model_route(r); }, false, false},
    };
}

http_reply rest_api::handle(const http_request& request) {
    http_reply reply;
    try {
        auto answer = dispatch(request);
        reply.handled = answer.has_value();
        if (answer) reply.raw = std::move(*answer);
    } catch (const body_too_large& e) {
        reply = {true, http::payload_too_large(e.what())};
    } catch (const body_timeout& e) {
        reply = {true, http::request_timeout(e.what())};
    } catch (const body_incomplete& e) {
        reply = {true, http::json_bad_request(e.what())};
    } catch (const request_refused& e) {
        log_line("REST " + request.method + " " + request.uri + " refused: " + e.what());
        reply = {true, http::json_bad_request(e.what())};
    } catch (const json_error& e) {
        reply = {true, http::json_bad_request(short_text(e.what()))};
    } catch (const invalid_attribute& e) {
        reply = {true, http::json_bad_request(short_text(e.what()))};
    } catch (const model_not_found&) {
        reply = {true, http::json_not_found("")};
    } catch (const std::invalid_argument& e) {
        reply = {true, http::json_bad_request(short_text(e.what()))};
    } catch (const std::exception& e) {
        log_line("REST " + request.method + " " + request.uri + " failed: " + e.what());
        reply = {true, http::json_server_error("internal error")};
    }
    return reply;
}

std::optional<std::string> rest_api::dispatch(const http_request& r) {
    route_match match;
    for (const route& candidate : routes_) {
        if (!match_route(candidate.pattern, r.uri, match)) continue;
        if (candidate.waits && hooks_.ready) hooks_.ready();
        if (candidate.logged) log_line(r.method + ": " + r.uri + (r.query ? "?" + *r.query : std::string()));
        if (!candidate.methods.empty() &&
            std::none_of(candidate.methods.begin(), candidate.methods.end(),
                         [&](const std::string& m) { return starts_with(r.method, m); })) {
            return http::json_bad_request(candidate.methods.size() == 1 ? "only " + candidate.methods[0] + " allowed"
                                                                         : std::string("invalid method"));
        }
        return candidate.handler(r, match);
    }
    return std::nullopt;
}

std::string rest_api::job_register_route(const http_request& r) {
    model job = parse_model(r.read_body());
    job.set_id(store_.collection(request_collection).add_locked(job));
    subscriptions_.subscribe(request_collection, job.id(), "status");
    return http::json_ok(to_json(job));
}

std::string rest_api::job_start_route(const http_request& r) {
    model job = parse_model(r.read_body());
    if (job.id() == 0) return http::json_bad_request("no id on req! post first to /api/job/register");
    if (!job.has("method")) {
        // Refused before the registered record is touched.
        log_line("refuse scheduling request (did not have method attribute!");
        return http::json_bad_request("request has no method");
    }
    check_posted_request(job, engine_.methods());
    store_.collection(request_collection).remove_locked(job.id());
    return http::json_ok(to_json(engine_.post_request(job)));
}

std::string rest_api::frame_channels_route(const http_request& r, long long id) {
    model frame;
    try {
        if (id == out_of_range_id) throw model_not_found();
        frame = store_.collection("frames").get_locked(static_cast<int32_t>(id));
    } catch (const model_not_found&) {
        return http::json_not_found("Channel not found");
    }
    std::vector<int32_t> ids;
    for (const auto& part : split_any(frame.get("channels"), " \t")) {
        size_t pos = 0;
        long long channel = read_digits(part, pos);
        if (channel > 0 && channel != out_of_range_id && pos == part.size()) ids.push_back(static_cast<int32_t>(channel));
    }
    auto channels = store_.collection("channels").get_many(ids);
    return http::json_ok(to_json(filter_by_tags(std::move(channels), r.query.value_or(""))));
}

std::string rest_api::collection_route(const http_request& r, const std::string& collection,
                                       long long id) {
    if (id != 0) return object_route(r, collection, id);
    if (starts_with(r.method, "POST")) {
        if (collection != request_collection) return object_route(r, collection, 0);
        model request = parse_model(r.read_body());
        if (request.has("method")) check_posted_request(request, engine_.methods());
        // A whole project text travels in `data` of an import: log the request, not 64 MiB.
        std::string text = to_json(request);
        if (text.size() > 65536)
            text = text.substr(0, 65536) + "... (" + std::to_string(text.size()) + " bytes)";
        log_line(text);
        return http::json_ok(to_json(engine_.post_request(std::move(request))));
    }
    if (starts_with(r.method, "GET")) {
        auto& c = store_.collection(collection);
        if (parse_tag_filter(r.query.value_or("")).empty()) {
            // The common case, the whole collection: written under the shared lock
            // without copying the models.
            std::string list = "[";
            c.for_each([&list](const model& m) {
                if (list.size() > 1) list += ',';
                append_json(list, m);
                return true;
            });
            list += ']';
            return http::json_ok(list);
        }
        return http::json_ok(to_json(filter_by_tags(c.get_all(), r.query.value_or(""))));
    }
    return http::json_server_error("unhandled http request");
}

std::string rest_api::object_route(const http_request& r, const std::string& collection,
                                   long long id) {
    auto& c = store_.collection(collection);
    const bool post = starts_with(r.method, "POST");
    model stored;
    if (id != 0) {
        if (id == out_of_range_id) return http::json_not_found("");
        try {
            stored = c.get_locked(static_cast<int32_t>(id));
        } catch (const model_not_found&) {
            return http::json_not_found("");
        }
    } else if (!post) {
        return http::json_not_found("");  // there is no model 0
    }

    if (starts_with(r.method, "PUT")) {
        model body = parse_model(r.read_body());
        if (!body.has("id")) return http::json_bad_request("Must provide id of object for put");
        if (body.id() != id) return http::json_bad_request("id of object does not match the URL");
        return http::json_ok(to_json(apply_client_edit(engine_, collection, stored, body)));
    }
    if (post) {
        model body = parse_model(r.read_body());
        if (collection == "frames" && body.get("channels").empty())
            return http::json_ok(to_json(create_offline_frame(store_, std::move(body))));
        body.set_id(c.add_locked(body));
        store_.on_collection_changed(collection);
        return http::json_ok(to_json(body));
    }
    if (starts_with(r.method, "DELETE")) {
        if (collection == "frames") {
            if (store_.collection("channels").remove_where("frame_id", std::to_string(stored.id())))
                store_.on_collection_changed("channels");
        }
        c.remove_locked(stored.id());
        store_.on_collection_changed(collection);
        return http::json_ok(to_json(stored));
    }
    return http::json_ok(to_json(stored));
}

std::optional<std::string> rest_api::model_route(const http_request& r) {
    const std::string& uri = r.uri;
    // "/(model )?([A-Za-z_]+)(/.*)*" over the whole URI.
    size_t start = starts_with(uri, "/model ") ? 7 : 1;
    if (uri.empty() || uri[0] != '/') {
        return std::nullopt;
    }
    size_t end = start;
    while (end < uri.size() && ((uri[end] >= 'a' && uri[end] <= 'z') ||
                                (uri[end] >= 'A' && uri[end] <= 'Z') || uri[end] == '_'))
        ++end;
    if (end == start || (end < uri.size() && uri[end] != '/')) {
        return std::nullopt;
    }
    const std::string name = uri.substr(start, end - start);
    model_collection* collection = nullptr;
    try {
        collection = &store_.collection(name);
    } catch (const generic_model_not_found&) {
        return std::nullopt;
    }
    if (hooks_.ready) hooks_.ready();
    log_line(r.method + ": " + uri + (r.query ? "?" + *r.query : std::string()));
    long long id = match_id(uri, "/" + name + "/");
    if (id > 0) return object_route(r, name, id);
    if (starts_with(r.method, "GET")) {
        auto models = collection->get_all();
        if (r.query && starts_with(uri, "/" + name))
            models = filter_by_query(std::move(models), *r.query);
        return http::json_ok(to_json(models));
    }
    return http::json_server_error("unhandled rest request");
}

std::string rest_api::subscription_route(const http_request& r, bool subscribe) {
    model body = parse_model(r.read_body());
    if (!body.has("id")) return http::json_bad_request("missing attribute \"id\"");
    if (!body.has("type")) return http::json_bad_request("missing attribute \"type\"");
    const std::string type = body.at("type");
    try {
        store_.collection(type);
    } catch (const generic_model_not_found&) {
        return http::json_bad_request("unknown type");  // nothing to subscribe to
    }
    if (subscribe) subscriptions_.subscribe(type, body.id(), body.get("attr"));
    else subscriptions_.unsubscribe(type, body.id(), body.get("attr"));
    return http::json_ok("{}");
}

std::string rest_api::examples_route(long long number) {
    if (number == out_of_range_id) return http::json_not_found("");
    namespace pt = boost::property_tree;
    const std::string path =
        paths_.examples_path + "/example" + std::to_string(number) + ".xml";
    std::ifstream in(path, std::ios::binary);
    if (!in) return http::json_not_found("");
    pt::ptree tree;
    try {
        pt::read_xml(in, tree);
    } catch (const pt::xml_parser_error& e) {
        log_line("example " + path + " is not readable: " + e.message());
        return http::json_server_error("example is not readable");
    }
    std::ostringstream out;
    pt::write_xml(out, tree);
    return http::xml_ok(out.str());
}

std::string rest_api::projects_route(const std::string& name) {
    if (!name.empty()) {
        if (!plain_file_name(name)) return http::json_bad_request("not a plain file name");
        auto text = read_saved_project(paths_.projects_folder, name);
        if (!text) return http::json_not_found("");
        return http::xml_ok(*text);
    }
    std::string list = "[";
    for (const auto& p : list_saved_projects(paths_.projects_folder)) {
        if (list.size() > 1) list += ',';
        std::tm utc{};
        ::gmtime_r(&p.modified, &utc);
        char modified[32];
        std::strftime(modified, sizeof modified, "%Y-%m-%dT%H:%M:%SZ", &utc);
        // Fixed member order, so that a reader may rely on it.
        const std::pair<const char*, std::string> members[] = {
            {"filename", p.filename}, {"project", p.project},
            {"size", std::to_string(p.size)}, {"modified", modified}};
        list += '{';
        for (const auto& [key, value] : members) {
            if (list.back() != '{') list += ',';
            append_json_string(list, key);
            list += ':';
            append_json_string(list, value);
        }
        list += '}';
    }
    list += ']';
    return http::json_ok(list);
}

std::string rest_api::discovery_settings_route(const http_request& r) {
    if (starts_with(r.method, "POST")) {
        model body = parse_model(r.read_body());
        if (body.has("selected_ip")) {
            model settings = store_.get_settings();
            settings.set("selected_interface", body.at("selected_ip"));
            store_.put_settings(settings);
        }
    }
    if (!hooks_.network_settings) return http::json_ok("{}");
    std::string document;
    try {
        document = hooks_.network_settings();
    } catch (const std::exception& e) {
        log_line(std::string("applying the network interface failed: ") + e.what());
        return http::json_server_error("ip and network names do not match");
    }
    return http::json_ok(document);
}

std::string rest_api::login_devices_route() {
    std::vector<std::string> servers;
    if (hooks_.login_servers) servers = hooks_.login_servers();
    std::string body = "{";
    for (const auto& server : servers) {
        log_line("Found login server: " + server);
        if (body.size() > 1) body += ',';
        body += "\"server\":";
        append_json_string(body, server);
    }
    body += '}';
    return http::json_ok(body);
}

}  // namespace nox
