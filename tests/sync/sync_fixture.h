// Test bed for synchronisation and monitoring: a project store in a temporary folder, a
// running request engine (processing threads and transactor), a notifier that records
// broadcasts and wakes waiters on every commit, and the log redirected to the folder.
//
// `wait_until` blocks on the notifier's condition variable (woken by every commit that
// changed something) until a predicate over the store holds, with a deadline.
#pragma once

#include "backend/model/exceptions.h"
#include "backend/requests/request_engine.h"
#include "common/log/log.h"
#include "tests/fakes/recording_notifier.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace sync_test {

using namespace std::chrono_literals;

using nox::testing::recording_notifier;

class engine_fixture : public ::testing::Test {
protected:
    engine_fixture() {
        folder_ = std::filesystem::temp_directory_path() /
                  ("orva-sync-" + std::to_string(::getpid()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(folder_);
        std::filesystem::create_directories(folder_);
        nox::log::instance().set_log_path((folder_ / "orva.log").string());
        store_.register_default_collections();
        store_.set_paths((folder_ / "configuration_orva.xml").string(), (folder_ / "template.xml").string());
        store_.set_broadcast([this](const std::string& e) { notifier_.broadcast(e); });
    }
    ~engine_fixture() override {
        stop_engine();
        std::error_code ec;
        std::filesystem::remove_all(folder_, ec);
    }

    void start_engine() { engine_.start(workers_); }
    void stop_engine() {
        engine_.close();
        for (auto& t : workers_)
            if (t.joinable()) t.join();
        workers_.clear();
    }

    nox::model_collection& c(const std::string& name) { return store_.collection(name); }
    nox::model get(const std::string& collection, int32_t id) { return c(collection).get_locked(id); }

    // A frame with four channels; returns the frame id. The channels get `frame_id`,
    // `frame_type`, `name` "Ch<n>" and `frame_name` = the frame's name.
    int32_t add_frame(const std::string& device_id, const std::string& type = "mira",
                      const std::string& name = "Amp") {
        nox::model f;
        f.set("frame_type", type);
        f.set("name", name);
        if (!device_id.empty()) f.set("device_id", device_id);
        const int32_t id = c("frames").add_locked(f);
        std::string ids;
        for (int k = 0; k < 4; ++k) {
            nox::model ch;
            ch.set("frame_id", std::to_string(id));
            ch.set("frame_type", type);
            ch.set("device_id", device_id);
            ch.set("name", "Ch" + std::to_string(k + 1));
            ch.set("frame_name", name);
            const int32_t cid = c("channels").add_locked(ch);
            ids += (ids.empty() ? "" : " ") + std::to_string(cid);
        }
        nox::model change(id);
        change.set("channels", ids);
        c("frames").update(change);
        return id;
    }
    std::vector<int32_t> channels_of(int32_t frame) {
        std::vector<int32_t> ids;
        std::istringstream in(get("frames", frame).get("channels"));
        for (int32_t id; in >> id;) ids.push_back(id);
        return ids;
    }
    void set(const std::string& collection, int32_t id, const std::string& key, const std::string& value) {
        nox::model change(id);
        change.set(key, value);
        c(collection).update(change);
    }

    nox::model post(const std::map<std::string, std::string>& attributes) {
        nox::model r;
        for (const auto& [k, v] : attributes) r.set(k, v);
        return engine_.post_request(r);
    }
    // Waits until the stored request `id` has one of the final statuses, or was removed
    // (a "done" request without transaction id); returns it (empty when removed).
    nox::model wait_final(int32_t id, std::chrono::milliseconds timeout = 10s) {
        nox::model last;
        notifier_.wait_until(
            [&] {
                try {
                    last = get("requests", id);
                } catch (const nox::model_not_found&) {
                    last = nox::model();
                    return true;
                }
                return last.has("status", "done") || last.has("status", "fail");
            },
            timeout);
        return last;
    }
    std::vector<nox::model> requests_where(const std::string& key, const std::string& value) {
        return c("requests").find_where(key, value);
    }

    std::string log_text() {
        std::ifstream in(folder_ / "orva.log");
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    size_t log_count(const std::string& text) {
        const std::string all = log_text();
        size_t n = 0;
        for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++n;
        return n;
    }

    std::filesystem::path folder_;
    nox::project_store store_;
    recording_notifier notifier_;
    nox::request_engine engine_{store_, notifier_};
    std::vector<std::thread> workers_;
};

}  // namespace sync_test
