// The device request handlers on scripted devices: parameter diffs, mute and power,
// factory reset, association by request and by select key, logins and refresh.
#include "backend/amp/tesira_device.h"
#include "backend/requests/device_handlers.h"
#include "backend/amp/mira_family.h"
#include "backend/requests/device_wiring.h"
#include "tests/fakes/fake_device.h"
#include "tests/handlers/handler_fixture.h"

namespace handlers_test {
namespace {

using nox::testing::fake_device;

const std::string amp1 = "0000abcd:00000001";
const std::string amp2 = "0000abcd:00000002";

nox::amp::param_entry entry(const std::string& key, int per_channel, int channel, bool read_only = false) {
    nox::amp::param_entry e;
    e.key = key;
    e.per_channel = per_channel;
    e.channel = channel;
    e.read_only = read_only;
    return e;
}

class DeviceHandlers : public handler_fixture {
protected:
    DeviceHandlers() {
        nox::device_registry::hooks hooks;
        hooks.make_device = [this](const nox::model& f) -> std::shared_ptr<nox::amp::device> {
            auto it = devices_.find(f.get("device_id"));
            return it == devices_.end() ? nullptr : it->second;
        };
        hooks.commit = [this](const std::string& collection, const nox::model& m, bool notify) {
            engine_.commit(collection, m, notify);
        };
        registry_.set_hooks(hooks);
        nox::device_handler_hooks h;
        h.interface_and_discover = [this](const std::string& requested) {
            requested_.push_back(requested);
            return discovery_result_;
        };
        h.sleep = [this](std::chrono::milliseconds pause) {
            ++sleeps_;
            slept_ += pause;
        };
        register_device_handlers(engine_.methods(), registry_, h);

        devices_[amp1] = dev1_;
        devices_[amp2] = dev2_;
        dev1_->has_select_key = true;
        dev2_->has_select_key = true;
        frame_id_ = add_frame("mira", "28", amp1);
        for (int k = 0; k < 4; ++k) dev1_->parameters.push_back(entry("mute", 1, k));
        dev1_->parameters.push_back(entry("fuse_type", 0, 0));
        dev1_->parameters.push_back(entry("power_status", 0, 0, true));
        registry_.rebuild_devices(false);
    }
    nox::model request(const std::string& method, std::map<std::string, std::string> extra = {}) {
        extra["method"] = method;
        return run(extra);
    }
    std::string fid() const { return std::to_string(frame_id_); }

