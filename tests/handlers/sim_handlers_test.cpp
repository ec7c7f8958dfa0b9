// The device handlers against simulated Mira amplifiers, inside the network sandbox
// (orva0 10.99.0.1 <-> orva1 10.99.0.2; the simulator listens on 0.0.0.0:6016): discovery
// through `refresh`, a full download and upload, association and dissociation with
// impedance sweeps, the select key, and the network settings document.
#include "backend/requests/device_handlers.h"
#include "backend/requests/device_wiring.h"
#include "backend/requests/frame_transfer.h"
#include "tests/handlers/handler_fixture.h"
#include "tools/mira_sim/sim_client.h"

namespace handlers_test {
namespace {

const std::string first = "0000abcd:00000001";
const std::string second = "0000abcd:00000002";

class SimHandlers : public handler_fixture {
protected:
    SimHandlers() {
        sim_ = std::make_unique<mira_sim::sim_client>(
            mira_sim::sim_client::default_program(),
            std::vector<std::string>{"--amp", first + ",kind=2", "--amp", second + ",kind=5"});
        registry_.set_hooks(nox::production_registry_hooks(engine_));
        nox::device_handler_hooks hooks;
        hooks.interface_and_discover = [this](const std::string& requested) {
            return nox::interface_and_discover(store_, registry_, requested);
        };
        hooks.sleep = [](std::chrono::milliseconds) {};
        register_frame_handlers(engine_.methods(), registry_);
        register_device_handlers(engine_.methods(), registry_, hooks);
    }
    ~SimHandlers() override { nox::amp::set_mira_interface(""); }

    nox::model refresh() { return run({{"method", "refresh"}, {"network_interface", "10.99.0.1"}}); }
    int32_t frame_of(const std::string& device_id) {
        auto found = c("frames").find_where("device_id", device_id);
        return found.size() == 1 ? found.front().id() : 0;
    }
    nox::model get(int32_t frame_id) {
        const auto f = frame(frame_id);
        return run({{"method", "get"},
                    {"device_id", f.get("device_id")},
                    {"frame_id", std::to_string(frame_id)},
                    {"channels", f.get("channels")}});
    }
    std::string sim_value(const std::string& id, const std::string& key) {
        const auto lines = sim_->command("get " + id + " " + key);
        return lines.empty() ? "" : lines.front();
    }
    int32_t add_sweep(int32_t channel_id) {
        nox::model sweep;
        sweep.set("channel_id", std::to_string(channel_id));
        sweep.set("data", "1,2,3");
        return c("impedance_sweeps").add_locked(sweep);
    }

