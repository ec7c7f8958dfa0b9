#include "backend/requests/differences.h"

#include "backend/amp/mira_family.h"
#include "backend/amp/tesira_family.h"

#include <gtest/gtest.h>

#include <boost/property_tree/json_parser.hpp>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {

using nox::model;

model make(int32_t id, std::initializer_list<std::pair<const char*, const char*>> attributes) {
    model m(id);
    for (const auto& [k, v] : attributes) m.set(k, v);
    return m;
}

model tesira_channel(int32_t id, const char* attenuation) {
    return make(id, {{"frame_id", "1"}, {"frame_type", "tesira"}, {"device_id", "dev"}, {"frame_name", "Stage"},
                     {"name", "Out"}, {"attenuation", attenuation}});
}

TEST(Tolerance, KeysHaveTheirOwnTolerances) {
    EXPECT_FLOAT_EQ(nox::difference_tolerance("attenuation"), 0.125f);
    for (const char* key : {"fuse_current_limit", "fuse_actual_limit", "threshold", "actual_vpl_threshold",
                            "flexi_desired_vpl"})
        EXPECT_FLOAT_EQ(nox::difference_tolerance(key), 0.05f) << key;
    // The pilot-tone values' finer table value is raised to the floor.
    for (const char* key : {"t1_factor", "t2_ref_impedance", "t1_cable_resistance", "temperature", "name"})
        EXPECT_FLOAT_EQ(nox::difference_tolerance(key), 0.005f) << key;
}

TEST(Tolerance, EqualWithinIsStrictAndNeedsNumbers) {
    EXPECT_TRUE(nox::equal_within_tolerance("attenuation", "-6", "-6.1"));
    EXPECT_FALSE(nox::equal_within_tolerance("attenuation", "-6", "-6.125"));  // strict
    EXPECT_FALSE(nox::equal_within_tolerance("attenuation", "-6", "-6.25"));
    EXPECT_TRUE(nox::equal_within_tolerance("gain", "1.000000", "1"));
    EXPECT_TRUE(nox::equal_within_tolerance("name", "Hall", "Hall"));
    EXPECT_FALSE(nox::equal_within_tolerance("name", "Hall", "Hall "));
    EXPECT_FALSE(nox::equal_within_tolerance("gain", "1", "one"));
}

TEST(Tolerance, KeyFilterDependsOnFrameType) {
    EXPECT_TRUE(nox::compared_key("t1_factor", nox::amp::mira_family()));
    EXPECT_TRUE(nox::compared_key("name", nox::amp::mira_family()));
    EXPECT_FALSE(nox::compared_key("attenuation", nox::amp::mira_family()));
    EXPECT_TRUE(nox::compared_key("attenuation", nox::amp::tesira_family()));
    EXPECT_FALSE(nox::compared_key("name", nox::amp::tesira_family()));
    EXPECT_FALSE(nox::compared_key("t2_upper_threshold", nox::amp::tesira_family()));
    EXPECT_FALSE(nox::compared_key("temperature", nox::amp::mira_family()));
}

TEST(Compare, NothingChangedGivesNoReport) {
    nox::project_copy copy{{make(1, {{"name", "Amp"}})}, {tesira_channel(2, "-6")}};
    auto r = nox::compare_with_copy(copy, copy.frames, copy.channels);
    EXPECT_FALSE(r.any());
    EXPECT_EQ(r.text, "");
}

TEST(Compare, AttenuationBeyondToleranceGivesOneEntry) {
    nox::project_copy copy{{}, {tesira_channel(2, "-6")}};
    auto r = nox::compare_with_copy(copy, {}, {tesira_channel(2, "-6.25")});
    EXPECT_TRUE(r.any());
    EXPECT_EQ(r.entries, 1);
    EXPECT_EQ(r.text, R"([["dev","0","attenuation","-6","-6.25","Stage","Stage","Out","Out"] ])");

    auto small = nox::compare_with_copy(copy, {}, {tesira_channel(2, "-6.1")});
    EXPECT_FALSE(small.any());
}

TEST(Compare, ChannelPositionCountsAmongAllChannelsOfTheCopy) {
    nox::project_copy copy{{}, {tesira_channel(2, "-6"), tesira_channel(3, "-6")}};
    auto r = nox::compare_with_copy(copy, {}, {tesira_channel(3, "-7"), tesira_channel(2, "-6")});
    EXPECT_EQ(r.entries, 1);
    EXPECT_NE(r.text.find(R"(["dev","1","attenuation","-6","-7")"), std::string::npos) << r.text;
}