    std::map<std::string, std::shared_ptr<nox::amp::device>> devices_;
    std::shared_ptr<fake_device> dev1_ = std::make_shared<fake_device>();
    std::shared_ptr<fake_device> dev2_ = std::make_shared<fake_device>();
    int32_t frame_id_ = 0;
    bool discovery_result_ = false;
    std::vector<std::string> requested_;
    int sleeps_ = 0;
    std::chrono::milliseconds slept_{0};
};

TEST_F(DeviceHandlers, PutDiffsWritesOnlyTheNamedParameters) {
    // A frame key: its one entry.
    auto r = request("put_diffs", {{"device_id", amp1}, {"frame_id", fid()}, {"fuse_type", "4"}, {"synced", "false"}});
    EXPECT_EQ(r.get("status"), "done");
    EXPECT_EQ(dev1_->written(), (std::vector<std::pair<std::string, std::string>>{{"fuse_type", "4"}}));

    // A channel key with a channel: only that channel's entry.
    const auto ids = channels_of(frame_id_);
    r = request("put_diffs", {{"device_id", amp1}, {"frame_id", fid()}, {"channel_id", std::to_string(ids[2])}, {"mute", "1"}});
    EXPECT_EQ(r.get("status"), "done");
    ASSERT_EQ(dev1_->count_calls("write_param mute"), 1u);
    EXPECT_EQ(dev1_->written().back(), (std::pair<std::string, std::string>{"mute", "1"}));

    // A key without an entry, and a read-only key, write nothing.
    const auto before = dev1_->written().size();
    r = request("put_diffs", {{"device_id", amp1}, {"frame_id", fid()}, {"colour", "red"}, {"power_status", "0"}});
    EXPECT_EQ(r.get("status"), "done");
    EXPECT_EQ(dev1_->written().size(), before);
    EXPECT_NE(log_text().find("writing diffs to amp: \n{"), std::string::npos);
}

TEST_F(DeviceHandlers, PutDiffsOfAnEarlierEditCarriedOutLateWritesNothingOver) {
    const std::string c2 = std::to_string(channels_of(frame_id_)[2]);
    // The later edit (7) reaches the amplifier first; the earlier one (6) then leaves
    // that value alone. An older edit of a value no later edit wrote is written.
    auto r = request("put_diffs", {{"device_id", amp1}, {"frame_id", fid()}, {"channel_id", c2}, {"mute", "1"}, {"edit", "7"}});
    EXPECT_EQ(r.get("status"), "done");
    r = request("put_diffs",
                {{"device_id", amp1}, {"frame_id", fid()}, {"channel_id", c2}, {"mute", "0"}, {"edit", "6"}});
    EXPECT_EQ(r.get("status"), "done");
    r = request("put_diffs", {{"device_id", amp1}, {"frame_id", fid()}, {"fuse_type", "2"}, {"edit", "5"}});
    EXPECT_EQ(dev1_->written(), (std::vector<std::pair<std::string, std::string>>{{"mute", "1"}, {"fuse_type", "2"}}));
    EXPECT_NE(log_text().find("later edit already written: mute"), std::string::npos);
    // An update without an edit number (posted by a client itself) is not held back.
    r = request("put_diffs", {{"device_id", amp1}, {"frame_id", fid()}, {"channel_id", c2}, {"mute", "0"}});
    EXPECT_EQ(dev1_->written().back(), (std::pair<std::string, std::string>{"mute", "0"}));
}

TEST_F(DeviceHandlers, PutDiffsFailures) {
    // A channel that is not the frame's.
    auto r = request("put_diffs", {{"device_id", amp1}, {"frame_id", fid()}, {"channel_id", "999"}, {"mute", "1"}});
    EXPECT_EQ(r.get("status"), "fail");
    EXPECT_TRUE(dev1_->written().empty());

    r = request("put_diffs", {{"device_id", amp1}, {"frame_id", fid()}, {"channel_id", "two"}, {"mute", "1"}});
    EXPECT_EQ(r.get("status"), "fail");
    EXPECT_NE(r.get("error"), "");

    // A refused write ends the handler with the amplifier's result.
    dev1_->results = {{"write_param", 8}};
    r = request("put_diffs", {{"device_id", amp1}, {"frame_id", fid()}, {"mute", "1"}});
    EXPECT_EQ(r.get("status"), "fail");
    EXPECT_EQ(dev1_->count_calls("write_param"), 1u);
    EXPECT_NE(log_text().find("mute ERR:8"), std::string::npos);

    r = request("put_diffs", {{"device_id", "ffffffff:00000000"}, {"frame_id", fid()}, {"mute", "1"}});
    EXPECT_EQ(r.get("status"), "fail");
}

TEST_F(DeviceHandlers, SetMuteAndPowerStatus) {
    const auto ids = channels_of(frame_id_);
    auto r = request("set_mute", {{"device_id", amp1}, {"frame_id", fid()}, {"channel_id", std::to_string(ids[3])}, {"mute", "1"}});
    EXPECT_EQ(r.get("status"), "done");
    EXPECT_EQ(dev1_->mutes[3], 1);
    EXPECT_EQ(channel(ids[3]).get("mute"), "1");  // what the amplifier accepted is recorded

    r = request("set_mute", {{"device_id", amp1}, {"frame_id", fid()}, {"channel_id", "999"}, {"mute", "1"}});
    EXPECT_EQ(r.get("status"), "fail");
    EXPECT_EQ(dev1_->count_calls("write_mute"), 1u);
    dev1_->results["write_mute"] = 8;
    r = request("set_mute", {{"device_id", amp1}, {"frame_id", fid()}, {"channel_id", std::to_string(ids[3])}, {"mute", "0"}});
    EXPECT_EQ(r.get("status"), "fail");
    EXPECT_EQ(channel(ids[3]).get("mute"), "1");  // a refused write changes nothing
    dev1_->results.erase("write_mute");

    r = request("set_mute", {{"device_id", amp1}, {"frame_id", fid()}, {"channel_id", std::to_string(ids[0])}});
    EXPECT_EQ(r.get("status"), "fail");  // no `mute`
    EXPECT_NE(r.get("error"), "");

    r = request("set_power_status", {{"device_id", amp1}, {"power_status", "0"}});
    EXPECT_EQ(r.get("status"), "done");
    EXPECT_EQ(dev1_->power, 0);
    dev1_->results = {{"write_power", 13}};
    EXPECT_EQ(request("set_power_status", {{"device_id", amp1}, {"power_status", "1"}}).get("status"), "fail");
    EXPECT_EQ(request("set_power_status", {{"device_id", amp1}}).get("status"), "fail");
    EXPECT_EQ(request("set_power_status", {{"power_status", "1"}}).get("status"), "fail");
    EXPECT_EQ(dev1_->count_calls("write_power"), 2u);
    EXPECT_NE(log_text().find("setting power status: 0"), std::string::npos);
}

TEST_F(DeviceHandlers, FactoryResetMarksFrameUnsyncedAndChannelsUncalibrated) {
    nox::model synced(frame_id_);
    synced.set("synced", "true");
    c("frames").update(synced);

    dev1_->results = {{"soft_reset", 13}};
    EXPECT_EQ(request("factory_reset", {{"device_id", amp1}, {"frame_id", fid()}}).get("status"), "fail");
    EXPECT_EQ(frame(frame_id_).get("synced"), "true");

    dev1_->results.clear();
    EXPECT_EQ(request("factory_reset", {{"device_id", amp1}, {"frame_id", fid()}}).get("status"), "done");
    EXPECT_EQ(frame(frame_id_).get("synced"), "false");
    for (auto id : channels_of(frame_id_)) EXPECT_EQ(channel(id).get("last_calibrated"), "none");
}

TEST_F(DeviceHandlers, AssocAndDissocByRequest) {
    const int32_t project = add_frame("mira", "28");
    const int32_t discovered = add_frame("mira", "28", amp2);
    EXPECT_EQ(request("assoc", {{"frame_id", std::to_string(project)}}).get("status"), "fail");
    EXPECT_EQ(request("assoc", {{"with", std::to_string(discovered)}}).get("status"), "fail");
    // A frame cannot take over its own amplifier (it would be removed as the source).
    EXPECT_EQ(request("assoc", {{"frame_id", fid()}, {"with", fid()}}).get("status"), "fail");
    EXPECT_TRUE(c("frames").exists_locked(frame_id_));

    EXPECT_EQ(request("assoc", {{"frame_id", std::to_string(project)}, {"with", std::to_string(discovered)}}).get("status"),
              "done");
    EXPECT_EQ(frame(project).get("device_id"), amp2);
    EXPECT_FALSE(c("frames").exists_locked(discovered));

    EXPECT_EQ(request("dissoc", {{"frame_id", std::to_string(project)}}).get("status"), "done");
    EXPECT_EQ(frame(project).get("device_id"), "");
    EXPECT_EQ(c("frames").find_where("device_id", amp2).size(), 1u);
    // Once more: the frame has no amplifier any more, and no discovered frame appears.
    const auto frames_before = c("frames").size_locked();
    EXPECT_EQ(request("dissoc", {{"frame_id", std::to_string(project)}}).get("status"), "fail");
    EXPECT_EQ(c("frames").size_locked(), frames_before);
    EXPECT_EQ(request("dissoc", {}).get("status"), "fail");
    EXPECT_EQ(request("dissoc", {{"frame_id", "4711"}}).get("status"), "fail");
}

TEST_F(DeviceHandlers, AssocSelectWaitsForTheSelectKey) {
    const int32_t project = add_frame("mira", "28");
    const int32_t discovered = add_frame("mira", "28", amp2);
    registry_.rebuild_devices(false);

    // Lists of different length fail at once.
    auto r = request("assoc_select", {{"frame_id", std::to_string(project)}, {"device_id", amp1 + "," + amp2},
                                      {"with", std::to_string(discovered)}});
    EXPECT_EQ(r.get("status"), "fail");
    EXPECT_EQ(sleeps_, 0);
    EXPECT_EQ(dev1_->select_asks + dev2_->select_asks, 0);

    // No press: one clearing query, then 1000 rounds 10 ms apart.
    r = request("assoc_select", {{"frame_id", std::to_string(project)}, {"device_id", amp2}, {"with", std::to_string(discovered)}});
    EXPECT_EQ(r.get("status"), "fail");
    EXPECT_EQ(dev2_->select_asks, 1001);
    EXPECT_EQ(sleeps_, 1000);
    EXPECT_EQ(slept_, std::chrono::milliseconds(10000));
    EXPECT_EQ(frame(project).get("device_id"), "");

    // Two devices; the second is pressed in the third round.
    dev2_->select_asks = 0;
    sleeps_ = 0;
    dev2_->select_press_at = 4;
    r = request("assoc_select", {{"frame_id", std::to_string(project)}, {"device_id", amp1 + "," + amp2},
                                 {"with", fid() + "," + std::to_string(discovered)}});
    EXPECT_EQ(r.get("status"), "done");
    EXPECT_EQ(dev2_->select_asks, 4);
    EXPECT_EQ(sleeps_, 5);
    EXPECT_EQ(frame(project).get("device_id"), amp2);
    EXPECT_FALSE(c("frames").exists_locked(discovered));
}

TEST_F(DeviceHandlers, AssocSelectPollsOnlyDevicesWithASelectKey) {
    dev1_->has_select_key = false;
    auto r = request("assoc_select", {{"frame_id", "1"}, {"device_id", amp1 + ",ffffffff:00000000"}, {"with", "5,6"}});
    EXPECT_EQ(r.get("status"), "fail");
    EXPECT_EQ(dev1_->select_asks, 0);
    EXPECT_EQ(sleeps_, 0);
    EXPECT_EQ(request("assoc_select", {{"frame_id", fid()}, {"device_id", amp1}}).get("status"), "fail");
}

TEST_F(DeviceHandlers, LoginStoresCredentialsAndReusesThemOnRebuild) {
    dev1_->needs_login = true;
    dev1_->system_name = "tesira-1";
    dev1_->accepted_user = "admin";
    dev1_->accepted_password = "secret";
    dev1_->is_connected = false;

    auto r = request("login", {{"username", "admin"}, {"password", "x"}});
    EXPECT_EQ(r.get("login_result"), "1");
    EXPECT_EQ(r.get("status"), "fail");
    notifier_.clear();
    r = request("login", {{"systemname", "tesira-1"}, {"password", "x"}});
    EXPECT_EQ(r.get("login_result"), "2");
    EXPECT_EQ(r.get("status"), "fail");
    EXPECT_EQ(notifier_.count("sigupdate"), 1u);
    EXPECT_NE(log_text().find("ERROR in server login: missing username in request."), std::string::npos);

    notifier_.clear();
    r = request("login", {{"systemname", "tesira-1"}, {"username", "admin"}, {"password", "wrong"}});
    EXPECT_EQ(r.get("login_result"), "3");
    EXPECT_EQ(notifier_.count("login_required"), 1u);
    EXPECT_EQ(store_.logins().size_locked(), 0u);

    for (int i = 0; i < 2; ++i) {
        r = request("login", {{"systemname", "tesira-1"}, {"username", "admin"}, {"password", "secret"}});
        EXPECT_EQ(r.get("login_result"), "0");
        EXPECT_EQ(r.get("status"), "done");
    }
    ASSERT_EQ(store_.logins().size_locked(), 1u);  // one login per system
    EXPECT_EQ(store_.logins().find_first("name", "tesira-1").get("pass"), "secret");

    // A rebuild hands the stored login to the new device.
    auto fresh = std::make_shared<fake_device>();
    fresh->needs_login = true;
    fresh->system_name = "tesira-1";
    fresh->accepted_user = "admin";
    fresh->accepted_password = "secret";
    fresh->is_connected = false;
    devices_[amp1] = fresh;
    notifier_.clear();
    registry_.rebuild_devices(false);
    EXPECT_TRUE(fresh->connected());
    EXPECT_EQ(fresh->last_user, "admin");
    EXPECT_EQ(notifier_.count("login_required"), 0u);

    // Without a password the request fails with the reason.
    r = request("login", {{"systemname", "tesira-1"}, {"username", "admin"}});
    EXPECT_EQ(r.get("status"), "fail");
    EXPECT_NE(r.get("error"), "");
}

TEST_F(DeviceHandlers, RefreshBecomesADownloadSyncWhenSomethingWasFound) {
    auto r = request("refresh", {{"network_interface", "10.99.0.1"}});
    EXPECT_EQ(r.get("status"), "done");
    EXPECT_EQ(r.get("method"), "refresh");
    discovery_result_ = true;
    r = request("refresh", {});
    EXPECT_EQ(r.get("method"), "sync");
    EXPECT_EQ(r.get("status"), "start");
    EXPECT_EQ(r.get("direction"), "get");
    EXPECT_EQ(r.get("requeue"), "true");
    EXPECT_EQ(requested_, (std::vector<std::string>{"10.99.0.1", ""}));
}

}  // namespace
}  // namespace handlers_test

