// Test bed for request handlers: a project store in a temporary folder, a device registry,
// a request engine whose transactor runs (no processing threads: the test thread
// dispatches), a notifier that records broadcasts, and the log redirected to the folder.
//
// `run` dispatches one request on the test thread and then waits until the transactor
// has applied every write that the handler enqueued.
#pragma once

#include "backend/model/device_registry.h"
#include "backend/requests/request_engine.h"
#include "common/log/log.h"
#include "tests/fakes/recording_notifier.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

namespace handlers_test {

using namespace std::chrono_literals;

using nox::testing::recording_notifier;

class handler_fixture : public ::testing::Test {
protected:
    handler_fixture() {
        folder_ = std::filesystem::temp_directory_path() /
                  ("orva-handlers-" + std::to_string(::getpid()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(folder_);
        nox::log::instance().set_log_path((folder_ / "orva.log").string());
        store_.register_default_collections();
        store_.set_paths((folder_ / "configuration_orva.xml").string(), (folder_ / "template.xml").string());
        store_.set_broadcast([this](const std::string& e) { notifier_.broadcast(e); });
        store_.set_rebuild_devices([this](bool keep) { registry_.rebuild_devices(keep); });
        engine_.start(workers_);
    }
    ~handler_fixture() override {
        engine_.close();
        for (auto& t : workers_) t.join();
        std::error_code ec;
        std::filesystem::remove_all(folder_, ec);
    }

    nox::model_collection& c(const std::string& name) { return store_.collection(name); }
    nox::model frame(int32_t id) { return c("frames").get_locked(id); }
    nox::model channel(int32_t id) { return c("channels").get_locked(id); }

    // Waits until every write enqueued so far has been committed.
    void flush() {
        const std::string mark = std::to_string(++flushes_);
        nox::model settings = store_.get_settings();
        nox::model change(settings.id());
        change.set("flush_mark", mark);
        engine_.enqueue_write("settings", change);
        ASSERT_TRUE(notifier_.wait_flushed(mark));
    }

    // Dispatches a request built from `attributes` and returns it as the handler left it.
    nox::model run(const std::map<std::string, std::string>& attributes) {
        nox::model request(1000 + ++requests_);
        request.set("status", "wait");
        request.set("__type__", "request");
        for (const auto& [k, v] : attributes) request.set(k, v);
        engine_.dispatch(request);
        flush();
        return request;
    }

    // A frame of type `type` and model `model_code` with four channels; returns its id.
    int32_t add_frame(const std::string& type = "mira", const std::string& model_code = "28",
                      const std::string& device_id = "") {
        nox::model f;
        f.set("frame_type", type);
        f.set("model", model_code);
        if (!device_id.empty()) f.set("device_id", device_id);
        const int32_t id = c("frames").add_locked(f);
        std::string ids;
        for (int k = 0; k < 4; ++k) {
            nox::model ch;
            ch.set("frame_id", std::to_string(id));
            ch.set("frame_type", type);
            if (!device_id.empty()) ch.set("device_id", device_id);
            ids += (k ? " " : "") + std::to_string(c("channels").add_locked(ch));
        }
        nox::model change(id);
        change.set("channels", ids);
        c("frames").update(change);
        return id;
    }
    std::vector<int32_t> channels_of(int32_t frame_id) { return nox::channel_ids_of(frame(frame_id)); }
    // A request naming the frame and its channels, as a download or upload carries them.
    nox::model frame_request(int32_t frame_id) {
        std::string ids;
        for (auto ch : channels_of(frame_id)) ids += (ids.empty() ? "" : " ") + std::to_string(ch);
        nox::model request(1);
        request.set("frame_id", std::to_string(frame_id));
        request.set("channels", ids);
        return request;
    }

    std::string log_text() {
        std::ifstream in(folder_ / "orva.log");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::filesystem::path folder_;
    nox::project_store store_;
    recording_notifier notifier_;
    nox::device_registry registry_{store_};
    nox::request_engine engine_{store_, notifier_, [] {
                                    nox::request_engine_options o;
                                    o.processing_threads = 0;
                                    o.autosave_interval = std::chrono::hours(1);
                                    return o;
                                }()};
    std::vector<std::thread> workers_;
    int flushes_ = 0;
    int requests_ = 0;
};

}  // namespace handlers_test
