#include "backend/requests/sync_handlers.h"

#include "backend/model/exceptions.h"
#include "tests/fakes/fake_device.h"
#include "tests/sync/sync_fixture.h"

#include <atomic>
#include <map>
#include <mutex>
#include <set>

namespace {

using namespace sync_test;
using nox::model;

// The sync handlers on a running engine, with scripted `get` and `put` handlers standing
// in for the frame reader and writer: a sub-request applies the frame's scripted changes
// through the transactor and ends "done", or "fail" for a frame listed in `failing`.
class Sync : public engine_fixture {
protected:
    Sync() {
        auto sub = [this](model& r, nox::request_engine& e) {
            const int32_t frame = static_cast<int32_t>(nox::parse_int(r.at("frame_id")));
            {
                std::unique_lock lock(mutex_);
                seen_.push_back(r);
                released_.wait(lock, [&] { return !hold_ || e.closed(); });
            }
            // Looked up, never inserted: several processing threads run this at once.
            if (const auto scripted = changes_.find(frame); scripted != changes_.end())
                for (const auto& [collection, m] : scripted->second) e.enqueue_write(collection, m);
            r.set("status", failing_.count(frame) ? "fail" : "done");
        };
        engine_.methods().set_handler("get", "wait", sub);
        engine_.methods().set_handler("put", "wait", sub);
        engine_.methods().set_handler("get_monitor", "wait", sub);
        options_.lookup_device = [this](const std::string& id) -> std::shared_ptr<nox::amp::device> {
            auto it = devices_.find(id);
            return it == devices_.end() ? nullptr : it->second;
        };
    }
    ~Sync() override {
        release();
        stop_engine();
    }

    void start() {
        service_ = std::make_unique<nox::sync_service>(options_);
        service_->register_handlers(engine_.methods());
        start_engine();
    }
    void release() {
        {
            std::lock_guard lock(mutex_);
            hold_ = false;
        }
        released_.notify_all();
    }
    std::vector<model> seen() {
        std::lock_guard lock(mutex_);
        return seen_;
    }
    model sync(const std::string& direction, std::map<std::string, std::string> extra = {}) {
        extra["method"] = "sync";
        extra["status"] = "start";
        extra["direction"] = direction;
        return wait_final(post(extra).id());
    }
    std::vector<std::string> copies() {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(folder_)) {
            const auto name = e.path().filename().string();
            if (name.rfind(nox::download_copy_prefix, 0) == 0) names.push_back(e.path().string());
        }
        return names;
    }

    nox::sync_options options_;
    std::unique_ptr<nox::sync_service> service_;
    std::map<int32_t, std::vector<std::pair<std::string, model>>> changes_;
    std::set<int32_t> failing_;
    std::map<std::string, std::shared_ptr<nox::amp::device>> devices_;
    std::mutex mutex_;
    std::condition_variable released_;
    bool hold_ = false;
    std::vector<model> seen_;
};

TEST_F(Sync, DownloadWithNothingChangedReportsNoDifferences) {
    add_frame("00000000:00000001");
    start();
    const model r = sync("get");
    EXPECT_EQ(r.get("status"), "done");
    EXPECT_EQ(r.get("any_disconnected"), "false");
    EXPECT_FALSE(r.has("diff_result"));
    EXPECT_EQ(r.get("transaction_id").size(), 36u);
    EXPECT_TRUE(r.has("transaction_time"));
    EXPECT_FALSE(r.has("requeue"));
    ASSERT_TRUE(r.has("current_config"));
    EXPECT_TRUE(std::filesystem::exists(r.at("current_config")));
    EXPECT_EQ(log_count("Making copy of current config before downloading amp"), 1u);
    // The sub-request stays stored with the transaction's id.
    auto subs = requests_where("transaction_id", r.at("transaction_id"));
    EXPECT_EQ(subs.size(), 2u);
}

