// The project store: file layout, round trips, safe loading and saving, change marking.
#include "backend/model/exceptions.h"
#include "backend/model/project_store.h"
#include "common/platform/platform.h"

#include <gtest/gtest.h>

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <random>
#include <thread>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using nox::model;
using nox::project_store;

class StoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/orva_store_test.XXXXXX";
        folder_ = ::mkdtemp(pattern);
        write(folder_ + "/template.xml",
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<configuration><settings><setting>"
              "<id>1</id><selected_interface>orva0</selected_interface></setting></settings>"
              "</configuration>");
        reset();
    }
    void TearDown() override { std::system(("rm -rf " + folder_).c_str()); }

    void reset() {
        store_ = std::make_unique<project_store>();
        store_->register_default_collections();
        store_->set_paths(config(), folder_ + "/template.xml");
        store_->set_broadcast([this](const std::string& e) { events_.push_back(e); });
    }
    std::string config() const { return folder_ + "/configuration_orva.xml"; }
    static void write(const std::string& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }
    nox::model_collection& c(const std::string& name) { return store_->collection(name); }
    void load() {
        nox::lock_guard lock(store_->model_mutex());
        store_->load(true, false);
    }

    std::string folder_;
    std::unique_ptr<project_store> store_;
    std::vector<std::string> events_;
};

TEST_F(StoreTest, RegistryHasTheCollectionsInOrderAndLoginsApart) {
    ASSERT_EQ(store_->collections().size(), 20u);
    EXPECT_EQ(store_->collections()[0]->name(), "settings");
    EXPECT_EQ(store_->collections()[19]->name(), "speakers");
    EXPECT_THROW(store_->collection("logins"), nox::generic_model_not_found);
    EXPECT_THROW(store_->collection("nope"), nox::generic_model_not_found);
    EXPECT_EQ(store_->logins().name(), "logins");
}

