#include "backend/requests/model_json.h"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <gtest/gtest.h>

#include <sstream>

namespace {

std::string ptree_json(const nox::model& m) {
    boost::property_tree::ptree tree;
    for (const auto& [k, v] : m.attributes()) tree.push_back({k, boost::property_tree::ptree(v)});
    std::ostringstream out;
    boost::property_tree::write_json(out, tree, false);
    std::string text = out.str();
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

TEST(ModelJson, WritesWhatThePropertyTreeWriterWrites) {
    nox::model m(12);
    m.set("name", "Hall \"A\" / Stage \\ 2");
    m.set("controls", std::string("tab\there\nline\rcr\b\f") + '\x01' + '\x1f');
    m.set("utf8", "Gr\xc3\xbc\xc3\x9f" "e");
    m.set("empty", "");
    EXPECT_EQ(nox::to_json(m), ptree_json(m));
}

TEST(ModelJson, ListsAreBracketedAndCommaSeparated) {
    EXPECT_EQ(nox::to_json(std::vector<nox::model>{}), "[]");
    std::vector<nox::model> two{nox::model(1), nox::model(2)};
    EXPECT_EQ(nox::to_json(two), "[{\"id\":\"1\"},{\"id\":\"2\"}]");
}

TEST(ModelJson, ParsesScalarsAsText) {
    auto m = nox::parse_model(R"({"id": 5, "a": "x", "n": -1.5, "t": true, "f": false, "z": null, "u": "\u00fc"})");
    EXPECT_EQ(m.id(), 5);
    EXPECT_EQ(m.get("id"), "5");
    EXPECT_EQ(m.get("a"), "x");
    EXPECT_EQ(m.get("n"), "-1.5");
    EXPECT_EQ(m.get("t"), "true");
    EXPECT_EQ(m.get("f"), "false");
    EXPECT_EQ(m.get("z"), "null");
    EXPECT_EQ(m.get("u"), "\xc3\xbc");
}

TEST(ModelJson, WithoutIdTheModelIsNew) {
    auto m = nox::parse_model(R"({"method":"refresh"})");
    EXPECT_EQ(m.id(), 0);
    EXPECT_FALSE(m.has("id"));
}

TEST(ModelJson, RepeatedMemberKeepsItsLastValue) {
    EXPECT_EQ(nox::parse_model(R"({"a":"1","a":"2"})").get("a"), "2");
}

TEST(ModelJson, RefusesWhatIsNotAFlatObject) {
    for (const char* text : {"", "   ", "[]", "[{\"a\":1}]", "\"text\"", "42", "{", "{\"a\":}",
                             "{\"a\":\"1\",}", "not json", "{\"a\":{\"b\":\"c\"}}",
                             "{\"a\":[1,2]}", "{\"a\":\"1\"} trailing"}) {
        EXPECT_THROW(nox::parse_model(text), nox::json_error) << text;
    }
}

TEST(ModelJson, RefusesIdsThatAreNotModelIds) {
    for (const char* text : {R"({"id":-1})", R"({"id":"abc"})", R"({"id":2147483648})",
                             R"({"id":"1.5"})", R"({"id":""})"}) {
        EXPECT_THROW(nox::parse_model(text), nox::json_error) << text;
    }
    EXPECT_EQ(nox::parse_model(R"({"id":"2147483647"})").id(), 2147483647);
}

TEST(ModelJson, DeepNestingIsRefusedBeforeParsing) {
    // A few hundred KB of brackets would overflow the recursive reader's stack.
    std::string deep = "{\"a\":" + std::string(500000, '[');
    EXPECT_THROW(nox::parse_model(deep), nox::json_error);
    EXPECT_EQ(nox::json_depth("{\"a\":\"[[[[{{{{\"}", 100), 1);
    EXPECT_EQ(nox::json_depth("{\"a\":\"\\\"[[\"}", 100), 1);
    EXPECT_EQ(nox::json_depth(std::string(50, '['), 10), 11);
}

TEST(ModelJson, TooManyMembersAreRefusedBeforeParsing) {
    std::string many = "{";
    for (size_t i = 0; i <= nox::max_json_members; ++i) many += "\"a\":1,";
    many += "\"b\":\"x:y:z\"}";
    EXPECT_THROW(nox::parse_model(many), nox::json_error);
    EXPECT_EQ(nox::json_member_count(R"({"a":"b:c","d\":e":"1"})"), 2u);
}

}  // namespace