TEST_F(Sync, DownloadReportsAttenuationBeyondItsTolerance) {
    const int32_t f = add_frame("dev", "tesira", "Stage");
    const auto ch = channels_of(f);
    set("channels", ch[0], "attenuation", "-6");
    set("channels", ch[1], "attenuation", "-6");
    model first(ch[0]);
    first.set("attenuation", "-6.25");
    model second(ch[1]);
    second.set("attenuation", "-6.1");
    changes_[f] = {{"channels", first}, {"channels", second}};
    start();
    const model r = sync("get");
    EXPECT_EQ(r.get("status"), "done");
    EXPECT_EQ(r.get("diff_result"), R"([["dev","0","attenuation","-6","-6.25","Stage","Stage","Ch1","Ch1"] ])");
    EXPECT_EQ(log_count("diff results:"), 1u);
}

TEST_F(Sync, DownloadWithChangedFrameCountSetsEmptyReport) {
    const int32_t f = add_frame("dev");
    model added;
    added.set("name", "New");
    changes_[f] = {{"frames", added}};
    start();
    const model r = sync("get");
    EXPECT_EQ(r.get("status"), "done");
    ASSERT_TRUE(r.has("diff_result"));
    EXPECT_EQ(r.at("diff_result"), "");
}

TEST_F(Sync, ExcludedFramesAndFramesWithoutDeviceGetNoSubRequest) {
    add_frame("a");
    const int32_t excluded = add_frame("b");
    set("frames", excluded, "frame_excluded", "1");
    const int32_t lone = add_frame("");
    set("frames", lone, "__origin__", "tesira_import");
    start();
    const model r = sync("get");
    EXPECT_EQ(r.get("status"), "done");
    ASSERT_EQ(seen().size(), 1u);
    EXPECT_EQ(seen()[0].get("device_id"), "a");
    EXPECT_EQ(seen()[0].get("method"), "get");
    EXPECT_EQ(seen()[0].get("channels"), get("frames", 1).get("channels"));
    EXPECT_EQ(log_count("model id: " + std::to_string(lone) + " has origin:tesira_import but no device-id?"), 1u);
}

TEST_F(Sync, FailedSubRequestMarksDownloadDisconnectedAndUploadFailed) {
    const int32_t f = add_frame("a");
    add_frame("b");
    failing_.insert(f);
    start();
    const model down = sync("get");
    EXPECT_EQ(down.get("status"), "done");
    EXPECT_EQ(down.get("any_disconnected"), "true");
    const model up = sync("put");
    EXPECT_EQ(up.get("status"), "fail");
    const model mon = sync("get_monitor");
    EXPECT_EQ(mon.get("status"), "fail");
}

TEST_F(Sync, SyncOfOneFrameSchedulesOnlyIt) {
    add_frame("a");
    const int32_t f = add_frame("b");
    start();
    EXPECT_EQ(sync("put", {{"frame_id", std::to_string(f)}}).get("status"), "done");
    ASSERT_EQ(seen().size(), 1u);
    EXPECT_EQ(seen()[0].get("device_id"), "b");
}

TEST_F(Sync, UploadSkipsUnreachableAmplifiers) {
    add_frame("a");
    add_frame("b");
    auto silent = std::make_shared<nox::testing::fake_device>();
    silent->is_unreachable = true;
    devices_["a"] = silent;
    devices_["b"] = std::make_shared<nox::testing::fake_device>();
    start();
    EXPECT_EQ(sync("put").get("status"), "done");
    ASSERT_EQ(seen().size(), 1u);
    EXPECT_EQ(seen()[0].get("device_id"), "b");
    // Downloads still ask it.
    EXPECT_EQ(sync("get").get("status"), "done");
    EXPECT_EQ(seen().size(), 3u);
}

TEST_F(Sync, UnknownDirectionFails) {
    start();
    const model r = sync("sideways");
    EXPECT_EQ(r.get("status"), "fail");
    EXPECT_EQ(log_count("unknown sync request: "), 1u);
}

