#include "backend/requests/monitoring.h"

#include "backend/amp/mira_family.h"
#include "backend/amp/tesira_family.h"

#include "tests/monitor/monitored_device.h"
#include "tests/sync/sync_fixture.h"

namespace {

using namespace sync_test;
using monitor_test::entry;
using monitor_test::monitored_device;
using nox::model;

TEST(MonitorTables, ReasonWordsBecomeTexts) {
    const auto& map = nox::monitor_block_map();
    ASSERT_EQ(map.size(), 27u);
    EXPECT_EQ(map[1].key, "mon_frame_reason");
    EXPECT_TRUE(map[1].reason);
    EXPECT_EQ(map[2 + 6 * 3 + 4].key, "mon_signal_status");
    EXPECT_EQ(map[2 + 6 * 3 + 4].channel, 3);
    EXPECT_EQ(map[26].key, "mon_dirty_status");
}

TEST(MonitorTables, AmpAndSignalSummaryRanking) {
    using P = nox::monitor_pick;
    EXPECT_EQ(nox::summarise_amp_or_signal({P{0, ""}, P{3, "x"}, P{0, ""}, P{0, ""}}).status, 3);
    EXPECT_EQ(nox::summarise_amp_or_signal({P{3, ""}, P{0, ""}, P{0, ""}, P{0, ""}}).status, 3);
    const P high = nox::summarise_amp_or_signal({P{1, "a"}, P{2, "b"}, P{1, "c"}, P{2, "d"}});
    EXPECT_EQ(high.status, 2);
    EXPECT_EQ(high.reason, "d");
    EXPECT_EQ(nox::summarise_amp_or_signal({P{3, "a"}, P{1, "b"}, P{3, "c"}, P{0, ""}}).reason, "b");
    EXPECT_EQ(nox::summarise_amp_or_signal({}).status, 0);
}

TEST(MonitorTables, LoadSummaryRanking) {
    using P = nox::monitor_pick;
    const P none = nox::summarise_load({P{3, ""}, P{3, ""}, P{3, ""}, P{3, ""}});
    EXPECT_EQ(none.status, 3);
    EXPECT_EQ(none.reason, "");
    EXPECT_EQ(nox::summarise_load({P{3, ""}, P{0, ""}, P{3, ""}, P{3, ""}}).status, 0);
    EXPECT_EQ(nox::summarise_load({P{0, ""}, P{1, "w"}, P{0, ""}, P{3, ""}}).reason, "w");
    EXPECT_EQ(nox::summarise_load({P{2, "f"}, P{1, "w"}, P{0, ""}, P{3, ""}}).status, 2);
}

TEST(MonitorTables, LiveKeysAreTheReadingsPlusTheFamilysOwnSettings) {
    const auto& mira = nox::amp::mira_family();
    const auto& tesira = nox::amp::tesira_family();
    EXPECT_TRUE(nox::live_key("temperature", tesira));
    EXPECT_TRUE(nox::live_key("mon_chs_load_reason", tesira));
    EXPECT_FALSE(nox::live_key("attenuation", tesira));
    EXPECT_TRUE(nox::live_key("attenuation", mira));
    EXPECT_FALSE(nox::live_key("t1_factor", mira));
}

TEST(MonitorTables, ParameterTexts) {
    auto e = entry("temperature", 0);
    EXPECT_EQ(nox::parameter_text(e, nox::amp::param_value{std::int32_t{41}}), "41");
    EXPECT_EQ(nox::parameter_text(e, nox::amp::param_value{-6.25f}), "-6.250000");
}

// The `get_monitor` handler on one frame with four channels, driven on the test thread;
// the transactor applies its writes.
class Monitoring : public engine_fixture {
protected:
    Monitoring() {
        device_ = std::make_shared<monitored_device>(clock_);
        device_->type = "tesira";
        device_->list1 = {entry("temperature_psm"), entry("temperature", 0), entry("temperature", 1)};
        device_->values[{"temperature_psm", -1}] = std::int32_t{35};
        device_->values[{"temperature", 0}] = std::int32_t{30};
        device_->values[{"temperature", 1}] = std::int32_t{31};
        nox::register_monitoring_handlers(engine_.methods(), {[this](const std::string& id) {
                                              return id == "dev" ? device_ : nullptr;
                                          }});
        frame_ = add_frame("dev", "tesira", "Stage");
        store_.get_settings();
        start_engine();
    }