namespace handlers_test {
namespace {

TEST(DeviceWiring, ParsesDeviceIdentities) {
    const auto address = nox::amp::parse_device_id("0001a2b3:0c0d0e0f", 5);
    ASSERT_TRUE(address.has_value());
    EXPECT_EQ(address->id_high, 0x0001a2b3u);
    EXPECT_EQ(address->id_low, 0x0c0d0e0fu);
    EXPECT_EQ(address->kind, 5);
    EXPECT_EQ(address->text(), "0001a2b3:0c0d0e0f");
    EXPECT_TRUE(nox::amp::parse_device_id("ABCDEF01:1", 2).has_value());
    for (const char* bad : {"", "0001a2b3", "0001a2b3:", ":0c0d0e0f", "0001a2b3:0c0d0e0g", "123456789:1", "1:2:3"})
        EXPECT_FALSE(nox::amp::parse_device_id(bad, 1).has_value()) << bad;

    nox::model tesira(3);
    tesira.set("frame_type", "tesira");
    tesira.set("device_id", "AmpBlock1");
    tesira.set("server_address", "10.99.0.2");
    const auto hosted = std::dynamic_pointer_cast<nox::amp::tesira_device>(nox::make_frame_device(tesira));
    ASSERT_NE(hosted, nullptr);
    EXPECT_EQ(hosted->instance_tag(), "AmpBlock1");
    EXPECT_EQ(hosted->server_address(), "10.99.0.2");
    nox::model malformed(4);
    malformed.set("frame_type", "mira");
    malformed.set("device_id", "not-an-address");
    EXPECT_EQ(nox::make_frame_device(malformed), nullptr);
}

}  // namespace
}  // namespace handlers_test