TEST_F(StoreTest, LoginsLiveInTheirOwnOwnerOnlyFileAndSurviveARestart) {
    model login;
    login.set("name", "Hall system");
    login.set("login", "admin");
    login.set("pass", "s3cr<e>t");
    store_->logins().add_locked(login);
    ASSERT_TRUE(store_->save_logins());
    ASSERT_TRUE(store_->save_locked());
    struct stat info{};
    ASSERT_EQ(::stat((folder_ + "/logins.xml").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(nox::platform::read_file(config())->find("s3cr"), std::string::npos);

    reset();
    EXPECT_EQ(store_->logins().size_locked(), 0u);
    store_->load_logins();
    ASSERT_EQ(store_->logins().size_locked(), 1u);
    EXPECT_EQ(store_->logins().find_first("name", "Hall system").get("pass"), "s3cr<e>t");

    write(folder_ + "/logins.xml", "<configuration><logins><login>");
    reset();
    store_->load_logins();  // a damaged file leaves no logins and no exception
    EXPECT_EQ(store_->logins().size_locked(), 0u);
}

TEST_F(StoreTest, SaveWritesTheElementLayoutAndSkipsRequestsAndEmptyCollections) {
    model frame;
    frame.set("name", "Amp <1> & \"2\"");
    c("frames").add_locked(frame);
    c("requests").add_locked(model());
    c("ui_states").add_locked(model());
    store_->set_project_dirty(true);
    ASSERT_TRUE(store_->save_locked());

    boost::property_tree::ptree tree;
    boost::property_tree::read_xml(config(), tree);
    const auto& root = tree.get_child("configuration");
    EXPECT_EQ(root.get<std::string>("frames.frame.name"), "Amp <1> & \"2\"");
    EXPECT_EQ(root.get<std::string>("ui_states.ui_state.id"), "1");
    EXPECT_EQ(root.get<std::string>("project_dirty.project_dirt.project_dirty"), "1");
    EXPECT_FALSE(root.get_child_optional("requests"));
    EXPECT_FALSE(root.get_child_optional("zones"));
    auto text = nox::platform::read_file(config()).value();
    EXPECT_EQ(text.rfind("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<configuration>", 0), 0u);
}

TEST_F(StoreTest, EveryStorableValueRoundTrips) {
    const std::vector<std::string> values = {
        "", " ", "  leading", "trailing  ", "\t", "a\nb", "a\r\nb", "\r", "<&>'\"",
        "&amp; literally", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xb5", "]]>", "x y  z"};
    model m;
    for (size_t i = 0; i < values.size(); ++i) m.set("v" + std::to_string(i), values[i]);
    c("speakers").add_locked(m);
    ASSERT_TRUE(store_->save_locked());
    reset();
    load();
    auto loaded = c("speakers").get_locked(1);
    for (size_t i = 0; i < values.size(); ++i)
        EXPECT_EQ(loaded.get("v" + std::to_string(i), "<absent>"), values[i]) << "value " << i;
}

TEST_F(StoreTest, LoadKeepsIdsNormalisesAndRaisesTheNextId) {
    write(config(),
          "<?xml version=\"1.0\"?><configuration><channels>"
          "<channel><id>4</id><frame_type>mira</frame_type><sensitivity>511</sensitivity>"
          "<flexi_desired_vpl>3</flexi_desired_vpl><nested><deep>x</deep></nested></channel>"
          "<anything><id>9</id></anything></channels></configuration>");
    load();
    auto ch = c("channels").get_locked(4);
    EXPECT_EQ(ch.at("gain"), "54.303665");
    EXPECT_EQ(ch.at("flexi_desired_vpl"), "17.800000");
    EXPECT_TRUE(c("channels").exists_locked(9));
    EXPECT_EQ(c("channels").add_locked(model()), 10);
    EXPECT_EQ(events_.back(), "project_up_to_date");
    EXPECT_FALSE(store_->model_changed());
}

TEST_F(StoreTest, ModelsWithIdZeroGetTheIdsAnAddWouldGive) {
    write(config(),
          "<?xml version=\"1.0\"?><configuration><zones><zone><id>0</id></zone><zone><id>7</id></zone>"
          "<zone><id>0</id></zone><zone><id>2</id></zone><zone><id>2147483647</id></zone></zones>"
          "</configuration>");
    load();
    std::vector<int32_t> ids;
    for (const auto& m : c("zones").get_all()) ids.push_back(m.id());
    EXPECT_EQ(ids, (std::vector<int32_t>{1, 7, 8, 2, 2147483647}));
    EXPECT_EQ(c("zones").get_locked(8).at("id"), "8");
    // The largest id is taken, so no automatic id is left to give.
    EXPECT_THROW(c("zones").add_locked(model()), std::invalid_argument);
    EXPECT_EQ(c("zones").size_locked(), 5u);
}

TEST_F(StoreTest, MissingFileIsCreatedFromTheTemplate) {
    load();
    EXPECT_TRUE(nox::platform::path_exists(config()));
    EXPECT_EQ(store_->get_settings().get("selected_interface"), "orva0");
}

TEST_F(StoreTest, MissingCollectionNodeLoadsAsEmpty) {
    c("zones").add_locked(model());
    write(config(), "<?xml version=\"1.0\"?><configuration><frames><frame><id>2</id></frame>"
                    "</frames></configuration>");
    load();
    EXPECT_EQ(c("zones").size_locked(), 0u);
    EXPECT_EQ(c("frames").size_locked(), 1u);
}

TEST_F(StoreTest, DamagedFilesLeaveEveryCollectionAsItWas) {
    c("frames").add_locked(model());
    c("channels").add_locked(model());
    const std::vector<std::string> damaged = {
        "<?xml version=\"1.0\"?><configuration><frames><frame><id>1</id>",  // truncated
        "not xml at all",
        "<?xml version=\"1.0\"?><other/>",
        "<?xml version=\"1.0\"?><configuration><frames><frame><id>1</id></frame></frames>"
        "<channels><channel><name>no id</name></channel></channels></configuration>",
        "<?xml version=\"1.0\"?><configuration><frames><frame><id>x1</id></frame></frames></configuration>",
        "<?xml version=\"1.0\"?><configuration><frames><frame><id>1</id></frame><frame><id>1</id>"
        "</frame></frames></configuration>",
        // Id 0 is given the next free id, 1 here, which the frame after it claims too; the
        // channels come first so that a half-done install would show.
        "<?xml version=\"1.0\"?><configuration><channels><channel><id>5</id></channel></channels>"
        "<frames><frame><id>0</id></frame><frame><id>1</id></frame></frames></configuration>",
        "<?xml version=\"1.0\"?><configuration><channels><channel><id>1</id><flexi_desired_vpl>hi"
        "</flexi_desired_vpl></channel></channels></configuration>",
        "<?xml version=\"1.0\"?><configuration><frames><frame><id>1</id><a.b>x</a.b></frame>"
        "</frames></configuration>",
    };
    for (const auto& text : damaged) {
        write(config(), text);
        EXPECT_ANY_THROW(load()) << text;
        EXPECT_EQ(c("frames").size_locked(), 1u) << text;
        EXPECT_EQ(c("channels").size_locked(), 1u) << text;
    }
}

TEST_F(StoreTest, UnreadableWorkingCopyIsSetAsideAndTheTemplateLoaded) {
    write(config(), "<configuration><frames>");
    EXPECT_FALSE(store_->load_working_copy(false));
    EXPECT_EQ(store_->get_settings().get("selected_interface"), "orva0");
    int aside = std::system(("ls " + folder_ + "/configuration_orva.xml.unreadable-* >/dev/null").c_str());
    EXPECT_EQ(aside, 0);
    EXPECT_TRUE(store_->load_working_copy(false));
}

TEST_F(StoreTest, FailedSaveIsReportedAndRetried) {
    c("frames").add_locked(model());
    store_->on_collection_changed("frames");
    store_->set_paths(folder_ + "/missing/configuration_orva.xml", folder_ + "/template.xml");
    EXPECT_FALSE(store_->save_locked());
    EXPECT_TRUE(store_->model_changed());
    store_->set_paths(config(), folder_ + "/template.xml");
    EXPECT_TRUE(store_->save_locked());
    EXPECT_FALSE(store_->model_changed());
}

TEST_F(StoreTest, ChangeMarkingDependsOnTheCollection) {
    store_->on_collection_changed("requests");
    EXPECT_FALSE(store_->model_changed());
    EXPECT_FALSE(store_->is_project_dirty());
    store_->on_collection_changed("ui_states");
    EXPECT_TRUE(store_->model_changed());
    EXPECT_FALSE(store_->is_project_dirty());
    EXPECT_TRUE(events_.empty());
    store_->on_collection_changed("frames");
    EXPECT_TRUE(store_->is_project_dirty());
    EXPECT_EQ(events_, (std::vector<std::string>{"project_dirty"}));
    store_->mark_project_clean();
    EXPECT_FALSE(store_->is_project_dirty());
    EXPECT_EQ(events_.back(), "project_up_to_date");
}

TEST_F(StoreTest, MarkAllUnsyncedTouchesOnlySyncedModels) {
    model synced;
    synced.set("synced", "true");
    c("frames").add_locked(synced);
    c("frames").add_locked(model());
    c("channels").add_locked(synced);
    store_->mark_all_unsynced();
    EXPECT_EQ(c("frames").get_locked(1).at("synced"), "false");
    EXPECT_FALSE(c("frames").get_locked(2).has("synced"));
    EXPECT_EQ(c("channels").get_locked(1).at("synced"), "false");
}

TEST_F(StoreTest, SettingsAreCreatedOnFirstRead) {
    EXPECT_EQ(store_->get_settings().id(), 1);
    model s(7);
    s.set("selected_interface", "eth1");
    store_->put_settings(s);
    EXPECT_EQ(c("settings").size_locked(), 1u);
    EXPECT_EQ(store_->get_settings().get("selected_interface"), "eth1");
}

// A process killed at any moment while it saves leaves a complete project file.
TEST_F(StoreTest, KilledWhileSavingTheFileAlwaysParses) {
    for (int i = 0; i < 200; ++i) {
        model m;
        for (int k = 0; k < 40; ++k) m.set("attribute_" + std::to_string(k), std::string(20, 'x'));
        c("channels").add_locked(m);
    }
    ASSERT_TRUE(store_->save_locked());
    std::mt19937 random(42);
    for (int round = 0; round < 30; ++round) {
        pid_t child = ::fork();
        if (child == 0) {
            for (int n = 0;; ++n) {
                model change(1 + n % 200);
                change.set("attribute_0", std::to_string(n));
                store_->collection("channels").update(change);
                store_->save_locked();
            }
        }
        ::usleep(1000 + random() % 20000);
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        boost::property_tree::ptree tree;
        ASSERT_NO_THROW(boost::property_tree::read_xml(config(), tree)) << "round " << round;
        EXPECT_EQ(tree.get_child("configuration.channels").size(), 200u);
    }
}

}  // namespace

