#include "backend/model/exceptions.h"
#include "backend/requests/project_handlers.h"
#include "backend/requests/request_engine.h"
#include "tests/fakes/recording_notifier.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>

namespace {

using namespace std::chrono_literals;

using nox::testing::recording_notifier;

class RequestEngine : public ::testing::Test {
protected:
    RequestEngine() {
        folder_ = std::filesystem::temp_directory_path() /
                  ("orva-engine-" + std::to_string(::getpid()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(folder_);
        store_.register_default_collections();
        store_.set_paths((folder_ / "configuration_orva.xml").string(),
                         (folder_ / "template.xml").string());
        store_.set_broadcast([this](const std::string& t) { notifier_.broadcast(t); });
    }
    ~RequestEngine() override {
        engine_.close();
        for (auto& t : threads_) t.join();
        std::filesystem::remove_all(folder_);
    }

    nox::model request(const std::string& method) {
        nox::model m;
        m.set("method", method);
        return m;
    }
    nox::model_collection& requests() { return store_.collection("requests"); }

    std::filesystem::path folder_;
    nox::project_store store_;
    recording_notifier notifier_;
    std::chrono::seconds clock_offset_{0};
    nox::request_engine engine_{store_, notifier_, [this] {
                                    nox::request_engine_options o;
                                    o.now = [this] { return nox::project_store::clock::now() + clock_offset_; };
                                    return o;
                                }()};
    std::vector<std::thread> threads_;
};

TEST_F(RequestEngine, PostingCompletesStoresAndQueuesTheRequest) {
    nox::model stored = engine_.post_request(request("refresh"));
    EXPECT_EQ(stored.id(), 1);
    EXPECT_EQ(stored.get("status"), "wait");
    EXPECT_EQ(stored.get("__type__"), "request");
    EXPECT_EQ(requests().get_locked(1), stored);
    EXPECT_EQ(engine_.queued_requests(), 1u);
}

TEST_F(RequestEngine, PostingKeepsAGivenIdAndStatus) {
    nox::model m = request("sync");
    m.set_id(40);
    m.set("status", "start");
    nox::model stored = engine_.post_request(m);
    EXPECT_EQ(stored.id(), 40);
    EXPECT_EQ(stored.get("status"), "start");
    EXPECT_EQ(engine_.post_request(request("x")).id(), 41);
}

TEST_F(RequestEngine, RequestWithoutMethodIsRefusedAndNothingStored) {
    nox::model m;
    m.set("frame_id", "1");
    EXPECT_THROW(engine_.post_request(m), nox::request_refused);
    EXPECT_EQ(requests().size_locked(), 0u);
    EXPECT_EQ(engine_.queued_requests(), 0u);
}

TEST_F(RequestEngine, UnstorableRequestIsNeitherStoredNorQueued) {
    nox::model m = request("refresh");
    m.set("bad key", "x");
    EXPECT_THROW(engine_.post_request(m), nox::invalid_attribute);
    EXPECT_EQ(requests().size_locked(), 0u);
    EXPECT_EQ(engine_.queued_requests(), 0u);
}

TEST_F(RequestEngine, DispatchFailsARequestForAMissingFrameWithoutRunningItsHandler) {
    int calls = 0;
    engine_.methods().set_handler("get", "wait", [&](nox::model& r, nox::request_engine&) {
        ++calls;
        r.set("status", "done");
    });
    for (const char* frame : {"99", "abc", "-1", "99999999999"}) {
        nox::model r = request("get");
        r.set("status", "wait");
        r.set("frame_id", frame);
        engine_.dispatch(r);
        EXPECT_EQ(r.get("status"), "fail") << frame;
    }
    EXPECT_EQ(calls, 0);
}

TEST_F(RequestEngine, DispatchRunsTheHandlerOfTheMethodAndStatus) {
    store_.collection("frames").add_locked(nox::model(3));
    engine_.methods().set_handler("get", "wait", [](nox::model& r, nox::request_engine&) {
        r.set("status", "done");
    });
    nox::model r = request("get");
    r.set("status", "wait");
    r.set("frame_id", "3");
    engine_.dispatch(r);
    EXPECT_EQ(r.get("status"), "done");

    nox::model other_status = request("get");
    other_status.set("status", "start");
    engine_.dispatch(other_status);
    EXPECT_EQ(other_status.get("status"), "start");
}

TEST_F(RequestEngine, UnknownMethodsAndPairsWithoutHandlerLeaveTheRequestUnchanged) {
    for (const char* method : {"no_such_method", "calibrate"}) {
        nox::model r = request(method);
        r.set("status", "wait");
        nox::model before = r;
        engine_.dispatch(r);
        EXPECT_EQ(r, before) << method;
    }
    EXPECT_THROW(engine_.methods().set_handler("calibrate", "start", {}), std::invalid_argument);
    EXPECT_EQ(engine_.methods().entries().size(), 24u);
}

TEST_F(RequestEngine, HandlerExceptionEndsTheRequestFailedWithTheReason) {
    engine_.methods().set_handler("set_mute", "wait", [](nox::model& r, nox::request_engine&) {
        (void)r.at("mute");  // absent: the attribute lookup throws
    });
    nox::model r = request("set_mute");
    r.set("status", "wait");
    engine_.dispatch(r);
    EXPECT_EQ(r.get("status"), "fail");
    EXPECT_EQ(r.get("error"), "invalid unordered_map<K, T> key");
}

TEST_F(RequestEngine, CommitMergesAnnouncesAndRemovesDoneRequests) {
    nox::model stored = engine_.post_request(request("refresh"));
    nox::model done = stored;
    done.set("status", "done");
    engine_.commit("requests", done, true);
    EXPECT_FALSE(requests().exists_locked(stored.id()));
    EXPECT_EQ(notifier_.count("sigupdate"), 1u);
}

TEST_F(RequestEngine, FailedAndTransactionRequestsStayAfterCommit) {
    nox::model a = engine_.post_request(request("refresh"));
    nox::model b = engine_.post_request(request("sync"));
    a.set("status", "fail");
    b.set("status", "done");
    b.set("transaction_id", "t-1");
    engine_.commit("requests", a, true);
    engine_.commit("requests", b, true);
    EXPECT_EQ(requests().get_locked(a.id()).get("status"), "fail");
    EXPECT_EQ(requests().get_locked(b.id()).get("status"), "done");
}

TEST_F(RequestEngine, CommitWithoutNotifySendsNoSigupdateButTheChangeNotification) {
    notifier_.notify_all_changes = true;
    nox::model stored = engine_.post_request(request("refresh"));
    stored.set("progress", "50");
    engine_.commit("requests", stored, false);
    EXPECT_EQ(notifier_.count("sigupdate"), 0u);
    EXPECT_EQ(notifier_.count("changed requests 1 progress"), 1u);
}

TEST_F(RequestEngine, UnchangedCommitAnnouncesNothing) {
    notifier_.notify_all_changes = true;
    nox::model stored = engine_.post_request(request("refresh"));
    engine_.commit("requests", stored, true);
    EXPECT_TRUE(notifier_.sent().empty());
}

TEST_F(RequestEngine, RequeueIsRemovedFromTheRecordAndQueuesTheRequestAgain) {
    nox::model stored = engine_.post_request(request("refresh"));
    nox::model handled = stored;
    handled.set("method", "sync");
    handled.set("status", "start");
    handled.set("requeue", "true");
    size_t queued = engine_.queued_requests();
    engine_.commit("requests", handled, true);
    EXPECT_FALSE(requests().get_locked(stored.id()).has("requeue"));
    EXPECT_EQ(requests().get_locked(stored.id()).get("method"), "sync");
    EXPECT_EQ(engine_.queued_requests(), queued + 1);
}

TEST_F(RequestEngine, ProjectChangesMarkTheProjectDirtyButRequestsDoNot) {
    store_.collection("frames").add_locked(nox::model(1));
    nox::model frame(1);
    frame.set("name", "A");
    engine_.commit("frames", frame, true);
    EXPECT_TRUE(store_.model_changed());
    EXPECT_TRUE(store_.is_project_dirty());
    EXPECT_EQ(notifier_.count("project_dirty"), 1u);

    store_.set_model_changed(false);
    store_.set_project_dirty(false);
    nox::model stored = engine_.post_request(request("refresh"));
    stored.set("status", "fail");
    engine_.commit("requests", stored, true);
    EXPECT_FALSE(store_.model_changed());
    EXPECT_FALSE(store_.is_project_dirty());
}

TEST_F(RequestEngine, ModelWithoutIdIsAdded) {
    nox::model zone;
    zone.set("name", "Foyer");
    engine_.commit("zones", zone, true);
    EXPECT_EQ(store_.collection("zones").get_locked(1).get("name"), "Foyer");
}

TEST_F(RequestEngine, AutosaveWritesOnlyAfterTenSecondsWhileChanged) {
    const auto file = folder_ / "configuration_orva.xml";
    nox::model zone;
    zone.set("name", "Foyer");
    engine_.commit("zones", zone, true);
    EXPECT_FALSE(std::filesystem::exists(file)) << "saved before 10 s had passed";

    clock_offset_ = std::chrono::seconds(11);
    zone.set_id(1);
    zone.set("name", "Lobby");
    engine_.commit("zones", zone, true);
    ASSERT_TRUE(std::filesystem::exists(file));
    EXPECT_FALSE(store_.model_changed());
    std::ifstream in(file);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(text.find("Lobby"), std::string::npos);
}

TEST_F(RequestEngine, WorkerThreadsCarryRequestsThroughToTheirFinalStatus) {
    engine_.methods().set_handler("refresh", "wait", [](nox::model& r, nox::request_engine&) {
        r.set("status", "done");
    });
    engine_.methods().set_handler("login", "wait", [](nox::model& r, nox::request_engine&) {
        r.set("status", "fail");
    });
    engine_.start(threads_);
    EXPECT_EQ(threads_.size(), 9u);
    engine_.post_request(request("refresh"));
    nox::model failing = engine_.post_request(request("login"));
    nox::model unknown = engine_.post_request(request("not_in_table"));
    ASSERT_TRUE(notifier_.wait_for("sigupdate", 2));
    // Give the last commit time to complete its removal step.
    engine_.close();
    for (auto& t : threads_) t.join();
    threads_.clear();
    EXPECT_FALSE(requests().exists_locked(1));
    EXPECT_EQ(requests().get_locked(failing.id()).get("status"), "fail");
    EXPECT_EQ(requests().get_locked(unknown.id()).get("status"), "wait");
}

TEST_F(RequestEngine, ThreadsSurviveFailingHandlersAndRefusedCommits) {
    engine_.methods().set_handler("put_lms", "wait", [](nox::model&, nox::request_engine&) {
        throw std::runtime_error("device exploded");
    });
    // A handler that leaves something the store refuses: the commit is skipped and the
    // stored request marked failed.
    engine_.methods().set_handler("put", "wait", [](nox::model& r, nox::request_engine&) {
        r.set("status", "done");
        r.set("not a key", "x");
    });
    engine_.methods().set_handler("refresh", "wait", [](nox::model& r, nox::request_engine&) {
        r.set("status", "fail");
    });
    bool fatal = false;
    engine_.set_fatal_hook([&] { fatal = true; });
    engine_.start(threads_);
    nox::model a = engine_.post_request(request("put_lms"));
    nox::model b = engine_.post_request(request("put"));
    nox::model c = engine_.post_request(request("refresh"));
    ASSERT_TRUE(notifier_.wait_for("sigupdate", 3));
    engine_.close();
    for (auto& t : threads_) t.join();
    threads_.clear();
    EXPECT_FALSE(fatal);
    auto ra = requests().get_locked(a.id());
    EXPECT_EQ(ra.get("status"), "fail");
    EXPECT_EQ(ra.get("error"), "device exploded");
    auto rb = requests().get_locked(b.id());
    EXPECT_EQ(rb.get("status"), "fail");
    EXPECT_NE(rb.get("error").find("could not store the request"), std::string::npos);
    EXPECT_EQ(requests().get_locked(c.id()).get("status"), "fail");
}

TEST_F(RequestEngine, RequestsQueuedAtCloseAreNeverDispatched) {
    int calls = 0;
    engine_.methods().set_handler("refresh", "wait", [&](nox::model& r, nox::request_engine&) {
        ++calls;
        r.set("status", "done");
    });
    engine_.post_request(request("refresh"));
    engine_.close();
    engine_.start(threads_);  // start reopens the queues emptied
    engine_.close();
    for (auto& t : threads_) t.join();
    threads_.clear();
    EXPECT_EQ(calls, 0);
}

TEST_F(RequestEngine, LoadWorkingCopyLoadsTheTemplateAndAnnouncesIt) {
    {
        std::ofstream out(folder_ / "template.xml");
        out << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<configuration><zones><zone><id>4</id>"
               "<name>Hall</name></zone></zones></configuration>";
    }
    std::string interface_seen = "unset";
    nox::project_handler_hooks hooks;
    hooks.refresh_interface = [&](const std::string& selected) { interface_seen = selected; };
    nox::register_project_handlers(engine_.methods(), hooks);
    nox::model r = engine_.post_request(request("load_working_copy"));
    engine_.dispatch(r);
    EXPECT_EQ(r.get("status"), "done");
    EXPECT_EQ(store_.collection("zones").get_locked(4).get("name"), "Hall");
    EXPECT_EQ(interface_seen, "");
    EXPECT_EQ(notifier_.count("working_copy_loaded"), 1u);
    EXPECT_EQ(notifier_.count("project_up_to_date"), 1u);
}

}  // namespace