    std::unique_ptr<mira_sim::sim_client> sim_;
};

TEST_F(SimHandlers, DiscoveryAddsTwoFramesThenRediscoveryOnlyRefreshesTheClass) {
    auto r = refresh();
    EXPECT_EQ(r.get("method"), "sync");
    EXPECT_EQ(r.get("status"), "start");
    EXPECT_EQ(r.get("direction"), "get");
    EXPECT_EQ(store_.get_settings().get("selected_interface"), "10.99.0.1");

    const int32_t a = frame_of(first), b = frame_of(second);
    ASSERT_NE(a, 0);
    ASSERT_NE(b, 0);
    EXPECT_EQ(frame(a).get("channels"), "1 2 3 4");
    EXPECT_EQ(frame(b).get("channels"), "5 6 7 8");
    EXPECT_EQ(frame(a).get("module_class"), "2");
    EXPECT_EQ(frame(b).get("module_class"), "5");
    EXPECT_EQ(frame(a).get("__origin__"), "discovery");
    for (int32_t id = 5; id <= 8; ++id) {
        EXPECT_EQ(channel(id).get("frame_id"), std::to_string(b));
        EXPECT_EQ(channel(id).get("device_id"), second);
    }
    EXPECT_NE(registry_.lookup(first), nullptr);
    EXPECT_NE(registry_.lookup(second), nullptr);

    // The second amplifier comes back with another class; a name given meanwhile stays.
    nox::model named(b);
    named.set("name", "Balcony");
    c("frames").update(named);
    sim_->expect_ok("remove " + second);
    sim_->expect_ok("add " + second + " kind=2");
    r = refresh();
    EXPECT_EQ(r.get("status"), "done");
    EXPECT_EQ(r.get("method"), "refresh");
    EXPECT_EQ(c("frames").size_locked(), 2u);
    EXPECT_EQ(c("channels").size_locked(), 8u);
    EXPECT_EQ(frame(b).get("module_class"), "2");
    EXPECT_EQ(frame(b).get("name"), "Balcony");
    EXPECT_EQ(frame(b).get("channels"), "5 6 7 8");
}

TEST_F(SimHandlers, DownloadAndUploadAFrame) {
    refresh();
    const int32_t a = frame_of(first);
    ASSERT_NE(a, 0);
    EXPECT_EQ(get(a).get("status"), "done");
    auto f = frame(a);
    EXPECT_EQ(f.get("name"), "Mira " + first);
    EXPECT_EQ(f.get("frame_type"), "mira");
    EXPECT_EQ(f.get("power_status"), "1");
    EXPECT_EQ(f.get("dico_version"), "7.200000");
    EXPECT_EQ(f.get("synced"), "true");
    EXPECT_EQ(f.get("bridged"), "false");
    EXPECT_TRUE(f.has("fuse_type"));
    const auto ids = nox::channel_ids_of(f);
    ASSERT_EQ(ids.size(), 4u);
    for (size_t k = 0; k < 4; ++k) {
        const auto ch = channel(ids[k]);
        const std::string module(1, static_cast<char>('A' + k));
        EXPECT_EQ(ch.get("routing"), "primary");
        EXPECT_EQ(ch.get("mod_label"), "Mod" + module);
        EXPECT_EQ(ch.get("dsp_label"), "Out1");
        EXPECT_EQ(ch.get("routed_name"), "Mod" + module + ".Out1");
        EXPECT_EQ(ch.get("mute"), "0");
        EXPECT_EQ(ch.get("synced"), "true");
        EXPECT_TRUE(ch.has("gain"));
    }

    // Change the name and one mute in the project, then upload.
    nox::model change(a);
    change.set("name", "Stage");
    change.set("synced", "false");
    c("frames").update(change);
    nox::model mute(ids[2]);
    mute.set("mute", "1");
    c("channels").update(mute);
    auto r = run({{"method", "put"}, {"device_id", first}, {"frame_id", std::to_string(a)}});
    EXPECT_EQ(r.get("status"), "done");
    EXPECT_EQ(sim_value(first, "Dev.FrameLabel?"), "ok Stage");
    EXPECT_EQ(sim_value(first, "Dev.Pwr.Mute?3"), "ok 1");
    EXPECT_EQ(frame(a).get("synced"), "true");

    // A silent amplifier fails the download and stores nothing.
    sim_->expect_ok("fault " + first + " silent");
    change.set("synced", "false");
    c("frames").update(change);
    EXPECT_EQ(get(a).get("status"), "fail");
    EXPECT_EQ(frame(a).get("synced"), "false");
}

TEST_F(SimHandlers, AssociationMovesTheAmplifierAndItsSweeps) {
    refresh();
    const int32_t discovered = frame_of(first);
    ASSERT_NE(discovered, 0);
    ASSERT_EQ(get(discovered).get("status"), "done");
    const std::string model_code = frame(discovered).get("model");
    const auto source_channels = nox::channel_ids_of(frame(discovered));
    const int32_t sweep = add_sweep(source_channels[1]);

    const int32_t tesira = add_frame("tesira", model_code);
    EXPECT_EQ(run({{"method", "assoc"}, {"frame_id", std::to_string(tesira)}, {"with", std::to_string(discovered)}})
                  .get("status"),
              "fail");
    EXPECT_NE(log_text().find("Warning: Can not associate frames of different type and model..."), std::string::npos);
    EXPECT_TRUE(c("frames").exists_locked(discovered));
    EXPECT_EQ(frame(tesira).get("device_id"), "");

    const int32_t project = add_frame("mira", model_code);
    EXPECT_EQ(run({{"method", "assoc"}, {"frame_id", std::to_string(project)}, {"with", std::to_string(discovered)}})
                  .get("status"),
              "done");
    EXPECT_FALSE(c("frames").exists_locked(discovered));
    for (auto id : source_channels) EXPECT_FALSE(c("channels").exists_locked(id));
    EXPECT_EQ(frame(project).get("device_id"), first);
    EXPECT_EQ(frame(project).get("module_class"), "2");
    const auto target_channels = channels_of(project);
    EXPECT_EQ(channel(target_channels[1]).get("device_id"), first);
    auto sweeps = c("impedance_sweeps").get_all();
    ASSERT_EQ(sweeps.size(), 1u);
    EXPECT_NE(sweeps[0].id(), sweep);
    EXPECT_EQ(sweeps[0].get("channel_id"), std::to_string(target_channels[1]));

    // The associated frame is transferred with the amplifier of the discovered one.
    EXPECT_EQ(get(project).get("status"), "done");
    EXPECT_EQ(frame(project).get("name"), "Mira " + first);

    EXPECT_EQ(run({{"method", "dissoc"}, {"frame_id", std::to_string(project)}}).get("status"), "done");
    EXPECT_EQ(frame(project).get("device_id"), "");
    for (auto id : target_channels) EXPECT_EQ(channel(id).get("device_id"), "");
    const int32_t back = frame_of(first);
    ASSERT_NE(back, 0);
    EXPECT_EQ(frame(back).get("__origin__"), "discovery");
    const auto back_channels = channels_of(back);
    ASSERT_EQ(back_channels.size(), 4u);
    sweeps = c("impedance_sweeps").get_all();
    ASSERT_EQ(sweeps.size(), 1u);
    EXPECT_EQ(sweeps[0].get("channel_id"), std::to_string(back_channels[1]));
}

TEST_F(SimHandlers, SelectKeyPressAssociates) {
    refresh();
    const int32_t discovered = frame_of(second);
    ASSERT_NE(discovered, 0);
    const int32_t project = add_frame("mira", "");
    sim_->expect_ok("status " + second + " " + std::to_string(1 << 14));
    auto r = run({{"method", "assoc_select"},
                  {"frame_id", std::to_string(project)},
                  {"device_id", first + "," + second},
                  {"with", std::to_string(frame_of(first)) + "," + std::to_string(discovered)}});
    EXPECT_EQ(r.get("status"), "done");
    EXPECT_EQ(frame(project).get("device_id"), second);
}

TEST_F(SimHandlers, NetworkSettingsHandTheChoiceToTheDevices) {
    refresh();
    nox::model settings = store_.get_settings();
    settings.set("selected_interface", "10.99.0.2");
    store_.put_settings(settings);
    const std::string document = nox::network_settings(store_, registry_);
    EXPECT_NE(document.find("\"orva0\":\"10.99.0.1\""), std::string::npos) << document;
    EXPECT_NE(document.find("\"selected_ip\":\"10.99.0.2\""), std::string::npos) << document;
    EXPECT_EQ(nox::amp::get_mira_interface(), "10.99.0.2");
    EXPECT_NE(log_text().find("Updating Mira devices interface to: \"10.99.0.2\""), std::string::npos);
}

}  // namespace
}  // namespace handlers_test
