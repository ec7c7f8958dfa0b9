// Load-monitoring requests over REST for the process-level tests: posting a request on
// a channel of the frame under test, following it at /requests/<id> while it runs (its
// progress texts collected), and reading channels and list answers back.
//
// Done requests are removed from /requests, and ids are reused once the collection was
// empty: each request carries a mark of its own (`test_mark`), and a record without it
// counts as the request gone, that is done.
//
// Thread safety: one thread per object.
#pragma once

#include "backend/model/model.h"
#include "backend/requests/model_json.h"
#include "tests/support/http_client.h"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace calibration_rest {

// The models of a JSON list answer.
inline std::vector<nox::model> models_of(const std::string& list) {
    boost::property_tree::ptree tree;
    std::istringstream in(list);
    boost::property_tree::read_json(in, tree);
    std::vector<nox::model> out;
    for (const auto& [key, node] : tree) {
        nox::model m;
        for (const auto& [k, v] : node) m.set(k, v.data());
        if (m.has("id")) m.set_id(static_cast<int32_t>(nox::parse_int(m.at("id"))));
        out.push_back(m);
    }
    return out;
}

struct request_follower {
    explicit request_follower(std::string device) : device_id(std::move(device)) {}

    std::string device_id;
    int32_t frame_id = 0;
    std::vector<int32_t> channels;
    std::set<std::string> progress;  // every progress text seen
    int posted = 0;

    // Posts a request on channel `index` with further JSON members `attributes`; returns
    // it as stored.
    nox::model post(int index, const std::string& attributes) {
        const std::string mark = std::to_string(++posted);
        const std::string body = R"({"device_id":")" + device_id + R"(","frame_id":")" + std::to_string(frame_id) +
                                 R"(","channel_id":")" + std::to_string(channels.at(std::size_t(index))) +
                                 R"(","test_mark":")" + mark + "\"," + attributes + "}";
        const auto answer = orva_test::http_call("POST", "/requests", body);
        EXPECT_EQ(answer.status, 200) << answer.body;
        return nox::parse_model(answer.body);
    }
    // Follows a posted request until it is gone (done) or failed; its last record.
    nox::model follow(nox::model last, std::chrono::seconds limit = std::chrono::seconds(90)) {
        const std::string mark = last.get("test_mark");
        const std::string path = "/requests/" + std::to_string(last.id());
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            const auto answer = orva_test::http_get(path);
            const nox::model now = answer.status == 200 ? nox::parse_model(answer.body) : nox::model();
            if (answer.status == 404 || now.get("test_mark") != mark) {
                last.set("status", "done");
                return last;
            }
            last = now;
            if (last.has("progress")) progress.insert(last.get("progress"));
            if (last.get("status") == "fail") return last;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return last;
    }
    nox::model follow(int index, const std::string& attributes) { return follow(post(index, attributes)); }

    nox::model channel_at(int index) {
        return nox::parse_model(orva_test::http_get("/channels/" + std::to_string(channels.at(std::size_t(index)))).body);
    }
    double stored(int index, const std::string& key) { return std::stod(channel_at(index).get(key, "nan")); }
    // The sweeps stored for channel `index`.
    std::vector<nox::model> sweeps_of(int index) {
        std::vector<nox::model> found;
        for (const auto& m : models_of(orva_test::http_get("/impedances").body))
            if (m.get("channel_id") == std::to_string(channels.at(std::size_t(index)))) found.push_back(m);
        return found;
    }
};

}  // namespace calibration_rest