namespace handlers_test {
namespace {

// The interface hand-over writes back only the interface entries: a settings change that
// lands while it runs (here: from inside the refresh) is kept.
TEST_F(handler_fixture, InterfaceRefreshKeepsConcurrentSettingsChanges) {
    nox::device_registry::hooks hooks;
    std::string handed;
    hooks.refresh_interface_settings = [this](nox::model::attribute_map& settings, const std::string&) {
        nox::model concurrent(store_.get_settings().id());
        concurrent.set("language", "de");
        c("settings").update(concurrent);
        settings["network_interface"] = "10.99.0.1 10.99.0.2";
        settings["selected_interface"] = "10.99.0.2";
    };
    hooks.use_interface = [&handed](const nox::amp::family&, const std::string& address) { handed = address; };
    registry_.set_hooks(hooks);
    nox::model settings = store_.get_settings();
    settings.set("language", "en");
    settings.set("selected_interface", "10.99.0.1");
    store_.put_settings(settings);

    registry_.propagate_interface();
    const auto stored = store_.get_settings();
    EXPECT_EQ(stored.get("language"), "de");
    EXPECT_EQ(stored.get("selected_interface"), "10.99.0.2");
    EXPECT_EQ(stored.get("network_interface"), "10.99.0.1 10.99.0.2");
    EXPECT_NE(log_text().find("Updating Mira devices interface to: \"10.99.0.2\""), std::string::npos);
}

}  // namespace
}  // namespace handlers_test