TEST(Compare, MiraChannelNameComparesRoutedNames) {
    auto before = make(5, {{"frame_id", "1"}, {"device_id", "d"}, {"frame_name", "F"}, {"name", "Ch1"},
                           {"routed_name", "Stage.Left"}});
    auto after = before;
    after.set("routed_name", "Stage.Right");
    auto r = nox::compare_with_copy({{}, {before}}, {}, {after});
    ASSERT_EQ(r.entries, 1);
    EXPECT_EQ(r.text, R"([["d","0","name","Stage.Left","Stage.Right","F","F","Stage.Left","Stage.Right"] ])");

    // A renamed channel whose routed name stayed is no difference.
    after = before;
    after.set("name", "Other");
    EXPECT_FALSE(nox::compare_with_copy({{}, {before}}, {}, {after}).any());
}

TEST(Compare, FrameEntriesCarryFrameAndNames) {
    auto before = make(1, {{"device_id", "d"}, {"name", "Amp A"}, {"fuse_type", "1"}});
    auto after = before;
    after.set("fuse_type", "2");
    after.set("name", "Amp B");
    auto r = nox::compare_with_copy({{before}, {}}, {after}, {});
    EXPECT_EQ(r.entries, 2);
    EXPECT_NE(r.text.find(R"(["d","frame","fuse_type","1","2","Amp A","Amp B","Amp A","Amp B"] )"),
              std::string::npos)
        << r.text;
}

TEST(Compare, ChangedCountDiffersWithoutEntries) {
    nox::project_copy copy{{make(1, {{"name", "A"}})}, {}};
    auto r = nox::compare_with_copy(copy, {make(1, {{"name", "A"}}), make(2, {{"name", "B"}})}, {});
    EXPECT_TRUE(r.any());
    EXPECT_TRUE(r.frames_count_changed);
    EXPECT_EQ(r.entries, 0);
    EXPECT_EQ(r.text, "");
}

TEST(Compare, ModelMissingFromStoreIsReportedNotThrown) {
    nox::project_copy copy{{}, {tesira_channel(2, "-6")}};
    auto r = nox::compare_with_copy(copy, {}, {tesira_channel(9, "-6")});
    EXPECT_EQ(r.entries, 1);
    EXPECT_NE(r.text.find(R"(["dev","0","attenuation","-6","","Stage","","Out",""] )"), std::string::npos) << r.text;
}

TEST(Compare, KeyMissingInStoreIsReportedNotThrown) {
    auto after = tesira_channel(2, "-6");
    after.erase("attenuation");
    auto r = nox::compare_with_copy({{}, {tesira_channel(2, "-6")}}, {}, {after});
    EXPECT_EQ(r.entries, 1);
    EXPECT_NE(r.text.find(R"("attenuation","-6","")"), std::string::npos) << r.text;
}

TEST(Compare, ReportStaysJsonWithQuotesInNames) {
    auto before = make(1, {{"device_id", "d"}, {"name", "Amp \"A\""}, {"fuse_type", "1"}});
    auto after = before;
    after.set("fuse_type", "2");
    auto r = nox::compare_with_copy({{before}, {}}, {after}, {});
    boost::property_tree::ptree tree;
    std::istringstream in(r.text);
    ASSERT_NO_THROW(boost::property_tree::read_json(in, tree)) << r.text;
    EXPECT_EQ(tree.size(), 1u);
}

class DetectDifferences : public ::testing::Test {
protected:
    DetectDifferences() {
        folder_ = std::filesystem::temp_directory_path() / ("orva-diff-" + std::to_string(::getpid()));
        std::filesystem::create_directories(folder_);
        store_.register_default_collections();
        store_.set_paths((folder_ / "configuration_orva.xml").string(), (folder_ / "template.xml").string());
    }
    ~DetectDifferences() override { std::filesystem::remove_all(folder_); }

    std::filesystem::path folder_;
    nox::project_store store_;
};

TEST_F(DetectDifferences, ComparesASavedCopyWithTheStore) {
    store_.collection("frames").add_locked(make(1, {{"frame_type", "tesira"}, {"name", "Stage"}}));
    store_.collection("channels").add_locked(tesira_channel(2, "-6"));
    ASSERT_TRUE(store_.save_locked());
    const std::string copy = (folder_ / "copy.xml").string();
    std::filesystem::copy_file(store_.configuration_path(), copy);

    std::string report;
    int count = -1;
    EXPECT_FALSE(nox::detect_differences(store_, copy, report, count));
    EXPECT_EQ(count, 0);

    model change(2);
    change.set("attenuation", "-6.25");
    store_.collection("channels").update(change);
    EXPECT_TRUE(nox::detect_differences(store_, copy, report, count));
    EXPECT_EQ(count, 1);
    EXPECT_EQ(report, R"([["dev","0","attenuation","-6","-6.25","Stage","Stage","Out","Out"] ])");

    EXPECT_THROW(nox::detect_differences(store_, (folder_ / "absent.xml").string(), report, count),
                 std::runtime_error);
}

}  // namespace
