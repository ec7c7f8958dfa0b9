// A user's edits and the monitor's write-back of what it read from an amplifier, on the
// real orva_backend with a simulated Mira amplifier inside the network sandbox: 1,000 PUTs
// of channel names, cable resistances and gains while monitoring runs. The amplifier
// reports its settings changed (its dirty flag stays set), so every pass reads all its
// parameters, the cable resistances included, and writes back what differs. Each PUT goes
// on to the amplifier as an update request; a pass that read the amplifier before the
// update arrived must not put the older value back, and neither may an earlier update
// that a processing thread carries out after a later one: a value read back while the
// edits go on is the last one written, and every last written value is in the store and
// in the saved project afterwards. The gain of a Mira amplifier is its own (read-only,
// reported live): the user's gains never reach it, and monitoring puts the amplifier's
// gain back once the edits are over.
//
// The backend monitors every 20 ms here instead of every second, and the PUTs are paced,
// so that they spread over dozens of monitoring passes rather than fitting between two.
#include "tests/support/backend_process.h"
#include "tests/support/http_client.h"
#include "tools/mira_sim/sim_client.h"

#include <gtest/gtest.h>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/xml_parser.hpp>

#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

using namespace std::chrono_literals;
using orva_test::http_call;
using orva_test::http_get;

const std::string amp_id = "0000abcd:00000001";
constexpr int rounds = 1000;
constexpr auto put_pause = std::chrono::milliseconds(2);

std::string project() {
    std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<configuration>"
                      "<settings><setting><id>1</id><selected_interface>10.99.0.1</selected_interface></setting>"
                      "</settings><frames><frame><id>1</id><frame_type>mira</frame_type><name>Amp</name><device_id>" +
                      amp_id + "</device_id><module_class>2</module_class><channels>1 2 3 4</channels></frame>"
                               "</frames><channels>";
    for (int k = 1; k <= 4; ++k)
        xml += "<channel><id>" + std::to_string(k) + "</id><frame_id>1</frame_id><frame_type>mira</frame_type>"
               "<device_id>" + amp_id + "</device_id><name>Ch" + std::to_string(k) + "</name></channel>";
    return xml + "</channels></configuration>";
}

boost::property_tree::ptree json_of(const std::string& text) {
    std::istringstream in(text);
    boost::property_tree::ptree tree;
    boost::property_tree::read_json(in, tree);
    return tree;
}

std::string cable_text(int round) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", 0.5 + (round % 40) * 0.25);
    return text;
}

std::string gain_text(int round) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", 20.0 + (round % 40) * 0.25);
    return text;
}

class WriteBack : public ::testing::Test {
protected:
    WriteBack()
        : sim_(mira_sim::sim_client::default_program(), std::vector<std::string>{"--amp", amp_id + ",kind=2"}),
          backend_([] {
              orva_test::backend_process::options o;
              o.configuration = project();
              o.environment["ORVA_MONITOR_PERIOD_MS"] = "20";
              return o;
          }()) {}

    // Monitoring cycles posted so far, counted in the backend's log.
    size_t cycles_logged() const {
        const std::string log = backend_.log();
        size_t count = 0;
        for (size_t at = log.find("Fetching monitor data"); at != std::string::npos;
             at = log.find("Fetching monitor data", at + 1))
            ++count;
        return count;
    }

    mira_sim::sim_client sim_;
    orva_test::backend_process backend_;
};

