// The launcher's pure parts: request texts, reply parsing, JSON bodies, option map, usage
// text, page message and the frame lookup.
#include "common/log/log.h"
#include "launcher/http_reply.h"
#include "launcher/launcher.h"
#include "tests/launcher/test_support.h"

#include <gtest/gtest.h>

namespace {

using namespace nox::launcher;
namespace pt = boost::property_tree;

TEST(RequestText, GetHasNoHeaderLines) {
    EXPECT_EQ(get_request_text("/frames/"), "GET /frames/ HTTP/1.1\r\n\r\n");
}

TEST(RequestText, PostCarriesTypeAndByteLength) {
    EXPECT_EQ(post_request_text("/requests", "application/json", "{\"a\": \"\xc3\xa9\"}"),
              "POST /requests HTTP/1.1\r\nContent-Type: application/json\r\n"
              "Content-Length: 11\r\n\r\n{\"a\": \"\xc3\xa9\"}");
}

TEST(StatusCode, NeedsExactlyThreeFields) {
    EXPECT_EQ(status_code("HTTP/1.1 200 OK\r\n\r\n"), 200);
    EXPECT_EQ(status_code("HTTP/1.0 500 Error\nContent-Length: 0\n"), 500);
    EXPECT_EQ(status_code("HTTP/1.1\t200\tOK"), 200);  // tabs separate too; no line end
    EXPECT_EQ(status_code("HTTP/1.1 200 Very OK\r\n"), -1);
    EXPECT_EQ(status_code("HTTP/1.1 404 Not Found\r\n"), -1);
    EXPECT_EQ(status_code("HTTP/1.1  200 OK\r\n"), -1);  // a doubled space is an empty field
    EXPECT_EQ(status_code("HTTP/1.1 200\r\n"), -1);
    EXPECT_EQ(status_code("HTTP/2 200 OK\r\n"), -1);
    EXPECT_EQ(status_code("http/1.1 200 OK\r\n"), -1);
    EXPECT_EQ(status_code("HTTP/1.1 2x0 OK\r\n"), -1);
    EXPECT_EQ(status_code("HTTP/1.1 -200 OK\r\n"), -1);
    EXPECT_EQ(status_code("HTTP/1.1 99999999999999999999 OK\r\n"), -1);
    EXPECT_EQ(status_code(""), -1);
}

TEST(ReplyComplete, ComparesBodyWithAnnouncedLength) {
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n";
    EXPECT_EQ(reply_complete(head + "hello"), reply_whole);
    EXPECT_EQ(reply_complete(head + "hel"), reply_partial);
    EXPECT_EQ(reply_complete(head), reply_partial);
    EXPECT_EQ(reply_complete(head + "hello!"), reply_malformed);
    EXPECT_EQ(reply_complete("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"), reply_whole);
}

TEST(ReplyComplete, MalformedWithoutBlankLineOrExactLengthHeader) {
    EXPECT_EQ(reply_complete("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n"), reply_malformed);
    EXPECT_EQ(reply_complete("HTTP/1.1 200 OK\r\ncontent-length: 5\r\n\r\nhello"), reply_malformed);
    EXPECT_EQ(reply_complete("HTTP/1.1 200 OK\r\nContent-Length:5\r\n\r\nhello"), reply_malformed);
    EXPECT_EQ(reply_complete("HTTP/1.1 200 OK\r\nContent-Length: \r\n\r\n"), reply_malformed);
    EXPECT_EQ(reply_complete("HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999999\r\n\r\n"),
              reply_malformed);
    EXPECT_EQ(reply_complete(""), reply_malformed);
}

TEST(ReplyComplete, TakesTheFirstWellFormedLengthAnywhere) {
    // A broken header line is passed over; the first match may even lie in the body.
    EXPECT_EQ(reply_complete("HTTP/1.1 200 OK\r\nContent-Length: x\r\nContent-Length: 2\r\n\r\nab"),
              reply_whole);
    EXPECT_EQ(reply_complete("HTTP/1.1 200 OK\r\n\r\nContent-Length: 20\r\n"), reply_whole);
}

TEST(ReplyBody, IsTheTextAfterTheFirstBlankLine) {
    EXPECT_EQ(reply_body("HTTP/1.1 200 OK\r\nA: b\r\n\r\n[1]\r\n\r\nx"), "[1]\r\n\r\nx");
    EXPECT_EQ(reply_body("HTTP/1.1 200 OK\r\n"), "");
    EXPECT_EQ(reply_body(""), "");
}

TEST(JsonText, RequestBodiesUseTheIndentedLayoutInOrder) {
    EXPECT_EQ(refresh_request_body("192.168.0.1"),
              "{\n    \"method\": \"refresh\",\n    \"status\": \"wait\",\n"
              "    \"network_interface\": \"192.168.0.1\"\n}\n");
    EXPECT_EQ(assoc_tesira_request_body("10.0.0.2", "Amplifier number 1"),
              "{\n    \"method\": \"assoc_tesira\",\n    \"status\": \"wait\",\n"
              "    \"server_address\": \"10.0.0.2\",\n    \"instance_tag\": \"Amplifier number 1\"\n}\n");
    EXPECT_EQ(import_request_body("conf.tamp"),
              "{\n    \"method\": \"import_tesira\",\n    \"status\": \"wait\",\n"
              "    \"input_path\": \"conf.tamp\"\n}\n");
}

TEST(JsonText, EscapesLikeThePropertyTreeWriter) {
    EXPECT_EQ(import_request_body("C:\\a/b \"c\"\t\x01.tamp"),
              "{\n    \"method\": \"import_tesira\",\n    \"status\": \"wait\",\n"
              "    \"input_path\": \"C:\\\\a\\/b \\\"c\\\"\\t\\u0001.tamp\"\n}\n");
    // A dot in a value is no path separator.
    EXPECT_NE(assoc_tesira_request_body("a.b", "t").find("\"server_address\": \"a.b\""),
              std::string::npos);
}

TEST(JsonText, ReaderLeavesTheTreeEmptyOnFailure) {
    pt::ptree tree;
    EXPECT_TRUE(from_json_text("[{\"id\": \"3\"}]", tree));
    EXPECT_EQ(tree.size(), 1u);
    EXPECT_FALSE(from_json_text("[{\"id\": ", tree));
    EXPECT_TRUE(tree.empty());
    EXPECT_FALSE(from_json_text("", tree));
    EXPECT_TRUE(tree.empty());
}

TEST(Options, NeedCompletePairs) {
    EXPECT_FALSE(parse_options({"orva_cmdline"}));
    EXPECT_FALSE(parse_options({"orva_cmdline", "-s"}));
    EXPECT_FALSE(parse_options({"orva_cmdline", "-s", "ampA1", "-i"}));
    auto options = parse_options({"orva_cmdline", "-s", "a", "-x", "y", "-s", "b"});
    ASSERT_TRUE(options);
    EXPECT_EQ(options->at("-s"), "b");  // the later occurrence wins
    EXPECT_EQ(options->at("-x"), "y");  // unknown options are kept
    EXPECT_EQ(options->size(), 2u);
}

TEST(Usage, TextIsByteExact) {
    EXPECT_EQ(usage_text(),
              "usage: orva_cmdline [-s hostname] [-i ip address] [-a amplifier instance tag] [-r true]\n"
              "\t\t'[-c amplifier settings file]\n"
              "examples:\n"
              "import amp settings\n"
              "\torva_cmdline -c configuration.tamp\n"
              "open amp\n"
              "\torva_cmdline -s ampA1 -i 192.168.0.1 -a \"Amplifier number 1\"\n"
              "open amp (show kvx view)\n"
              "\torva_cmdline -s ampA1 -i 192.168.0.1 -a \"Amplifier number 1\" -r true\n");
}

TEST(OpenUrl, CarriesTheTagVerbatim) {
    EXPECT_EQ(openurl_message("Amplifier number 1", false),
              "OPENURL http://127.0.0.1:8080/#frames/search/Amplifier number 1");
    EXPECT_EQ(openurl_message("a/b?c#d", true), "OPENURL http://127.0.0.1:8080/#flexi/search/a/b?c#d");
}

class FrameLookup : public ::testing::Test {
protected:
    void SetUp() override { nox::log::instance().set_log_path(dir_ / "orva.log"); }
    int find(const std::string& json, const std::string& tag) {
        pt::ptree frames;
        from_json_text(json, frames);
        return find_tesira_frame_id(frames, tag);
    }
    std::string logged() { return test_support::log_messages(dir_ / "orva.log"); }
    test_support::temp_dir dir_;
};

TEST_F(FrameLookup, FindsOnlyTesiraFramesWithTheExactTag) {
    const std::string frames = R"([
        {"id": "1", "frame_type": "mira", "device_id": "Amp 1"},
        {"id": "2", "frame_type": "tesira", "device_id": "Amp 10"},
        {"id": "3", "frame_type": "tesira", "device_id": "Amp 1"},
        {"id": "4", "frame_type": "tesira", "device_id": "Amp 1"}])";
    EXPECT_EQ(find(frames, "Amp 1"), 3);
    EXPECT_EQ(find(frames, "amp 1"), -1);
    EXPECT_EQ(find(frames, "Amp"), -1);
    EXPECT_EQ(find(R"({"a": {"id": "7", "frame_type": "tesira", "device_id": "x"}})", "x"), 7);
    EXPECT_EQ(find("[]", "x"), -1);
    EXPECT_EQ(find("not json", "x"), -1);
    EXPECT_EQ(logged(), "");
}

TEST_F(FrameLookup, SkipsIncompleteMembersSilentlyAndLogsUnreadableOnes) {
    const std::string frames = R"([
        "text",
        {"frame_type": "tesira", "device_id": "x"},
        {"id": "5", "device_id": "x"},
        {"id": "6", "frame_type": "tesira"},
        {"id": "seven", "frame_type": "tesira", "device_id": "x"},
        {"id": "8", "frame_type": "tesira", "device_id": "x"}])";
    EXPECT_EQ(find(frames, "x"), 8);
    EXPECT_EQ(logged(), "Failed to parse json frame data to extract id...\n");
}

}  // namespace
