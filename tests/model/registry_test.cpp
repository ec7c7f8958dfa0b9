// The device registry: discovered amplifiers entering the project, rebuilds, association
// and dissociation with impedance sweeps, logins and the interface hand-over.
#include "backend/model/device_registry.h"
#include "common/platform/platform.h"
#include "tests/fakes/fake_device.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <unistd.h>

namespace {

using nox::model;
using nox::testing::fake_device;

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/orva_registry_test.XXXXXX";
        folder_ = ::mkdtemp(pattern);
        store_.register_default_collections();
        store_.set_paths(folder_ + "/configuration_orva.xml", folder_ + "/template.xml");
        store_.set_broadcast([this](const std::string& e) { events_.push_back(e); });
        nox::device_registry::hooks hooks;
        hooks.make_device = [this](const model& frame) -> std::shared_ptr<nox::amp::device> {
            made_.push_back(frame.get("device_id"));
            auto dev = std::make_shared<fake_device>();
            if (make_) make_(*dev);
            return dev;
        };
        hooks.discover = [this] { return discovered_; };
        hooks.refresh_interface_settings = [](nox::model::attribute_map& settings, const std::string& preferred) {
            settings["network_interface"] = "10.99.0.1 10.99.0.2";
            settings["selected_interface"] = preferred.empty() ? "10.99.0.2" : preferred;
        };
        hooks.use_interface = [this](const nox::amp::family& family, const std::string& address) {
            interface_ = std::string(family.frame_type()) + " " + address;
        };
        hooks.commit = [this](const std::string& collection, const model& m, bool notify) {
            EXPECT_FALSE(notify);
            store_.collection(collection).update(m);
        };
        registry_.set_hooks(hooks);
    }
    void TearDown() override { std::system(("rm -rf " + folder_).c_str()); }

    nox::model_collection& c(const std::string& name) { return store_.collection(name); }
    // A Mira amplifier as discovery reports it.
    static nox::amp::discovered_amplifier address(uint32_t low, uint16_t kind = 1) {
        const nox::amp::device_address a{0x0001a2b3, low, kind};
        return {"mira", a.text(), {{"module_class", std::to_string(kind)}}};
    }
    int32_t project_frame(const std::string& type, const std::string& model_code) {
        model frame;
        frame.set("frame_type", type);
        frame.set("model", model_code);
        int32_t id = c("frames").add_locked(frame);
        std::string ids;
        for (int k = 0; k < 4; ++k) {
            model ch;
            ch.set("frame_id", std::to_string(id));
            ids += (k ? " " : "") + std::to_string(c("channels").add_locked(ch));
        }
        frame = c("frames").get_locked(id);
        frame.set("channels", ids);
        c("frames").update(frame);
        return id;
    }

    std::string folder_;
    nox::project_store store_;
    nox::device_registry registry_{store_};
    std::vector<nox::amp::discovered_amplifier> discovered_;
    std::vector<std::string> events_, made_;
    std::function<void(fake_device&)> make_;
    std::string interface_;
};

TEST_F(RegistryTest, DiscoveredAmplifiersBecomeFramesWithFourChannels) {
    discovered_ = {address(1), address(2)};
    EXPECT_TRUE(registry_.merge_discovered_devices());
    auto frames = c("frames").get_all();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].at("channels"), "1 2 3 4");
    EXPECT_EQ(frames[1].at("channels"), "5 6 7 8");
    EXPECT_EQ(frames[0].at("device_id"), "0001a2b3:00000001");
    EXPECT_EQ(frames[0].at("__origin__"), "discovery");
    EXPECT_EQ(frames[0].at("frame_type"), "mira");
    EXPECT_EQ(frames[1].at("module_class"), "1");
    auto ch = c("channels").get_locked(6);
    EXPECT_EQ(ch.at("frame_id"), "2");
    EXPECT_EQ(ch.at("device_id"), "0001a2b3:00000002");
    EXPECT_TRUE(nox::platform::file_readable(store_.configuration_path()));  // saved
    EXPECT_FALSE(store_.is_project_dirty());
}