TEST_F(Sync, WaitStepDoesNotSpinWhileASubRequestWorks) {
    add_frame("a");
    hold_ = true;
    start();
    const model posted = post({{"method", "sync"}, {"status", "start"}, {"direction", "get"}});
    ASSERT_TRUE(notifier_.wait_until([&] { return seen().size() == 1; }));
    const auto looks_before = service_->wait_looks();
    std::this_thread::sleep_for(400ms);
    const auto looks = service_->wait_looks() - looks_before;
    // 400 ms at one look per 20 ms pause is about 20; a spinning wait makes thousands.
    EXPECT_LE(looks, 40u);
    const auto released_at = std::chrono::steady_clock::now();
    release();
    const model r = wait_final(posted.id());
    EXPECT_EQ(r.get("status"), "done");
    // The finished sub-request wakes the wait step well before its pause would end twice.
    EXPECT_LT(std::chrono::steady_clock::now() - released_at, 1s);
}

TEST_F(Sync, CancelRestoresTheCopyAndEndsTheDownload) {
    const int32_t f = add_frame("dev", "tesira", "Stage");
    const auto ch = channels_of(f);
    set("channels", ch[0], "attenuation", "-6");
    model changed(ch[0]);
    changed.set("attenuation", "-12");
    changes_[f] = {{"channels", changed}};
    start();
    const model down = sync("get");
    ASSERT_EQ(get("channels", ch[0]).get("attenuation"), "-12");

    changes_.clear();
    const model cancel = wait_final(post({{"method", "sync"},
                                          {"status", "cancel"},
                                          {"current_config", down.at("current_config")},
                                          {"sync_request_id", std::to_string(down.id())}})
                                        .id());
    // A cancel is "done" without a transaction id, so its commit removes it.
    EXPECT_TRUE(cancel.empty() || cancel.get("status") == "done");
    ASSERT_TRUE(notifier_.wait_until([&] { return get("channels", ch[0]).get("attenuation") == "-6"; }));
    // The download's record is marked done by a write without transaction id, which the
    // commit treats like any finished request: it is removed.
    EXPECT_TRUE(notifier_.wait_until([&] { return !c("requests").exists_locked(down.id()); }));
    EXPECT_EQ(log_count("replacing the current config with: " + down.at("current_config")), 1u);
    EXPECT_EQ(seen().size(), 1u);  // no upload
}

TEST_F(Sync, RollbackRunsAgainAsUploadWithNewTransaction) {
    const int32_t f = add_frame("dev", "tesira", "Stage");
    const auto ch = channels_of(f);
    set("channels", ch[0], "attenuation", "-6");
    model changed(ch[0]);
    changed.set("attenuation", "-12");
    changes_[f] = {{"channels", changed}};
    start();
    const model down = sync("get");
    changes_.clear();

    const model rollback = wait_final(post({{"method", "sync"},
                                            {"status", "rollback"},
                                            {"current_config", down.at("current_config")},
                                            {"sync_request_id", std::to_string(down.id())}})
                                          .id());
    EXPECT_EQ(rollback.get("status"), "done");
    EXPECT_EQ(rollback.get("direction"), "put");
    ASSERT_TRUE(rollback.has("transaction_id"));
    EXPECT_NE(rollback.at("transaction_id"), down.at("transaction_id"));
    EXPECT_EQ(get("channels", ch[0]).get("attenuation"), "-6");
    ASSERT_EQ(seen().size(), 2u);
    EXPECT_EQ(seen()[1].get("method"), "put");
    EXPECT_EQ(seen()[1].get("transaction_id"), rollback.at("transaction_id"));
}