    // Runs one monitoring read and waits until its writes are stored.
    model run() {
        model r(500 + ++runs_);
        r.set("method", "get_monitor");
        r.set("status", "wait");
        r.set("frame_id", std::to_string(frame_));
        r.set("device_id", "dev");
        engine_.dispatch(r);
        flush();
        return r;
    }
    void flush() {
        const std::string mark = std::to_string(++flushes_);
        model m(1);
        m.set("flush_mark", mark);
        engine_.enqueue_write("settings", m);
        ASSERT_TRUE(notifier_.wait_until([&] { return get("settings", 1).get("flush_mark") == mark; }));
    }
    model frame() { return get("frames", frame_); }
    model channel(int k) { return get("channels", channels_of(frame_)[k]); }

    std::shared_ptr<nox::amp::manual_clock> clock_ = std::make_shared<nox::amp::manual_clock>();
    std::shared_ptr<monitored_device> device_;
    int32_t frame_ = 0;
    int runs_ = 0;
    int flushes_ = 0;
};

TEST_F(Monitoring, WritesStatusesReasonsSummariesAndReadings) {
    auto& w = device_->monitor_words;
    w.assign(27, 0);
    w[0] = 1;
    w[1] = 47;                            // frame reason beyond the table
    w[2] = 2, w[3] = 21;                  // channel 0 amp: TEMP FAULT
    w[4] = 1, w[5] = 22;                  // channel 0 load: NO LOAD
    w[2 + 6 * 3 + 0] = 2, w[2 + 6 * 3 + 1] = 46;  // channel 3 amp, empty reason
    const model r = run();
    EXPECT_EQ(r.get("status"), "done");

    const model f = frame();
    EXPECT_EQ(f.get("mon_network_status"), "online");
    EXPECT_EQ(f.get("mon_frame_status"), "1");
    EXPECT_EQ(f.get("mon_frame_reason"), "Unknown: 47");
    EXPECT_EQ(f.get("mon_chs_amp_status"), "2");
    EXPECT_EQ(f.get("mon_chs_amp_reason"), "");  // the last replacement was channel 3
    EXPECT_EQ(f.get("mon_chs_load_status"), "1");
    EXPECT_EQ(f.get("mon_chs_load_reason"), "NO LOAD");
    EXPECT_EQ(f.get("power_status"), "1");
    EXPECT_EQ(f.get("dico_version"), "2.000000");
    EXPECT_EQ(f.get("min_req_dico_version"), "1.000000");
    EXPECT_EQ(f.get("temperature_psm"), "35");
    EXPECT_FALSE(f.has("mon_dirty_status"));

    const model c0 = channel(0);
    EXPECT_EQ(c0.get("mon_amp_status"), "2");
    EXPECT_EQ(c0.get("mon_amp_reason"), "TEMP FAULT");
    EXPECT_EQ(c0.get("mon_load_reason"), "NO LOAD");
    EXPECT_EQ(c0.get("mon_frame_reason"), "Unknown: 47");
    EXPECT_EQ(c0.get("mon_network_status"), "online");
    EXPECT_EQ(c0.get("temperature"), "30");
    EXPECT_EQ(channel(1).get("temperature"), "31");
    EXPECT_EQ(channel(3).get("mon_amp_reason"), "");
}

TEST_F(Monitoring, PowerOffResetsTheStatuses) {
    device_->monitor_words.assign(27, 0);
    device_->power = 0;
    run();
    EXPECT_EQ(frame().get("mon_frame_status"), "3");
    EXPECT_EQ(channel(2).get("mon_load_status"), "3");
    EXPECT_EQ(frame().get("mon_chs_load_status"), "3");
    EXPECT_EQ(frame().get("power_status"), "0");
}

TEST_F(Monitoring, LiveChangeIsWrittenWithoutLosingSync) {
    run();
    for (int32_t id : channels_of(frame_)) set("channels", id, "synced", "true");
    set("frames", frame_, "synced", "true");
    device_->values[{"temperature", 0}] = std::int32_t{44};
    run();
    EXPECT_EQ(channel(0).get("temperature"), "44");
    EXPECT_EQ(channel(0).get("synced"), "true");
    EXPECT_EQ(log_count("**NOT IN SYNC**"), 0u);
    EXPECT_GE(log_count("DIFF: temperature (44, 30)"), 1u);
}

TEST_F(Monitoring, NonLiveChangeAfterDirtyFlagMarksUnsynced) {
    device_->list0 = {entry("attenuation", 0)};
    device_->values[{"attenuation", 0}] = -12.0f;
    run();
    for (int32_t id : channels_of(frame_)) set("channels", id, "synced", "true");
    set("frames", frame_, "synced", "true");
    set("channels", channels_of(frame_)[0], "attenuation", "-6.000000");

    device_->monitor_words.assign(27, 0);
    device_->monitor_words[26] = 1;
    run();
    EXPECT_EQ(channel(0).get("attenuation"), "-12.000000");
    EXPECT_EQ(log_count("non-live param: attenuation"), 1u);
    EXPECT_EQ(log_count("**NOT IN SYNC**"), 1u);
    EXPECT_EQ(frame().get("synced"), "false");
    for (int k = 0; k < 4; ++k) EXPECT_EQ(channel(k).get("synced"), "false") << k;
    EXPECT_FALSE(frame().has("mon_dirty_status"));
}

TEST_F(Monitoring, NonLiveChangeWithoutDirtyFlagKeepsSync) {
    device_->list1.push_back(entry("t1_factor", 0));
    device_->values[{"t1_factor", 0}] = 2.0f;
    set("frames", frame_, "synced", "true");
    run();
    EXPECT_EQ(channel(0).get("t1_factor"), "2.000000");
    EXPECT_EQ(frame().get("synced"), "true");
    EXPECT_EQ(log_count("**NOT IN SYNC**"), 0u);
}

TEST_F(Monitoring, ChangesCommittedDuringTheReadAreNotReverted) {
    run();
    const int32_t c0 = channels_of(frame_)[0];
    device_->values[{"temperature", 0}] = std::int32_t{50};
    device_->during_monitor_read = [&] {
        // A user's PUT and a calibration result land while the amplifier is being read.
        set("frames", frame_, "name", "Renamed");
        set("channels", c0, "last_calibrated", "2026-12-08");
        set("channels", c0, "gain", "3.000000");
    };
    run();
    EXPECT_EQ(frame().get("name"), "Renamed");
    EXPECT_EQ(channel(0).get("last_calibrated"), "2026-12-08");
    EXPECT_EQ(channel(0).get("gain"), "3.000000");
    EXPECT_EQ(channel(0).get("temperature"), "50");
}

TEST_F(Monitoring, ValuesStillOnTheirWayToTheAmplifierAreNotWrittenOver) {
    device_->list1.push_back(entry("gain", 0));
    device_->values[{"gain", 0}] = 1.0f;
    run();
    const int32_t c0 = channels_of(frame_)[0];
    ASSERT_EQ(channel(0).get("gain"), "1.000000");

    // A user's edit is stored and its amplifier update waits in the queue: the amplifier
    // still says 1, the store says 3, and the pass must not put 1 back.
    set("channels", c0, "gain", "3.000000");
    model update;
    update.set("method", "put_diffs");
    update.set("status", "wait");
    update.set("device_id", "dev");
    update.set("frame_id", std::to_string(frame_));
    update.set("channel_id", std::to_string(c0));
    update.set("gain", "3.000000");
    const int32_t update_id = c("requests").add_locked(update);
    device_->values[{"temperature", 0}] = std::int32_t{41};
    run();
    EXPECT_EQ(channel(0).get("gain"), "3.000000");
    EXPECT_EQ(channel(0).get("temperature"), "41");  // the rest of the pass is written

    // Once carried out, the amplifier's value is the store's again; a later change on the
    // amplifier itself is taken.
    c("requests").remove_locked(update_id);
    device_->values[{"gain", 0}] = 5.0f;
    run();
    EXPECT_EQ(channel(0).get("gain"), "5.000000");
}

TEST_F(Monitoring, FrameThatChangedAmplifierDuringTheReadIsNotWritten) {
    run();
    device_->values[{"temperature", 0}] = std::int32_t{60};
    // A new project gave the frame id to another amplifier while this one was read.
    device_->during_monitor_read = [&] { set("frames", frame_, "device_id", "other"); };
    EXPECT_EQ(run().get("status"), "fail");
    EXPECT_EQ(channel(0).get("temperature"), "30");
}

TEST_F(Monitoring, SilentAmplifierGoesOfflineAndIsHeldOff) {
    run();
    ASSERT_EQ(frame().get("mon_network_status"), "online");
    device_->silent = true;
    device_->exchanges = 0;
    model r = run();
    // Three time-outs make it unreachable; the rest of the pass is skipped.
    EXPECT_EQ(device_->exchanges.load(), 3);
    EXPECT_EQ(frame().get("mon_network_status"), "offline");
    for (int k = 0; k < 4; ++k) EXPECT_EQ(channel(k).get("mon_network_status"), "offline");
    EXPECT_EQ(frame().get("mon_frame_status"), "3");
    EXPECT_EQ(frame().get("temperature_psm"), "35");  // last known reading stays

    // Within 15 s of the last attempt nothing is sent and the request fails at once.
    clock_->advance(14999);
    r = run();
    EXPECT_EQ(r.get("status"), "fail");
    EXPECT_EQ(device_->exchanges.load(), 3);

    // After the hold-off one attempt is made.
    clock_->advance(2);
    r = run();
    EXPECT_EQ(device_->exchanges.load(), 4);
    EXPECT_EQ(frame().get("mon_network_status"), "offline");

    // Answering again brings it back online.
    device_->silent = false;
    clock_->advance(15001);
    r = run();
    EXPECT_EQ(r.get("status"), "done");
    EXPECT_EQ(frame().get("mon_network_status"), "online");
}

TEST_F(Monitoring, OldFirmwareIsDetectedOnceAndRefusesWrites) {
    device_->minimum_firmware = 7.0f;
    device_->current_firmware = 6.5f;
    run();
    EXPECT_EQ(notifier_.count("old_fw_detected"), 1u);
    EXPECT_TRUE(device_->old_firmware());
    EXPECT_EQ(device_->write_mute(0, 1), nox::amp::result_refused);
    run();
    EXPECT_EQ(notifier_.count("old_fw_detected"), 1u);

    device_->current_firmware = 7.0f;
    run();
    EXPECT_FALSE(device_->old_firmware());
    EXPECT_EQ(device_->write_mute(0, 1), 0);
}

TEST_F(Monitoring, UnreadableFirmwareVersionFailsWithoutWriting) {
    device_->current_firmware = 0.0f;
    device_->monitor_words.assign(27, 0);
    device_->monitor_words[0] = 2;
    const model r = run();
    EXPECT_EQ(r.get("status"), "fail");
    EXPECT_FALSE(frame().has("mon_frame_status"));
}

TEST_F(Monitoring, ABusyAmplifierIsSkippedInsteadOfWaitedFor) {
    // Another request (a calibration) drives the amplifier: the read does not wait.
    {
        const auto busy = device_->lock_operations();
        const model r = run();
        EXPECT_EQ(r.get("status"), "fail");
    }
    EXPECT_FALSE(frame().has("mon_network_status"));
    EXPECT_EQ(log_count("monitoring skipped, amplifier busy: dev"), 1u);
    EXPECT_EQ(run().get("status"), "done");
    EXPECT_EQ(frame().get("mon_network_status"), "online");
}

TEST_F(Monitoring, VanishedChannelOrUnknownDeviceFails) {
    c("channels").remove_locked(channels_of(frame_)[2]);
    EXPECT_EQ(run().get("status"), "fail");
    EXPECT_EQ(log_count("model not found for monitor request (likely cause:"), 1u);

    model r(900);
    r.set("method", "get_monitor");
    r.set("status", "wait");
    r.set("frame_id", std::to_string(frame_));
    r.set("device_id", "other");
    engine_.dispatch(r);
    EXPECT_EQ(r.get("status"), "fail");
}

}  // namespace
