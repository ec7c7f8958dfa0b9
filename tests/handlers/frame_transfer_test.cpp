// The frame reader and writer on a scripted device: what lands in the project, the order
// of the device calls, the steps whose failure ends a transfer and those whose failure is
// ignored, and a silent amplifier giving up early.
#include "backend/amp/converters.h"
#include "backend/requests/frame_transfer.h"
#include "tests/fakes/fake_device.h"
#include "tests/handlers/handler_fixture.h"

namespace handlers_test {
namespace {

using nox::testing::fake_device;

nox::amp::param_entry entry(const std::string& key, int per_channel, int channel, bool read_only = false) {
    nox::amp::param_entry e;
    e.key = key;
    e.per_channel = per_channel;
    e.channel = channel;
    e.read_only = read_only;
    return e;
}

class FrameTransfer : public handler_fixture {
protected:
    FrameTransfer() {
        nox::device_registry::hooks hooks;
        hooks.make_device = [this](const nox::model&) -> std::shared_ptr<nox::amp::device> { return dev_; };
        registry_.set_hooks(hooks);
        register_frame_handlers(engine_.methods(), registry_);
        frame_id_ = add_frame("mira", "28", "0000abcd:00000001");
        registry_.rebuild_devices(false);
        // Two channel settings, one frame setting, one read-only frame value.
        for (int k = 0; k < 4; ++k) dev_->parameters.push_back(entry("gain", 1, k));
        dev_->parameters.push_back(entry("t1_factor", 1, 0));
        dev_->parameters.push_back(entry("fuse_type", 0, 0));
        dev_->parameters.push_back(entry("temperature_psm", 0, 0, true));
        dev_->param_values["gain#2"] = 2.5f;
        dev_->param_values["fuse_type"] = std::int32_t{3};
    }
    nox::model get() {
        std::string ids;
        for (auto id : channels_of(frame_id_)) ids += (ids.empty() ? "" : " ") + std::to_string(id);
        return run({{"method", "get"},
                    {"device_id", "0000abcd:00000001"},
                    {"frame_id", std::to_string(frame_id_)},
                    {"channels", ids}});
    }
    nox::model put() {
        return run({{"method", "put"}, {"device_id", "0000abcd:00000001"}, {"frame_id", std::to_string(frame_id_)}});
    }
    nox::model ch(size_t k) { return channel(channels_of(frame_id_).at(k)); }

