// Collections: id assignment, removal order, merge with its normalisation, refusal of
// attributes that could not be saved.
#include "backend/model/exceptions.h"
#include "backend/model/model_collection.h"

#include <gtest/gtest.h>

namespace {

using nox::model;
using nox::model_collection;

model make(int32_t id, std::initializer_list<std::pair<const char*, const char*>> attributes) {
    model m(id);
    for (auto [k, v] : attributes) m.set(k, v);
    return m;
}

std::vector<int32_t> ids(const model_collection& c) {
    std::vector<int32_t> result;
    for (const auto& m : c.get_all()) result.push_back(m.id());
    return result;
}

TEST(CollectionIds, AutomaticIdsSkipPastExplicitOnes) {
    model_collection c("frames");
    EXPECT_EQ(c.add_locked(model()), 1);
    EXPECT_EQ(c.add_locked(model()), 2);
    EXPECT_EQ(c.add_locked(model(7)), 7);
    EXPECT_EQ(c.add_locked(model()), 8);
    EXPECT_EQ(c.get_locked(8).at("id"), "8");
    EXPECT_THROW(c.add_locked(model(7)), std::invalid_argument);  // an id is never stored twice
    EXPECT_EQ(c.size_locked(), 4u);
}

TEST(CollectionIds, EmptyingResetsTheNextId) {
    model_collection c("frames");
    c.add_locked(model());
    c.add_locked(model());
    c.remove_locked(1);
    c.remove_locked(2);
    EXPECT_EQ(c.add_locked(model()), 1);
}

TEST(CollectionRemoval, LastModelMovesIntoTheGap) {
    model_collection c("frames");
    for (int i = 0; i < 3; ++i) c.add_locked(model());
    EXPECT_TRUE(c.remove_locked(1));
    EXPECT_EQ(ids(c), (std::vector<int32_t>{3, 2}));
    EXPECT_EQ(c.get_locked(3).id(), 3);
    EXPECT_FALSE(c.remove_locked(1));
    EXPECT_THROW(c.get_locked(1), nox::model_not_found);
}

TEST(CollectionRemoval, RemoveWhereSkipsModelsWithoutTheKey) {
    model_collection c("channels");
    c.add_locked(make(0, {{"frame_id", "1"}}));
    c.add_locked(make(0, {}));
    c.add_locked(make(0, {{"frame_id", "1"}}));
    c.add_locked(make(0, {{"frame_id", "2"}}));
    EXPECT_EQ(c.remove_where("frame_id", "1"), 2u);
    EXPECT_EQ(c.size_locked(), 2u);
    EXPECT_TRUE(c.find_where("frame_id", "1").empty());
}

TEST(CollectionQueries, FindAndManyKeepTheirOrder) {
    model_collection c("frames");
    c.add_locked(make(0, {{"frame_type", "mira"}}));
    c.add_locked(make(0, {{"frame_type", "tesira"}}));
    c.add_locked(make(0, {{"frame_type", "mira"}}));
    EXPECT_EQ(c.find_first("frame_type", "mira").id(), 1);
    EXPECT_EQ(c.find_where("frame_type", "mira").size(), 2u);
    EXPECT_THROW(c.find_first("frame_type", "other"), nox::model_not_found);
    auto many = c.get_many({3, 9, 1});
    ASSERT_EQ(many.size(), 2u);
    EXPECT_EQ(many[0].id(), 3);
    EXPECT_EQ(many[1].id(), 1);
    int visited = 0;
    c.for_each([&](const model&) { return ++visited < 2; });
    EXPECT_EQ(visited, 2);
}

TEST(CollectionMerge, ReportsChangedKeysAndIgnoresUnknownIds) {
    model_collection c("frames");
    c.add_locked(make(0, {{"name", "A"}, {"power_status", "1"}}));
    std::vector<std::string> changed;
    EXPECT_TRUE(c.update(make(1, {{"name", "A"}, {"power_status", "0"}, {"synced", "true"}}), &changed));
    std::sort(changed.begin(), changed.end());
    EXPECT_EQ(changed, (std::vector<std::string>{"power_status", "synced"}));
    changed = {"stale"};
    EXPECT_FALSE(c.update(make(5, {{"name", "B"}}), &changed));
    EXPECT_EQ(changed, (std::vector<std::string>{"stale"}));
    EXPECT_FALSE(c.exists_locked(5));
}

TEST(CollectionMerge, GainAndSensitivityAreCoupled) {
    model_collection c("channels");
    c.add_locked(make(0, {{"frame_type", "mira"}}));
    c.update(make(1, {{"sensitivity", "511"}}));
    EXPECT_EQ(c.get_locked(1).at("gain"), "54.303665");
    c.update(make(1, {{"gain", "3.203667"}}));
    EXPECT_EQ(c.get_locked(1).at("sensitivity"), "0");
    c.update(make(1, {{"name", "x"}}));  // neither key: nothing recomputed
    EXPECT_EQ(c.get_locked(1).at("sensitivity"), "0");

    c.add_locked(make(0, {{"frame_type", "tesira"}}));
    c.update(make(2, {{"sensitivity", "0"}}));
    EXPECT_EQ(c.get_locked(2).at("gain"), "-1.096333");

    // A sensitivity that comes alone is stored as the integer its gain gives back, so the
    // model is the same when read again from a saved file (where both keys come in).
    c.update(make(1, {{"sensitivity", "3.7"}}));
    const model once = c.get_locked(1);
    EXPECT_EQ(once.at("sensitivity"), "4");
    c.update(make(1, {{"gain", once.at("gain").c_str()}, {"sensitivity", once.at("sensitivity").c_str()}}));
    EXPECT_EQ(c.get_locked(1), once);
    c.update(make(1, {{"sensitivity", "-3"}}));  // truncated toward zero, as from a gain
    EXPECT_EQ(c.get_locked(1).at("sensitivity"), "-2");
    // One that would give a gain the next load refuses is refused now.
    EXPECT_THROW(c.update(make(1, {{"sensitivity", "1e30"}})), std::invalid_argument);
    EXPECT_EQ(c.get_locked(1).at("sensitivity"), "-2");

    c.add_locked(make(0, {}));  // no frame_type: unrelated
    c.update(make(3, {{"gain", "10"}}));
    EXPECT_FALSE(c.get_locked(3).has("sensitivity"));
}

TEST(CollectionMerge, DesiredVplHasAFloor) {
    model_collection c("channels");
    c.add_locked(make(0, {}));
    c.update(make(1, {{"flexi_desired_vpl", "12"}}));
    EXPECT_EQ(c.get_locked(1).at("flexi_desired_vpl"), "17.800000");
    c.update(make(1, {{"flexi_desired_vpl", "20"}}));
    EXPECT_EQ(c.get_locked(1).at("flexi_desired_vpl"), "20");
}

TEST(CollectionMerge, AValueThatDoesNotParseChangesNothing) {
    model_collection c("channels");
    c.add_locked(make(0, {{"frame_type", "mira"}, {"gain", "10.000000"}, {"name", "a"}}));
    EXPECT_THROW(c.update(make(1, {{"name", "b"}, {"flexi_desired_vpl", "loud"}})), std::invalid_argument);
    EXPECT_THROW(c.update(make(1, {{"name", "b"}, {"gain", "1e39"}})), std::invalid_argument);
    EXPECT_EQ(c.get_locked(1).at("name"), "a");
    EXPECT_FALSE(c.get_locked(1).has("flexi_desired_vpl"));
}

TEST(CollectionValidation, UnsavableKeysAndValuesAreRefused) {
    model_collection c("frames");
    for (const char* key : {"a b", "a.b", "", "1abc", "<x>", "na\xc3\xa9"})
        EXPECT_THROW(c.add_locked(make(0, {{key, "v"}})), nox::invalid_attribute) << key;
    for (std::string value : {std::string("a\x01"), std::string("\xff"), std::string("\xed\xa0\x80")})
        EXPECT_THROW(c.add_locked(make(0, {{"name", value.c_str()}})), nox::invalid_attribute);
    model bad(0);
    bad.set("name", std::string("x\0y", 3));
    EXPECT_THROW(c.add_locked(bad), nox::invalid_attribute);
    EXPECT_EQ(c.size_locked(), 0u);
    c.add_locked(make(0, {{"name", "ok"}}));
    EXPECT_THROW(c.update(make(1, {{"bad key", "v"}})), nox::invalid_attribute);
    EXPECT_TRUE(nox::valid_attribute_value("tab\tline\nreturn\r \xe2\x82\xac \xf0\x9f\x8e\xb5"));
    EXPECT_TRUE(nox::valid_attribute_key("__type__"));
    EXPECT_TRUE(nox::valid_attribute_key("t1-level"));
}

TEST(ModelReads, MissingKeysAndMalformedNumbers) {
    model m(3);
    m.set("gain", " 4.5 ");
    m.set("bad", "4.5x");
    EXPECT_FLOAT_EQ(m.get_float("gain"), 4.5f);
    EXPECT_THROW(m.get_float("bad"), std::invalid_argument);
    try {
        m.at("missing");
        FAIL();
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "invalid unordered_map<K, T> key");
    }
    EXPECT_EQ(m.get("missing", "d"), "d");
    EXPECT_TRUE(m.has("id", "3"));
}

}  // namespace
