// Synchronisation and monitoring against simulated Mira amplifiers, inside the network
// sandbox (orva0 10.99.0.1 <-> orva1 10.99.0.2; the simulator listens on 0.0.0.0:6016):
// the request engine, the device registry with Mira devices, the frame reader and writer,
// the sync handlers and the monitoring read, all in this process.
#include "backend/amp/network_interfaces.h"
#include "backend/model/device_registry.h"
#include "backend/requests/device_wiring.h"
#include "backend/requests/frame_transfer.h"
#include "backend/requests/monitoring.h"
#include "backend/requests/sync_handlers.h"
#include "tests/sync/sync_fixture.h"
#include "tools/mira_sim/sim_client.h"

namespace {

using namespace sync_test;
using nox::model;

const std::string first = "0000abcd:00000001";
const std::string second = "0000abcd:00000002";

class SimSync : public engine_fixture {
protected:
    SimSync()
        : sim_(mira_sim::sim_client::default_program(),
               std::vector<std::string>{"--amp", first + ",kind=2", "--amp", second + ",kind=2"}) {
        nox::amp::set_mira_interface("10.99.0.1");
        a_ = add_frame(first, "mira", "Amp");
        b_ = add_frame(second, "mira", "Amp");
        set("frames", a_, "module_class", "2");
        set("frames", b_, "module_class", "2");
        registry_.set_hooks(nox::production_registry_hooks(engine_));
        registry_.rebuild_devices(false);
        nox::register_frame_handlers(engine_.methods(), registry_);
        nox::register_monitoring_handlers(engine_.methods(),
                                          {[this](const std::string& id) { return registry_.lookup(id); }});
        sync_.register_handlers(engine_.methods());
        start_engine();
    }
    ~SimSync() override {
        stop_engine();
        nox::amp::set_mira_interface("");
    }

    model sync(const std::string& direction, std::map<std::string, std::string> extra = {}) {
        extra["method"] = "sync";
        extra["status"] = "start";
        extra["direction"] = direction;
        return wait_final(post(extra).id(), 60s);
    }

    mira_sim::sim_client sim_;
    nox::device_registry registry_{store_};
    nox::sync_service sync_;
    int32_t a_ = 0, b_ = 0;
};

TEST_F(SimSync, RenamedMiraChannelIsReportedWithRoutedNames) {
    model r = sync("get");
    ASSERT_EQ(r.get("status"), "done") << log_text();
    EXPECT_EQ(r.get("any_disconnected"), "false");
    EXPECT_EQ(get("channels", channels_of(a_)[0]).get("routed_name"), "ModA.Out1");

    // Nothing changed on the amplifiers: no report.
    r = sync("get");
    EXPECT_EQ(r.get("status"), "done");
    EXPECT_FALSE(r.has("diff_result")) << r.get("diff_result");

    // Output 1 of module A (channel 1 of the first amplifier) gets a new label.
    sim_.expect_ok("set " + first + " Mod.Out.Label?A 1|Stage");
    r = sync("get");
    EXPECT_EQ(r.get("status"), "done");
    EXPECT_EQ(r.get("diff_result"),
              "[[\"" + first + "\",\"0\",\"name\",\"ModA.Out1\",\"ModA.Stage\",\"Mira " + first + "\",\"Mira " + first +
                  "\",\"ModA.Out1\",\"ModA.Stage\"] ]");
}

TEST_F(SimSync, RollbackRestoresTheProjectAndUploadsIt) {
    ASSERT_EQ(sync("get").get("status"), "done");
    sim_.expect_ok("set " + first + " Dev.Fuse.Type?|2");
    const model download = sync("get");
    ASSERT_NE(download.get("diff_result").find("\"fuse_type\",\"1\",\"2\""), std::string::npos)
        << download.get("diff_result");
    EXPECT_EQ(get("frames", a_).get("fuse_type"), "2");

    const model rollback = wait_final(post({{"method", "sync"},
                                            {"status", "rollback"},
                                            {"current_config", download.at("current_config")},
                                            {"sync_request_id", std::to_string(download.id())}})
                                          .id(),
                                      60s);
    EXPECT_EQ(rollback.get("status"), "done") << log_text();
    EXPECT_EQ(rollback.get("direction"), "put");
    EXPECT_NE(rollback.get("transaction_id"), download.get("transaction_id"));
    EXPECT_EQ(get("frames", a_).get("fuse_type"), "1");
    // The upload wrote the restored value back to the amplifier.
    EXPECT_EQ(sim_.command("get " + first + " Dev.Fuse.Type?").front(), "ok 1");
}

TEST_F(SimSync, ExcludedFrameIsNotRead) {
    set("frames", b_, "frame_excluded", "1");
    const model r = sync("get");
    EXPECT_EQ(r.get("status"), "done");
    EXPECT_EQ(requests_where("transaction_id", r.at("transaction_id")).size(), 2u);
    EXPECT_EQ(get("frames", a_).get("name"), "Mira " + first);
    EXPECT_EQ(get("frames", b_).get("name"), "Amp");
}

TEST_F(SimSync, MonitoringReadsLiveStateAndMarksASilentAmplifierOffline) {
    model r = sync("get_monitor");
    ASSERT_EQ(r.get("status"), "done") << log_text();
    EXPECT_EQ(get("frames", a_).get("mon_network_status"), "online");
    EXPECT_EQ(get("frames", a_).get("power_status"), "1");
    EXPECT_EQ(get("frames", a_).get("dico_version"), "7.200000");
    EXPECT_EQ(get("channels", channels_of(a_)[1]).get("temperature"), "46");
    EXPECT_EQ(get("frames", b_).get("mon_network_status"), "online");

    sim_.expect_ok("fault " + second + " silent");
    const auto started = std::chrono::steady_clock::now();
    r = sync("get_monitor");
    // Three time-outs, then the rest of the pass is skipped.
    EXPECT_LT(std::chrono::steady_clock::now() - started, 6s);
    EXPECT_EQ(get("frames", b_).get("mon_network_status"), "offline");
    EXPECT_EQ(get("channels", channels_of(b_)[3]).get("mon_network_status"), "offline");
    EXPECT_EQ(get("frames", a_).get("mon_network_status"), "online");

    // Held off: the next cycle does not wait for it.
    const auto again = std::chrono::steady_clock::now();
    r = sync("get_monitor");
    EXPECT_EQ(r.get("status"), "fail");
    EXPECT_LT(std::chrono::steady_clock::now() - again, 1s);
}

TEST_F(SimSync, OldFirmwareIsDetectedAndUploadsAreRefused) {
    ASSERT_EQ(sync("get").get("status"), "done");  // the project gets values to write
    sim_.expect_ok("set " + first + " Amp.Version.SWFID?|6.1");
    model r = sync("get_monitor");
    EXPECT_EQ(r.get("status"), "done");
    EXPECT_EQ(notifier_.count("old_fw_detected"), 1u);
    EXPECT_EQ(get("frames", a_).get("dico_version"), "6.100000");
    ASSERT_NE(registry_.lookup(first), nullptr);
    EXPECT_TRUE(registry_.lookup(first)->old_firmware());
    EXPECT_FALSE(registry_.lookup(second)->old_firmware());

    r = sync("put", {{"frame_id", std::to_string(a_)}});
    EXPECT_EQ(r.get("status"), "fail");
    r = sync("put", {{"frame_id", std::to_string(b_)}});
    EXPECT_EQ(r.get("status"), "done");
}

}  // namespace