TEST_F(RegistryTest, RediscoveryOnlyRefreshesTheModuleClass) {
    discovered_ = {address(1)};
    registry_.merge_discovered_devices();
    model rename(1);
    rename.set("name", "Stage");
    c("frames").update(rename);
    discovered_ = {address(1, 5)};
    EXPECT_FALSE(registry_.merge_discovered_devices());
    ASSERT_EQ(c("frames").size_locked(), 1u);
    EXPECT_EQ(c("frames").get_locked(1).at("module_class"), "5");
    EXPECT_EQ(c("frames").get_locked(1).at("name"), "Stage");
    EXPECT_EQ(c("channels").size_locked(), 4u);
}

TEST_F(RegistryTest, AssociationMovesTheAmplifierAndItsSweeps) {
    int32_t target = project_frame("mira", "");
    discovered_ = {address(9, 3)};
    registry_.merge_discovered_devices();
    const int32_t source = 2;
    model sweep;
    sweep.set("channel_id", "6");  // second channel of the discovered frame
    c("impedance_sweeps").add_locked(sweep);

    EXPECT_EQ(registry_.associate(target, source), 0);
    auto frame = c("frames").get_locked(target);
    EXPECT_EQ(frame.at("device_id"), "0001a2b3:00000009");
    EXPECT_EQ(frame.at("module_class"), "3");
    EXPECT_EQ(frame.at("synced"), "false");
    EXPECT_FALSE(c("frames").exists_locked(source));
    EXPECT_TRUE(c("channels").find_where("frame_id", std::to_string(source)).empty());
    EXPECT_EQ(c("channels").get_locked(2).at("device_id"), "0001a2b3:00000009");
    auto sweeps = c("impedance_sweeps").get_all();
    ASSERT_EQ(sweeps.size(), 1u);
    EXPECT_EQ(sweeps[0].at("channel_id"), "2");
    EXPECT_EQ(events_.back(), "sigupdate");
    EXPECT_EQ(registry_.associate(target, 77), 1);
}

TEST_F(RegistryTest, FramesOfDifferentTypeOrModelAreNotAssociated) {
    int32_t tesira = project_frame("tesira", "");
    int32_t other_model = project_frame("mira", "12");
    discovered_ = {address(1)};
    registry_.merge_discovered_devices();
    int32_t found = c("frames").find_first("__origin__", "discovery").id();
    EXPECT_EQ(registry_.associate(tesira, found), 1);
    EXPECT_EQ(registry_.associate(other_model, found), 1);
    EXPECT_TRUE(c("frames").exists_locked(found));
    EXPECT_FALSE(c("frames").get_locked(tesira).has("device_id"));
}

TEST_F(RegistryTest, DissociationReturnsTheAmplifierAsADiscoveredFrame) {
    int32_t target = project_frame("mira", "");
    model change(target);
    change.set("device_id", "0001a2b3:00000004");
    change.set("mon_frame_status", "2");
    c("frames").update(change);
    model sweep;
    sweep.set("channel_id", "3");
    c("impedance_sweeps").add_locked(sweep);

    EXPECT_EQ(registry_.dissociate(target), 0);
    auto old_frame = c("frames").get_locked(target);
    EXPECT_EQ(old_frame.at("device_id"), "");
    EXPECT_EQ(old_frame.at("mon_frame_status"), "");
    auto found = c("frames").find_first("__origin__", "discovery");
    EXPECT_EQ(found.at("device_id"), "0001a2b3:00000004");
    auto new_channels = nox::channel_ids_of(found);
    ASSERT_EQ(new_channels.size(), 4u);
    EXPECT_EQ(c("channels").get_locked(new_channels[0]).at("frame_id"), std::to_string(found.id()));
    EXPECT_EQ(c("impedance_sweeps").get_all().at(0).at("channel_id"), std::to_string(new_channels[2]));
    EXPECT_EQ(registry_.dissociate(99), 1);
}

