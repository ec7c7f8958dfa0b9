// The amplifier families: one per frame type, the Mira family for frames without a known
// type, and what each family says about its keys. (Mira devices talk to their amplifier
// as they are made, so those are tested in the network sandbox: mira_e2e_test; a
// Tesira-hosted device connects on its first operation only.)
#include "backend/amp/family.h"

#include "backend/amp/mira_family.h"
#include "backend/amp/mira_parameters.h"
#include "backend/amp/tesira_device.h"
#include "backend/amp/tesira_family.h"
#include "backend/amp/tesira_parameters.h"

#include <gtest/gtest.h>

#include <set>

namespace {

using namespace nox::amp;

TEST(Families, OneRegisteredFamilyPerFrameType) {
    std::set<std::string_view> types;
    for (const family* f : families()) EXPECT_TRUE(types.insert(f->frame_type()).second) << f->frame_type();
    EXPECT_EQ(find_family("mira"), &mira_family());
    EXPECT_EQ(find_family("tesira"), &tesira_family());
    EXPECT_EQ(find_family("Mira"), nullptr);
    EXPECT_EQ(find_family(""), nullptr);
}

TEST(Families, FramesWithoutAKnownTypeAreMiraFrames) {
    EXPECT_EQ(&family_for(""), &mira_family());
    EXPECT_EQ(&family_for("unknown"), &mira_family());
    EXPECT_EQ(&family_for("tesira"), &tesira_family());
}

TEST(Families, KeysRowsAndGainBases) {
    const family& mira = mira_family();
    const family& tesira = tesira_family();
    EXPECT_TRUE(mira.live_key("gain"));
    EXPECT_FALSE(tesira.live_key("gain"));
    EXPECT_TRUE(mira.compared_key("name"));
    EXPECT_FALSE(mira.compared_key("gain"));
    EXPECT_TRUE(tesira.compared_key("gain"));
    EXPECT_FALSE(tesira.compared_key("name"));
    EXPECT_FLOAT_EQ(mira.gain_base(), 21.0f);
    EXPECT_FLOAT_EQ(tesira.gain_base(), 25.3f);
    EXPECT_EQ(&mira.parameter_rows(), &mira_parameter_rows());
    EXPECT_EQ(&tesira.parameter_rows(), &tesira_parameter_rows());
    ASSERT_EQ(mira.identity_keys().size(), 1u);
    EXPECT_EQ(mira.identity_keys()[0], "module_class");
    EXPECT_EQ(tesira.identity_keys()[0], "server_address");
    // A row's address belongs to its family alone.
    EXPECT_NE(mira.parameter_rows().list0.front().address_as<mira_parameter>(), nullptr);
    EXPECT_EQ(mira.parameter_rows().list0.front().address_as<tesira_parameter>(), nullptr);
}

TEST(Families, TesiraFramesGetTheBlockOnTheirServer) {
    const auto dev = tesira_family().make_device({{"server_address", "10.99.0.2"}, {"device_id", "Amp 1"}});
    const auto* hosted = dynamic_cast<const tesira_device*>(dev.get());
    ASSERT_NE(hosted, nullptr);
    EXPECT_EQ(hosted->server_address(), "10.99.0.2");
    EXPECT_EQ(hosted->instance_tag(), "Amp 1");
    EXPECT_FALSE(hosted->connected());  // nothing sent yet
}

TEST(Families, OnlyFamiliesThatBroadcastDiscover) {
    EXPECT_TRUE(tesira_family().discover("10.99.0.1").empty());
    EXPECT_TRUE(discover_all("").empty());  // no interface: nothing is sent
}

}  // namespace