TEST_F(WriteBack, MonitoringKeepsTheUsersLastValuesAndTheAmplifiersGains) {
    sim_.expect_ok("status " + amp_id + " 8192");  // bit 13: settings changed on the amplifier
    ASSERT_TRUE(backend_.ready());
    ASSERT_TRUE(backend_.wait_for_log("Fetching monitor data", 20s)) << backend_.log();
    std::array<std::string, 4> amp_gain;
    for (int k = 0; k < 4; ++k) {
        const std::string channel = "/channels/" + std::to_string(k + 1);
        amp_gain[k] = orva_test::json_field(
            orva_test::get_body_when(channel, [](const std::string& b) { return b.find("\"gain\"") != std::string::npos; }),
            "gain");
        ASSERT_FALSE(amp_gain[k].empty()) << k << backend_.log();
    }

    const size_t cycles_before = cycles_logged();
    const auto give_up = std::chrono::steady_clock::now() + 40s;
    std::array<std::string, 4> last_name, last_cable, last_gain;
    int reverted = 0;  // reads that found an older value than the last one written
    std::string first_revert;
    for (int round = 0; round < rounds; ++round) {
        ASSERT_LT(std::chrono::steady_clock::now(), give_up) << "only " << round << " PUTs in 40 s";
        const int k = round % 4;
        const std::string channel = std::to_string(k + 1);
        last_name[k] = "Stage " + channel + "." + std::to_string(round);
        last_cable[k] = cable_text(round);
        last_gain[k] = gain_text(round);
        ASSERT_NE(last_gain[k], amp_gain[k]);
        const auto answer = http_call("PUT", "/channels/" + channel,
                                      "{\"id\":\"" + channel + "\",\"name\":\"" + last_name[k] +
                                          "\",\"t1_cable_resistance\":\"" + last_cable[k] + "\",\"gain\":\"" +
                                          last_gain[k] + "\"}");
        ASSERT_EQ(answer.status, 200) << answer.body;
        // The channel edited one round before: its update may still be on its way to the
        // amplifier, so a pass may just have read the older value there.
        if (round > 0) {
            const size_t p = static_cast<size_t>((round - 1) % 4);
            const std::string body = http_get("/channels/" + std::to_string(p + 1)).body;
            const std::string name = orva_test::json_field(body, "name");
            const std::string cable = orva_test::json_field(body, "t1_cable_resistance");
            if ((name != last_name[p] || cable != last_cable[p]) && reverted++ == 0)
                first_revert = name + " " + cable + " instead of " + last_name[p] + " " + last_cable[p];
        }
        std::this_thread::sleep_for(put_pause);
    }
    EXPECT_EQ(reverted, 0) << first_revert;
    // Monitoring went on throughout (at 20 ms, about a hundred passes; far fewer would mean
    // that the edits did not meet the write-backs), and goes on for two more reads.
    const size_t before = cycles_logged();
    ASSERT_GE(before - cycles_before, 20u);
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (cycles_logged() < before + 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(50ms);
    ASSERT_GE(cycles_logged(), before + 2);

    for (int k = 0; k < 4; ++k) {
        const auto stored = json_of(http_get("/channels/" + std::to_string(k + 1)).body);
        EXPECT_EQ(stored.get<std::string>("name"), last_name[k]) << k;
        EXPECT_EQ(stored.get<std::string>("t1_cable_resistance"), last_cable[k]) << k;
        EXPECT_EQ(stored.get<std::string>("gain"), amp_gain[k]) << k;
    }

    // The saved project (written at the stop) holds them too.
    ASSERT_EQ(backend_.stop(), 0);
    std::ifstream file(backend_.data_folder() + "/configuration_orva.xml");
    ASSERT_TRUE(file.good());
    boost::property_tree::ptree saved;
    boost::property_tree::read_xml(file, saved);
    int found = 0;
    for (const auto& [tag, node] : saved.get_child("configuration.channels")) {
        const int k = node.get<int>("id") - 1;
        ASSERT_GE(k, 0);
        ASSERT_LT(k, 4);
        EXPECT_EQ(node.get<std::string>("name"), last_name[static_cast<size_t>(k)]) << k;
        EXPECT_EQ(node.get<std::string>("t1_cable_resistance"), last_cable[static_cast<size_t>(k)]) << k;
        EXPECT_EQ(node.get<std::string>("gain"), amp_gain[static_cast<size_t>(k)]) << k;
        ++found;
    }
    EXPECT_EQ(found, 4);
}

}  // namespace