#include <future>

namespace handlers_test {
namespace {

// Making a device talks to its amplifier, which may take seconds: lookups meanwhile are
// answered (with the devices of before) instead of waiting for the rebuild.
TEST_F(handler_fixture, LookupsAreAnsweredWhileARebuildMakesDevices) {
    add_frame("mira", "28", "0000abcd:00000001");
    auto old_device = std::make_shared<nox::testing::fake_device>();
    bool slow = false;
    bool answered_meanwhile = false;
    // Outlives the rebuild, so that a lookup stuck behind it cannot block the rebuild.
    std::future<std::shared_ptr<nox::amp::device>> lookup;
    nox::device_registry::hooks hooks;
    hooks.make_device = [&](const nox::model&) -> std::shared_ptr<nox::amp::device> {
        if (slow) {
            lookup = std::async(std::launch::async, [this] { return registry_.lookup("0000abcd:00000001"); });
            answered_meanwhile = lookup.wait_for(5s) == std::future_status::ready && lookup.get() == old_device;
            return std::make_shared<nox::testing::fake_device>();
        }
        return old_device;
    };
    registry_.set_hooks(hooks);
    registry_.rebuild_devices(false);
    ASSERT_EQ(registry_.lookup("0000abcd:00000001"), old_device);
    slow = true;
    registry_.rebuild_devices(false);
    EXPECT_TRUE(answered_meanwhile);
    EXPECT_NE(registry_.lookup("0000abcd:00000001"), old_device);
}

}  // namespace
}  // namespace handlers_test
