#include "backend/api/notifier.h"

#include <boost/property_tree/json_parser.hpp>

#include <gtest/gtest.h>

#include <sstream>

namespace {

namespace pt = boost::property_tree;

pt::ptree events_of(const std::string& text) {
    const std::string prefix = "application/json";
    EXPECT_EQ(text.substr(0, prefix.size()), prefix);
    EXPECT_EQ(text.back(), '\n');
    std::istringstream in(text.substr(prefix.size()));
    pt::ptree tree;
    pt::read_json(in, tree);
    return tree.get_child("events");
}

class Notifier : public ::testing::Test {
protected:
    nox::websocket_hub hub_;
    nox::notifier notifier_{hub_};
};

TEST_F(Notifier, NothingSubscribedBuildsNothing) {
    nox::model m(3);
    m.set("name", "A");
    EXPECT_EQ(notifier_.build_notification("frames", m, {"name"}), "");
}

TEST_F(Notifier, ObjectEventCarriesIdAndTheChangedAttributes) {
    notifier_.subscribe("frames", 3);
    nox::model m(3);
    m.set("name", "A");
    m.set("power_status", "1");
    m.set("unchanged", "x");
    auto events = events_of(notifier_.build_notification("frames", m, {"name", "power_status"}));
    ASSERT_EQ(events.size(), 1u);
    const auto& e = events.front().second;
    EXPECT_EQ(e.get<std::string>("path.type"), "frames");
    EXPECT_EQ(e.get<std::string>("path.id"), "3");
    EXPECT_FALSE(e.get_child_optional("path.attr"));
    EXPECT_EQ(e.get<std::string>("obj.id"), "3");
    EXPECT_EQ(e.get<std::string>("obj.name"), "A");
    EXPECT_EQ(e.get<std::string>("obj.power_status"), "1");
    EXPECT_FALSE(e.get_child_optional("obj.unchanged"));
}

TEST_F(Notifier, RequestEventsCarryTheWholeRequest) {
    notifier_.subscribe("requests", 7, "status");
    nox::model r(7);
    r.set("status", "done");
    r.set("method", "refresh");
    auto events = events_of(notifier_.build_notification("requests", r, {"status"}));
    ASSERT_EQ(events.size(), 1u);
    const auto& e = events.front().second;
    EXPECT_EQ(e.get<std::string>("path.attr"), "status");
    EXPECT_EQ(e.get<std::string>("obj.method"), "refresh");
    EXPECT_EQ(e.get<std::string>("obj.status"), "done");
    EXPECT_EQ(e.get<std::string>("obj.id"), "7");
}

TEST_F(Notifier, ObjectEventComesFirstThenAttributeEventsInChangeOrder) {
    notifier_.subscribe("channels", 2, "gain");
    notifier_.subscribe("channels", 2, "mute");
    notifier_.subscribe("channels", 2);
    nox::model c(2);
    c.set("mute", "1");
    c.set("gain", "3.000000");
    auto events = events_of(notifier_.build_notification("channels", c, {"mute", "gain"}));
    std::vector<std::string> order;
    for (const auto& [k, e] : events) order.push_back(e.get<std::string>("path.attr", "-"));
    EXPECT_EQ(order, (std::vector<std::string>{"-", "mute", "gain"}));
    auto it = std::next(events.begin());
    EXPECT_EQ(it->second.get<std::string>("obj.mute"), "1");
    EXPECT_FALSE(it->second.get_child_optional("obj.gain"));
}

TEST_F(Notifier, UnsubscribeLowersTheCountNotBelowZero) {
    notifier_.subscribe("frames", 1, "name");
    notifier_.subscribe("frames", 1, "name");
    notifier_.unsubscribe("frames", 1, "name");
    EXPECT_EQ(notifier_.count("frames", 1, "name"), 1);
    nox::model m(1);
    m.set("name", "x");
    EXPECT_NE(notifier_.build_notification("frames", m, {"name"}), "");
    notifier_.unsubscribe("frames", 1, "name");
    notifier_.unsubscribe("frames", 1, "name");
    EXPECT_EQ(notifier_.count("frames", 1, "name"), 0);
    EXPECT_EQ(notifier_.build_notification("frames", m, {"name"}), "");
    notifier_.subscribe("frames", 1, "name");
    EXPECT_EQ(notifier_.count("frames", 1, "name"), 1);
}

TEST_F(Notifier, IdZeroSubscribesEveryModelOfTheCollectionOnce) {
    notifier_.subscribe("frames", 0);
    nox::model m(7);
    m.set("name", "late");
    auto events = events_of(notifier_.build_notification("frames", m, {"name"}));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events.front().second.get<std::string>("path.id"), "7");
    EXPECT_EQ(events.front().second.get<std::string>("obj.name"), "late");
    EXPECT_EQ(notifier_.build_notification("channels", m, {"name"}), "");

    notifier_.subscribe("frames", 7);  // both: still one object event
    EXPECT_EQ(events_of(notifier_.build_notification("frames", m, {"name"})).size(), 1u);
    notifier_.unsubscribe("frames", 7);
    notifier_.unsubscribe("frames", 0);
    EXPECT_EQ(notifier_.build_notification("frames", m, {"name"}), "");
}

TEST_F(Notifier, SubscriptionsAreKeyedByCollectionIdAndAttribute) {
    notifier_.subscribe("frames", 1, "name");
    nox::model m(1);
    m.set("name", "x");
    EXPECT_EQ(notifier_.build_notification("channels", m, {"name"}), "");
    EXPECT_EQ(notifier_.build_notification("frames", nox::model(2), {"name"}), "");
    EXPECT_EQ(notifier_.build_notification("frames", m, {"other"}), "");
}

TEST_F(Notifier, ValuesAreEscapedJsonStrings) {
    notifier_.subscribe("zones", 1);
    nox::model m(1);
    m.set("name", "a\"b\\c/d\n");
    auto events = events_of(notifier_.build_notification("zones", m, {"name"}));
    EXPECT_EQ(events.front().second.get<std::string>("obj.name"), "a\"b\\c/d\n");
}

}  // namespace