    std::shared_ptr<fake_device> dev_ = std::make_shared<fake_device>();
    int32_t frame_id_ = 0;
};

TEST_F(FrameTransfer, DownloadStoresWhatTheAmplifierReports) {
    dev_->mutes = {0, 1, 0, 1};
    dev_->bridge_modes = {1, 0, 0, 0};
    dev_->monitor_words.assign(27, 0);
    dev_->monitor_words[0] = 2;
    dev_->monitor_words[1] = 21;   // "TEMP FAULT"
    dev_->monitor_words[2 + 6] = 1;  // channel 1 amp status
    dev_->monitor_words[26] = 1;
    dev_->set_pilot_support(true, false);
    EXPECT_EQ(get().get("status"), "done");
    EXPECT_EQ(notifier_.count("sigupdate"), 1u);

    const auto f = frame(frame_id_);
    EXPECT_EQ(f.get("name"), "Amp");
    EXPECT_EQ(f.get("channel_names"), "A B C D");
    EXPECT_EQ(f.get("model_name"), "M-4");
    EXPECT_EQ(f.get("power_status"), "1");
    EXPECT_EQ(f.get("bridged"), "true");
    EXPECT_EQ(f.get("dico_version"), "2.000000");
    EXPECT_EQ(f.get("min_req_dico_version"), "1.000000");
    EXPECT_EQ(f.get("ptg2_support"), "true");
    EXPECT_EQ(f.get("mon_frame_status"), "2");
    EXPECT_EQ(f.get("mon_frame_reason"), "TEMP FAULT");
    EXPECT_EQ(f.get("mon_dirty_status"), "1");
    EXPECT_EQ(f.get("fuse_type"), "3");
    EXPECT_EQ(f.get("temperature_psm"), "0.000000");
    EXPECT_EQ(f.get("synced"), "true");
    for (size_t k = 0; k < 4; ++k) {
        const auto c = ch(k);
        EXPECT_EQ(c.get("frame_name"), "Amp");
        EXPECT_EQ(c.get("name"), std::string(1, static_cast<char>('A' + k)));
        EXPECT_EQ(c.get("model"), "28");
        EXPECT_EQ(c.get("frame_type"), "mira");
        EXPECT_EQ(c.get("mute"), k % 2 ? "1" : "0");
        EXPECT_EQ(c.get("bridged"), k == 0 ? "true" : "false");
        EXPECT_EQ(c.get("controls_bridge"), k % 2 == 0 ? "true" : "false");
        EXPECT_EQ(c.get("gain"), k == 2 ? "2.500000" : "0.000000");
        EXPECT_EQ(c.get("synced"), "true");
    }
    EXPECT_EQ(ch(1).get("mon_amp_status"), "1");
    EXPECT_EQ(ch(0).get("mon_amp_reason"), "");

    const std::vector<std::string> head = {"read_frame_name", "read_channel_names", "read_model", "read_power",
                                           "read_mute 0", "read_mute 1", "read_mute 2", "read_mute 3",
                                           "read_bridge_mode 0", "read_bridge_mode 1", "read_bridge_mode 2",
                                           "read_bridge_mode 3", "read_monitor", "parameter_list"};
    const auto calls = dev_->call_log();
    ASSERT_GE(calls.size(), head.size());
    EXPECT_EQ(std::vector<std::string>(calls.begin(), calls.begin() + static_cast<long>(head.size())), head);
    EXPECT_EQ(dev_->count_calls("read_param"), dev_->parameters.size());
}

TEST_F(FrameTransfer, DownloadEndsAtNamesModelPowerOrParameterList) {
    for (const std::string op : {"read_frame_name", "read_channel_names", "read_model", "read_power", "parameter_list"}) {
        SCOPED_TRACE(op);
        dev_->results = {{op, 13}};
        notifier_.clear();
        EXPECT_EQ(get().get("status"), "fail");
        EXPECT_EQ(notifier_.count("sigupdate"), 0u);
        EXPECT_FALSE(frame(frame_id_).has("synced"));
        EXPECT_FALSE(frame(frame_id_).has("name"));
    }
}

TEST_F(FrameTransfer, DownloadIgnoresFailuresOfTheOtherSteps) {
    dev_->results = {{"read_mute 1", 8}, {"read_bridge_mode 2", 8}, {"read_monitor", 13}, {"read_param gain", 8}};
    EXPECT_EQ(get().get("status"), "done");
    EXPECT_EQ(dev_->count_calls("read_mute"), 2u);  // the rest of the step is skipped
    EXPECT_EQ(dev_->count_calls("read_bridge_mode"), 3u);
    const auto f = frame(frame_id_);
    EXPECT_FALSE(f.has("bridged"));  // the bridging step did not complete
    EXPECT_FALSE(f.has("mon_frame_status"));
    EXPECT_EQ(f.get("fuse_type"), "3");
    EXPECT_EQ(ch(0).get("mute"), "0");
    EXPECT_FALSE(ch(1).has("mute"));
    EXPECT_FALSE(ch(2).has("gain"));
    EXPECT_EQ(ch(0).get("t1_factor"), "0.000000");
    EXPECT_EQ(f.get("synced"), "true");
}

TEST_F(FrameTransfer, DownloadStoresOddAmplifierTextsReadably) {
    // A Latin-1 byte and a control character cannot be stored as they are; the download
    // must still land instead of being dropped by the store.
    dev_->frame_name = "Caf\xe9 \x01stage";
    dev_->channel_names = {"A", "B\xff", "C", "D"};
    EXPECT_EQ(get().get("status"), "done");
    EXPECT_EQ(frame(frame_id_).get("name"), "Caf? ?stage");
    EXPECT_EQ(frame(frame_id_).get("channel_names"), "A B? C D");
    EXPECT_EQ(ch(1).get("name"), "B?");
    EXPECT_EQ(ch(1).get("frame_name"), "Caf? ?stage");
    EXPECT_EQ(frame(frame_id_).get("synced"), "true");
}

TEST_F(FrameTransfer, RoutingAndLabelsOnlyWhereTheFamilyHasThem) {
    EXPECT_EQ(get().get("status"), "done");
    EXPECT_FALSE(ch(0).has("routing"));
    EXPECT_FALSE(ch(0).has("mod_label"));
    EXPECT_FALSE(ch(0).has("routed_name"));

    dev_->routes = true;
    dev_->route_matrix[6] = "X X - -";  // B1 drives channels 1 and 2 (read after A1)
    EXPECT_EQ(get().get("status"), "done");
    EXPECT_EQ(ch(0).get("routing"), "primary");
    EXPECT_EQ(ch(1).get("routing"), "secondary");
    EXPECT_EQ(ch(3).get("routing"), "primary");
    EXPECT_EQ(ch(2).get("mod_label"), "Mod3");
    EXPECT_EQ(ch(2).get("dsp_label"), "Out3");
    EXPECT_EQ(ch(2).get("routed_name"), "Out3");
    const auto calls = dev_->call_log();
    const auto matrix = std::find(calls.begin(), calls.end(), "read_route_matrix");
    ASSERT_NE(matrix, calls.end());
    EXPECT_EQ(*(matrix + 1), "read_routing");
    EXPECT_EQ(*(matrix + 2), "read_channel_labels 0");
}

TEST_F(FrameTransfer, DownloadOfAnUnpoweredAmplifierSkipsTheMonitorBlock) {
    dev_->power = 0;
    EXPECT_EQ(get().get("status"), "done");
    EXPECT_EQ(dev_->count_calls("read_monitor"), 0u);
    EXPECT_EQ(frame(frame_id_).get("power_status"), "0");
}

TEST_F(FrameTransfer, SilentAmplifierEndsThePassOnceUnreachable) {
    // Every exchange after the power read times out; the third failure makes the device
    // unreachable, after which no parameter is asked for one by one.
    for (const std::string op : {"read_mute", "read_bridge_mode", "read_monitor", "read_param"})
        dev_->results[op] = 13;
    dev_->failures_to_unreachable = 3;
    for (int k = 0; k < 40; ++k) dev_->parameters.push_back(entry("profile", 1, k % 4));
    EXPECT_EQ(get().get("status"), "fail");
    EXPECT_EQ(dev_->count_calls("read_param"), 0u);
    EXPECT_EQ(dev_->count_calls("parameter_list"), 0u);
    EXPECT_FALSE(frame(frame_id_).has("synced"));

    // A device that goes silent during the parameters: the remaining entries are skipped.
    auto fresh = std::make_shared<fake_device>();
    fresh->parameters = dev_->parameters;
    fresh->results = {{"read_param", 13}};
    fresh->failures_to_unreachable = 3;
    dev_ = fresh;
    registry_.rebuild_devices(false);
    EXPECT_EQ(get().get("status"), "fail");
    EXPECT_EQ(dev_->count_calls("read_param"), 3u);
}

TEST_F(FrameTransfer, RequestsWithoutTheirDeviceFail) {
    auto r = run({{"method", "get"}, {"device_id", "0000abcd:00000099"}, {"frame_id", std::to_string(frame_id_)}});
    EXPECT_EQ(r.get("status"), "fail");
    EXPECT_TRUE(dev_->call_log().empty());
    EXPECT_FALSE(frame(frame_id_).has("name"));

    r = run({{"method", "put"}, {"frame_id", std::to_string(frame_id_)}});
    EXPECT_EQ(r.get("status"), "fail");
    EXPECT_NE(r.get("error"), "");
    EXPECT_TRUE(dev_->call_log().empty());

    r = run({{"method", "get"}, {"device_id", "0000abcd:00000001"}});  // no frame_id
    EXPECT_EQ(r.get("status"), "fail");
    EXPECT_NE(r.get("error"), "");
}

TEST_F(FrameTransfer, UploadWritesNamesThenWritableParametersInListOrder) {
    nox::model f(frame_id_);
    f.set("name", "Stage left");
    f.set("channel_names", "L R Sub Fill");
    f.set("fuse_type", "2");
    f.set("temperature_psm", "40");
    c("frames").update(f);
    const auto ids = channels_of(frame_id_);
    for (size_t k = 0; k < 4; ++k) {
        nox::model change(ids[k]);
        if (k != 3) change.set("gain", std::to_string(k));  // channel 3 lacks gain
        c("channels").update(change);
    }
    EXPECT_EQ(put().get("status"), "done");

    const auto calls = dev_->call_log();
    const std::vector<std::string> expected = {"write_channel_names", "write_frame_name", "parameter_list",
                                               "write_param gain",    "write_param gain", "write_param gain",
                                               "write_param fuse_type"};
    EXPECT_EQ(calls, expected);
    EXPECT_EQ(dev_->channel_names, (std::vector<std::string>{"L", "R", "Sub", "Fill"}));
    EXPECT_EQ(dev_->frame_name, "Stage left");
    EXPECT_EQ(dev_->written(), (std::vector<std::pair<std::string, std::string>>{
                                   {"gain", "0"}, {"gain", "1"}, {"gain", "2"}, {"fuse_type", "2"}}));
    EXPECT_EQ(frame(frame_id_).get("synced"), "true");
    for (size_t k = 0; k < 4; ++k) EXPECT_EQ(ch(k).get("synced"), "true");

    // A missing gain is reported, a missing pilot-tone factor is not.
    const std::string log = log_text();
    EXPECT_NE(log.find("Warning: Parameter gain missing from data model. Should add default value?"),
              std::string::npos);
    EXPECT_EQ(log.find("Parameter t1_factor missing"), std::string::npos);
    EXPECT_NE(log.find("writing frame data to amp"), std::string::npos);
}

TEST_F(FrameTransfer, UploadEndsAtTheFirstRefusedParameter) {
    const auto ids = channels_of(frame_id_);
    for (auto id : ids) {
        nox::model change(id);
        change.set("gain", "1");
        c("channels").update(change);
    }
    dev_->results = {{"write_param gain", 8}};
    EXPECT_EQ(put().get("status"), "fail");
    EXPECT_EQ(dev_->count_calls("write_param"), 1u);
    EXPECT_FALSE(frame(frame_id_).has("synced"));
    EXPECT_NE(log_text().find("ERR:8"), std::string::npos);

    // Name writes failing do not end an upload; a failing parameter list does.
    dev_->results = {{"write_frame_name", 13}, {"write_channel_names", 13}};
    EXPECT_EQ(put().get("status"), "done");
    dev_->results = {{"parameter_list", -1}};
    EXPECT_EQ(put().get("status"), "fail");
}

TEST(RouteCodes, MarksPrimaryAndSecondaryChannels) {
    std::vector<std::string> replies(24, ". . . .");
    replies[0] = "X . . .";   // A1 drives channel 0 alone
    replies[7] = ". . X X";   // B2 drives channels 2 and 3
    EXPECT_EQ(nox::route_codes(replies, 4), (std::vector<int>{1, 0, 1, 2}));
    replies[20] = ". . . X";  // a later reply overwrites
    EXPECT_EQ(nox::route_codes(replies, 4), (std::vector<int>{1, 0, 1, 1}));
    EXPECT_EQ(nox::route_codes({"X"}, 4), (std::vector<int>{1, 0, 0, 0}));  // short reply
    EXPECT_EQ(nox::route_code_text(0), "unrouted");
    EXPECT_EQ(nox::route_code_text(2), "secondary");
}

TEST(MonitorWords, MapToFrameAndChannels) {
    std::vector<nox::model> fc(5);
    std::vector<std::uint32_t> words(27, 0);
    words[1] = 47;
    words[2 + 6 * 3 + 5] = 22;  // channel 3 signal reason
    words[2 + 6 * 3 + 4] = 2;   // channel 3 signal status
    nox::apply_monitor_words(words, fc);
    EXPECT_EQ(fc[0].get("mon_frame_reason"), "Unknown: 47");
    EXPECT_EQ(fc[4].get("mon_signal_status"), "2");
    EXPECT_EQ(fc[4].get("mon_signal_reason"), "NO LOAD");
    EXPECT_EQ(fc[0].get("mon_dirty_status"), "0");

    std::vector<nox::model> short_fc(2);
    nox::apply_monitor_words({1, 2, 3}, short_fc);  // a short block fills what it has
    EXPECT_EQ(short_fc[1].get("mon_amp_status"), "3");
    EXPECT_FALSE(short_fc[1].has("mon_amp_reason"));
    EXPECT_FALSE(short_fc[0].has("mon_dirty_status"));
}

}  // namespace
}  // namespace handlers_test