namespace {

// A load replaces the project under the model mutex, but the device rebuild that follows
// talks to amplifiers (seconds for a silent one): it runs after the mutex is released,
// on the loading thread, and the `installed` hook comes before it.
TEST_F(StoreTest, TheDeviceRebuildOfALoadRunsOutsideTheModelMutex) {
    write(config(), "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<configuration><frames><frame><id>1</id>"
                    "<name>Hall</name></frame></frames></configuration>");
    std::vector<std::string> steps;
    store_->set_installed([&] { steps.push_back("installed"); });
    store_->set_rebuild_devices([&](bool keep) {
        // Another thread can take the model mutex meanwhile (an autosave, a REST export).
        bool free = false;
        std::thread other([&] {
            free = store_->model_mutex().try_lock();
            if (free) store_->model_mutex().unlock();
        });
        other.join();
        steps.push_back(std::string("rebuild ") + (keep ? "keep " : "") + (free ? "unlocked" : "LOCKED"));
        EXPECT_EQ(c("frames").get_locked(1).get("name"), "Hall");
    });
    {
        std::lock_guard lock(store_->model_mutex());
        store_->load(false, true);
        EXPECT_EQ(steps, std::vector<std::string>{"installed"}) << "not while the lock is held";
    }
    EXPECT_EQ(steps, (std::vector<std::string>{"installed", "rebuild keep unlocked"}));

    // The working-copy load takes the mutex itself; a load by a caller without the mutex
    // rebuilds at once.
    steps.clear();
    ASSERT_TRUE(store_->load_working_copy(false));
    EXPECT_EQ(steps, (std::vector<std::string>{"installed", "rebuild unlocked"}));
    steps.clear();
    store_->load(false, false);
    EXPECT_EQ(steps, (std::vector<std::string>{"installed", "rebuild unlocked"}));
}

// Work handed over while the mutex is held runs once, in order, after the release; an
// exception in it is logged and neither loses the rest nor leaves the mutex taken.
TEST(ModelMutex, RunsWorkAfterTheReleaseInOrder) {
    nox::model_mutex_type mutex;
    std::vector<int> done;
    EXPECT_FALSE(mutex.held_by_this_thread());
    {
        std::lock_guard lock(mutex);
        EXPECT_TRUE(mutex.held_by_this_thread());
        mutex.after_unlock([&] { done.push_back(1); });
        mutex.after_unlock([] { throw std::runtime_error("broken"); });
        mutex.after_unlock([&] {
            EXPECT_TRUE(mutex.try_lock());
            mutex.unlock();
            done.push_back(2);
        });
    }
    EXPECT_EQ(done, (std::vector<int>{1, 2}));
    EXPECT_FALSE(mutex.held_by_this_thread());
    { std::lock_guard lock(mutex); }
    EXPECT_EQ(done.size(), 2u);
}

}  // namespace