TEST_F(RegistryTest, RebuildKeepsHoldOffsFlagsOldFirmwareAndHandsOverTheInterface) {
    for (uint32_t n : {1u, 2u}) {
        model frame;
        frame.set("device_id", "dev" + std::to_string(n));
        frame.set("frame_type", "mira");
        c("frames").add_locked(frame);
    }
    c("frames").add_locked(model());  // not associated: no device
    registry_.rebuild_devices(false);
    EXPECT_EQ(made_.size(), 2u);
    EXPECT_EQ(interface_, "mira 10.99.0.2");
    std::static_pointer_cast<fake_device>(registry_.lookup("dev1"))->is_unreachable = true;

    make_ = [](fake_device& d) { d.current_firmware = 0.5f; };
    registry_.rebuild_devices(true);
    auto dev1 = std::static_pointer_cast<fake_device>(registry_.lookup("dev1"));
    auto dev2 = std::static_pointer_cast<fake_device>(registry_.lookup("dev2"));
    EXPECT_TRUE(dev1->unreachable());
    EXPECT_FALSE(dev1->old_firmware());  // unreachable: not judged
    EXPECT_TRUE(dev2->old_firmware());
    EXPECT_EQ(std::count(events_.begin(), events_.end(), "old_fw_detected"), 1);
    EXPECT_EQ(registry_.lookup("nothing"), nullptr);
}

TEST_F(RegistryTest, AStoppedRebuildEndsBeforeItsNextAmplifierAndKeepsTheDevicesItHad) {
    for (uint32_t n : {1u, 2u, 3u}) {
        model frame;
        frame.set("device_id", "dev" + std::to_string(n));
        frame.set("frame_type", "mira");
        c("frames").add_locked(frame);
    }
    registry_.rebuild_devices(false);
    const auto first = registry_.lookup("dev1");
    made_.clear();
    // The backend stops while the first amplifier of a rebuild is being made.
    make_ = [this](fake_device&) { registry_.stop_rebuilds(); };
    registry_.rebuild_devices(false);
    EXPECT_EQ(made_.size(), 1u);
    EXPECT_EQ(registry_.lookup("dev1"), first);
    registry_.rebuild_devices(false);  // and every later one until resumed
    EXPECT_EQ(made_.size(), 1u);
    registry_.resume_rebuilds();
    make_ = nullptr;
    registry_.rebuild_devices(false);
    EXPECT_EQ(made_.size(), 4u);
    EXPECT_NE(registry_.lookup("dev1"), first);
}

TEST_F(RegistryTest, StoredAndGivenLogins) {
    model frame;
    frame.set("device_id", "tag1");
    frame.set("frame_type", "tesira");
    c("frames").add_locked(frame);
    make_ = [](fake_device& d) {
        d.needs_login = true;
        d.is_connected = false;
        d.system_name = "core1";
        d.accepted_user = "admin";
        d.accepted_password = "secret";
    };
    registry_.rebuild_devices(false);
    EXPECT_EQ(events_.back(), "login_required");
    EXPECT_EQ(registry_.systems_needing_login(), (std::vector<std::string>{"core1"}));
    EXPECT_FALSE(registry_.login_devices("core1", "admin", "wrong"));
    EXPECT_TRUE(registry_.login_devices("other", "x", "y"));
    EXPECT_TRUE(registry_.login_devices("core1", "admin", "secret"));

    model login;
    login.set("name", "core1");
    login.set("login", "admin");
    login.set("pass", "secret");
    store_.logins().add_locked(login);
    events_.clear();
    registry_.rebuild_devices(false);
    EXPECT_TRUE(registry_.lookup("tag1")->connected());
    EXPECT_TRUE(std::find(events_.begin(), events_.end(), "login_required") == events_.end());
}

}  // namespace