#include "backend/amp/mira_device.h"
#include "backend/amp/mira_parameters.h"
#include "tests/mira/fake_transport.h"

#include <cstdio>

namespace handlers_test {
namespace {

// A Mira device whose amplifier answers the identity and power queries and then falls
// silent (every further query times out at once): after three time-outs the device
// counts as unreachable, and the download stops instead of asking every parameter.
TEST_F(handler_fixture, MiraAmplifierFallingSilentEndsTheDownloadEarly) {
    auto transport = std::make_shared<mira_test::fake_transport>();
    transport->replies = {{"Dev.ModelName?", "VR45:4M"}, {"Amp.Version.SWFID?", "7.2"},
                          {"Dev.FrameLabel?", "Hall"}, {"Dev.Power?", "1"}};
    auto dev = std::make_shared<nox::amp::mira_device>(nox::amp::device_address{0, 1, 2}, transport,
                                                       [] { return std::string("10.99.0.1"); });
    std::vector<nox::amp::param_entry> rows;
    ASSERT_EQ(dev->parameter_list(0, rows), 0);
    ASSERT_GT(rows.size(), 20u);

    const int32_t id = add_frame("mira", "28", "00000000:00000001");
    const nox::model request = frame_request(id);
    const size_t mark = transport->sent.size();
    EXPECT_EQ(nox::read_frame(*dev, request, engine_), 13);
    const auto sent = transport->since(mark);
    EXPECT_TRUE(dev->unreachable());
    // Name, model, power, then one mute, one bridge mode and one route query time out.
    EXPECT_LE(sent.size(), 8u) << sent.size();
    EXPECT_FALSE(transport->sent_prefix("Mod.Out.AmpGain?"));
    flush();
    EXPECT_FALSE(frame(id).has("synced"));
}

// The routing codes and the routed names both come from the route matrix and the bridge
// modes: a download asks each of those queries once, and both results are stored.
TEST_F(handler_fixture, MiraDownloadAsksTheRouteMatrixOnce) {
    auto transport = std::make_shared<mira_test::fake_transport>();
    transport->replies = {{"Dev.ModelName?", "VR45:4M"}, {"Amp.Version.SWFID?", "7.2"},
                          {"Dev.FrameLabel?", "Hall"}, {"Dev.Power?", "0"},
                          {"Dev.BridgeMode?1", "0"}, {"Dev.BridgeMode?2", "0"}};
    for (int c = 1; c <= 4; ++c) transport->replies["Dev.Pwr.Mute?" + std::to_string(c)] = "0";
    for (const char* m : {"A", "B", "C", "D"}) {
        for (int o = 1; o <= 6; ++o) transport->replies[std::string("Dev.Route?") + m + " " + std::to_string(o)] = "- - - -";
        transport->replies[std::string("Mod.Mod.Label?") + m] = std::string("Mod") + m;
        transport->replies[std::string("Mod.Out.Label?") + m + " 1"] = "Out";
    }
    transport->replies["Dev.Route?B 1"] = "X - - -";
    for (int c = 1; c <= 4; ++c) {
        transport->replies["Mod.Mod.Label?#" + std::to_string(c)] = "ModB";
        transport->replies["Mod.Out.Label?#" + std::to_string(c)] = "Out";
    }
    auto dev = std::make_shared<nox::amp::mira_device>(nox::amp::device_address{0, 1, 2}, transport,
                                                       [] { return std::string("10.99.0.1"); });
    // Every parameter answers.
    std::vector<nox::amp::param_entry> rows;
    ASSERT_EQ(dev->parameter_list(0, rows), 0);
    for (const auto& row : rows) {
        const auto* p = row.address_as<nox::amp::mira_parameter>();
        ASSERT_NE(p, nullptr);
        char argument[64];
        std::snprintf(argument, sizeof argument, p->argument.c_str(), row.channel + 1);
        transport->replies.emplace(p->stem + "?" + argument, "1 1 1 1");
    }
    const int32_t id = add_frame("mira", "28", "00000000:00000001");
    const nox::model request = frame_request(id);
    const size_t mark = transport->sent.size();
    EXPECT_EQ(nox::read_frame(*dev, request, engine_), 0);
    const auto sent = transport->since(mark);
    for (const char* m : {"A", "B", "C", "D"}) {
        for (int o = 1; o <= 6; ++o) {
            const std::string query = std::string("Dev.Route?") + m + " " + std::to_string(o);
            EXPECT_EQ(std::count(sent.begin(), sent.end(), query), 1) << query;
        }
    }
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "Dev.BridgeMode?1"), 1);
    flush();
    const auto channels = channels_of(id);
    ASSERT_FALSE(channels.empty());
    EXPECT_EQ(channel(channels[0]).get("routing"), "primary");
    EXPECT_EQ(channel(channels[0]).get("routed_name"), "ModB.Out");
    EXPECT_EQ(frame(id).get("synced"), "true");
}

}  // namespace
}  // namespace handlers_test