TEST_F(Sync, AFinishedDownloadRetiresThePreviousOneOnly) {
    add_frame("a");
    add_frame("b");
    start();
    const model first = sync("get");
    const model upload = sync("put");
    const model second = sync("get");
    // The first download's request and its two per-frame requests are gone (in the commit
    // that finished the second); the latest download and the upload (another direction)
    // keep theirs.
    EXPECT_TRUE(notifier_.wait_until([&] { return requests_where("transaction_id", first.at("transaction_id")).empty(); }));
    EXPECT_EQ(requests_where("transaction_id", second.at("transaction_id")).size(), 3u);
    EXPECT_EQ(requests_where("transaction_id", upload.at("transaction_id")).size(), 3u);
    // Its copy is no longer needed: the next sweep removes it and keeps the latest.
    service_->sweep_copies(store_);
    ASSERT_EQ(copies().size(), 1u);
    EXPECT_EQ(copies()[0], second.at("current_config"));

    const model next_upload = sync("put");
    EXPECT_TRUE(notifier_.wait_until([&] { return requests_where("transaction_id", upload.at("transaction_id")).empty(); }));
    EXPECT_EQ(requests_where("transaction_id", next_upload.at("transaction_id")).size(), 3u);
    EXPECT_EQ(requests_where("transaction_id", second.at("transaction_id")).size(), 3u);
}

TEST_F(Sync, ManyDownloadsLeaveOneTransactionStored) {
    add_frame("a");
    start();
    for (int i = 0; i < 20; ++i) ASSERT_EQ(sync("get").get("status"), "done");
    // The latest download and its frame's request.
    EXPECT_TRUE(notifier_.wait_until([&] { return c("requests").size_locked() == 2u; }))
        << c("requests").size_locked();
    service_->sweep_copies(store_);
    EXPECT_EQ(copies().size(), 1u);
}

TEST_F(Sync, AnUndoRetiresTheDownloadItRestored) {
    add_frame("a");
    start();
    const model down = sync("get");
    const model cancel = wait_final(post({{"method", "sync"},
                                          {"status", "cancel"},
                                          {"current_config", down.at("current_config")},
                                          {"sync_request_id", std::to_string(down.id())}})
                                        .id());
    EXPECT_TRUE(notifier_.wait_until(
        [&] { return requests_where("transaction_id", down.at("transaction_id")).empty(); }));

    const model again = sync("get");
    const model rollback = wait_final(post({{"method", "sync"},
                                            {"status", "rollback"},
                                            {"current_config", again.at("current_config")},
                                            {"sync_request_id", std::to_string(again.id())}})
                                          .id());
    EXPECT_EQ(rollback.get("status"), "done");
    EXPECT_TRUE(notifier_.wait_until([&] { return requests_where("transaction_id", again.at("transaction_id")).empty(); }));
    // The rollback, now the latest upload, keeps the copy it names.
    service_->sweep_copies(store_);
    ASSERT_EQ(copies().size(), 1u);
    EXPECT_EQ(copies()[0], again.at("current_config"));
}

TEST_F(Sync, UndoWithMissingCopyFailsAndKeepsTheProject) {
    const int32_t f = add_frame("dev");
    start();
    const model undo = wait_final(post({{"method", "sync"},
                                        {"status", "cancel"},
                                        {"current_config", (folder_ / "nothing.xml").string()},
                                        {"sync_request_id", "1"}})
                                      .id());
    EXPECT_EQ(undo.get("status"), "fail");
    EXPECT_EQ(get("frames", f).get("device_id"), "dev");
}

TEST_F(Sync, CopiesAreKeptWhileARequestNamesThemAndRemovedAfter) {
    add_frame("dev");
    start();
    const model first = sync("get");
    const model second = sync("get");
    EXPECT_EQ(copies().size(), 2u);

    // A copy whose download is no longer stored goes at the next sweep; the other stays.
    c("requests").remove_locked(first.id());
    service_->sweep_copies(store_);
    auto left = copies();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0], second.at("current_config"));

    // A rollback request naming a copy keeps it alive after its download went.
    model keeper;
    keeper.set("method", "unknown_method");
    keeper.set("current_config", second.at("current_config"));
    engine_.post_request(keeper);
    c("requests").remove_locked(second.id());
    service_->sweep_copies(store_);
    EXPECT_EQ(copies().size(), 1u);

    // Stray copies of an earlier run are swept at the next download start.
    std::ofstream(folder_ / (std::string(nox::download_copy_prefix) + "stray1")) << "<configuration/>";
    sync("get");
    for (const auto& path : copies()) EXPECT_EQ(path.find("stray1"), std::string::npos);
}

}  // namespace
