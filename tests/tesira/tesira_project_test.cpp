// Tesira project integration on a project store without network: import files (a
// realistic one, refreshing ones, broken and hostile ones), association through a scripted
// device, the export document and the three request handlers.
#include "backend/tesira/tesira_handlers.h"
#include "backend/tesira/tesira_project.h"
#include "tests/fakes/fake_device.h"
#include "tests/handlers/handler_fixture.h"

#include <boost/property_tree/xml_parser.hpp>

#include <fstream>

namespace {

using handlers_test::handler_fixture;
using nox::model;

// A configuration file as a Tesira designer saves it, cut down to what the import reads
// plus the kind of surroundings it must step over.
const char* const realistic_file = R"(<?xml version="1.0" encoding="UTF-8"?>
<!-- exported layout -->
<Tesira version="3.1">
  <System name="Hall"><Rooms count="2"/></System>
  <Blocks count="3">
    <!-- main hall amplifiers -->
    <AmpBlock instanceTag="AmpHallLeft" proxyIPAddress="10.99.0.2" type="amp">
      <ampName>Hall left</ampName>
      <channels><channel n="1"/></channels>
    </AmpBlock>
    <AmpBlock instanceTag="Amp Hall Right" proxyIPAddress="10.99.0.2">
      <ampName>  Hall right  </ampName>
    </AmpBlock>
    <AmpBlock proxyIPAddress="10.99.0.3" instanceTag="Foyer1"><ampName>Foyer</ampName></AmpBlock>
  </Blocks>
</Tesira>
)";

class TesiraProjectTest : public handler_fixture {
protected:
    TesiraProjectTest()
        : project_(engine_, registry_, [this](const std::string& server, const std::string& tag) {
              made_.push_back(server + "/" + tag);
              return device_;
          }) {
        nox::register_tesira_handlers(engine_.methods(), project_);
        device_->frame_name = "Balcony";
        device_->channel_names = {"Left", "Right", "Sub", "Fill"};
    }

    std::string write_file(const std::string& name, const std::string& content) {
        const auto path = (folder_ / name).string();
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

    std::vector<model> frames() { return c("frames").get_all(); }
    std::vector<model> queued_gets() { return c("requests").find_where("method", "get"); }
    std::string project_file() {
        std::ifstream in(folder_ / "configuration_orva.xml");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::shared_ptr<nox::testing::fake_device> device_ = std::make_shared<nox::testing::fake_device>();
    std::vector<std::string> made_;
    nox::tesira_project project_;
};

TEST_F(TesiraProjectTest, ImportCreatesAFramePerBlockWithFourChannelsAndAQueuedRead) {
    const auto request = run({{"method", "import_tesira"}, {"input_path", write_file("hall.xml", realistic_file)}});
    EXPECT_EQ(request.get("status"), "done");
    EXPECT_EQ(notifier_.count("sigupdate"), 1u);
    const auto all = frames();
    ASSERT_EQ(all.size(), 3u);
    const model& second = all[1];
    EXPECT_EQ(second.get("name"), "Hall right");
    EXPECT_EQ(second.get("frame_type"), "tesira");
    EXPECT_EQ(second.get("device_id"), "Amp Hall Right");
    EXPECT_EQ(second.get("server_address"), "10.99.0.2");
    EXPECT_EQ(second.get("__origin__"), "discovery");
    EXPECT_EQ(second.get("channel_names"), "1 2 3 4");
    EXPECT_EQ(second.get("channels"), "5 6 7 8");  // consecutive ids from the channel counter
    const model ch = channel(7);
    EXPECT_EQ(ch.get("frame_id"), std::to_string(second.id()));
    EXPECT_EQ(ch.get("frame_name"), "Hall right");
    EXPECT_EQ(ch.get("device_id"), "Amp Hall Right");
    EXPECT_EQ(ch.get("name"), "3");
    EXPECT_EQ(ch.get("synced"), "0");
    const auto gets = queued_gets();
    ASSERT_EQ(gets.size(), 3u);
    EXPECT_EQ(gets[2].get("device_id"), "Foyer1");
    EXPECT_EQ(gets[2].get("channels"), "9 10 11 12");
    EXPECT_EQ(gets[2].get("status"), "wait");
    EXPECT_NE(project_file().find("Amp Hall Right"), std::string::npos);  // saved
    EXPECT_NE(log_text().find("Generating chan w/ id: 12 for frame 3"), std::string::npos);
}

TEST_F(TesiraProjectTest, BlocksNamedLikeAFrameRefreshItAndCreateNothing) {
    model existing;
    existing.set("name", "Stage");
    existing.set("synced", "true");
    const int32_t id = c("frames").add_locked(existing);
    const std::string file = R"(<Tesira><Blocks>
        <B instanceTag="A1" proxyIPAddress="10.99.0.2"><ampName>Stage</ampName></B>
        <B instanceTag="A2" proxyIPAddress="10.99.0.4"><ampName>Stage</ampName></B>
      </Blocks></Tesira>)";
    EXPECT_EQ(run({{"method", "import_tesira"}, {"input_path", write_file("two.xml", file)}}).get("status"), "done");
    ASSERT_EQ(frames().size(), 1u);
    const model refreshed = frame(id);
    EXPECT_EQ(refreshed.get("device_id"), "A2");
    EXPECT_EQ(refreshed.get("server_address"), "10.99.0.4");
    EXPECT_EQ(refreshed.get("synced"), "false");
    EXPECT_EQ(c("channels").size_locked(), 0u);
    EXPECT_TRUE(queued_gets().empty());
    EXPECT_NE(log_text().find("Assoc: found amp by name"), std::string::npos);
}

TEST_F(TesiraProjectTest, ChannelsOfARefreshedFrameFollowItsAmplifier) {
    const int32_t id = add_frame("tesira", "4");
    model named(id);
    named.set("name", "Stage");
    named.set("synced", "true");
    c("frames").update(named);
    const std::string file = R"(<Tesira><Blocks><B instanceTag="T9" proxyIPAddress="10.99.0.2"><ampName>Stage</ampName></B></Blocks></Tesira>)";
    run({{"method", "import_tesira"}, {"input_path", write_file("one.xml", file)}});
    for (const int32_t ch : channels_of(id)) {
        EXPECT_EQ(channel(ch).get("device_id"), "T9");
        EXPECT_EQ(channel(ch).get("frame_type"), "tesira");
        EXPECT_EQ(channel(ch).get("synced"), "false");
    }
}

TEST_F(TesiraProjectTest, BrokenFilesFailAndLeaveTheProjectAsItWas) {
    const std::string missing_value = R"(<Tesira><Blocks>
        <B instanceTag="A1" proxyIPAddress="10.99.0.2"><ampName>One</ampName></B>
        <B instanceTag="A2"><ampName>Two</ampName></B></Blocks></Tesira>)";
    std::string deep = "<Tesira><Blocks>";
    for (int i = 0; i < 20000; ++i) deep += "<a>";
    // Start tags whose quoted attribute value ends like an empty element are nesting too.
    std::string deep_quoted = "<Tesira><Blocks>";
    for (int i = 0; i < 300000; ++i) deep_quoted += "<a x=\"/>\">";
    const std::map<std::string, std::string> files = {
        {"not_xml.xml", "<Tesira><Blocks><B"},
        {"no_blocks.xml", "<Tesira><System/></Tesira>"},
        {"missing_value.xml", missing_value},
        {"bad_address.xml", R"(<Tesira><Blocks><B instanceTag="A" proxyIPAddress="hall"><ampName>X</ampName></B></Blocks></Tesira>)"},
        {"deep.xml", deep},
        {"deep_quoted.xml", deep_quoted},
        {"utf16.xml", std::string("\xff\xfe<\0T\0e\0s\0i\0r\0a\0>\0", 18)},
    };
    for (const auto& [name, content] : files) {
        const auto path = write_file(name, content);
        EXPECT_EQ(run({{"method", "import_tesira"}, {"input_path", path}}).get("status"), "fail") << name;
        // The same text uploaded in the request fails alike and says why.
        const auto uploaded = run({{"method", "import_tesira"}, {"data", content}});
        EXPECT_EQ(uploaded.get("status"), "fail") << name;
        EXPECT_EQ(uploaded.get("error").rfind("Tesira import failed: ", 0), 0u) << name << uploaded.get("error");
        EXPECT_EQ(uploaded.get("data"), "") << name;
    }
    EXPECT_EQ(run({{"method", "import_tesira"}, {"input_path", (folder_ / "absent.xml").string()}}).get("status"), "fail");
    EXPECT_EQ(run({{"method", "import_tesira"}}).get("status"), "fail");
    EXPECT_TRUE(frames().empty());
    EXPECT_EQ(c("channels").size_locked(), 0u);
    EXPECT_TRUE(queued_gets().empty());
    EXPECT_FALSE(std::filesystem::exists(folder_ / "configuration_orva.xml"));
}

TEST_F(TesiraProjectTest, OversizedFileIsRefusedBeforeItIsRead) {
    const auto path = (folder_ / "huge.xml").string();
    std::filesystem::resize_file(write_file("huge.xml", "<Tesira>"), nox::tesira_import_max_bytes + 1);
    EXPECT_EQ(project_.import_tesira(path), 1);
    EXPECT_NE(log_text().find("file too large"), std::string::npos);
    std::string reason;
    EXPECT_EQ(project_.import_tesira_text(std::string(nox::tesira_import_max_bytes + 1, ' '), &reason), 1);
    EXPECT_EQ(reason, "file too large");
    EXPECT_TRUE(frames().empty());
}

TEST_F(TesiraProjectTest, UploadedFileTextImportsLikeTheFileAndIsNotKeptInTheRecord) {
    const auto request = run({{"method", "import_tesira"}, {"data", realistic_file}});
    EXPECT_EQ(request.get("status"), "done");
    EXPECT_EQ(request.get("data"), "");
    EXPECT_FALSE(request.has("error"));
    ASSERT_EQ(frames().size(), 3u);
    EXPECT_EQ(frames()[1].get("device_id"), "Amp Hall Right");
    EXPECT_EQ(queued_gets().size(), 3u);
    EXPECT_NE(project_file().find("Foyer1"), std::string::npos);
}

TEST_F(TesiraProjectTest, AssociationReadsNamesFromTheServer) {
    const auto request = run({{"method", "assoc_tesira"}, {"server_address", "10.99.0.2"}, {"instance_tag", "Amp 7"}});
    EXPECT_EQ(request.get("status"), "done");
    EXPECT_EQ(made_, (std::vector<std::string>{"10.99.0.2/Amp 7"}));
    ASSERT_EQ(frames().size(), 1u);
    const model f = frames().front();
    EXPECT_EQ(f.get("name"), "Balcony");
    EXPECT_EQ(f.get("channel_names"), "Left Right Sub Fill");
    EXPECT_EQ(channel(4).get("name"), "Fill");
    EXPECT_EQ(queued_gets().size(), 1u);
    EXPECT_EQ(notifier_.count("sigupdate"), 1u);
}

TEST_F(TesiraProjectTest, AssociationWithTheServerUnreachableUsesTheInstanceTag) {
    device_->results["read_frame_name"] = -1;
    EXPECT_EQ(project_.assoc_tesira("10.99.0.9", "AmpX"), 0);
    const model f = frames().front();
    EXPECT_EQ(f.get("name"), "AmpX");
    EXPECT_EQ(f.get("channel_names"), "1 2 3 4");
    EXPECT_EQ(f.get("server_address"), "10.99.0.9");
    // A second association of the same block refreshes that frame.
    EXPECT_EQ(project_.assoc_tesira("10.99.0.9", "AmpX"), 0);
    EXPECT_EQ(frames().size(), 1u);
    EXPECT_EQ(queued_gets().size(), 1u);
}

TEST_F(TesiraProjectTest, AssociationOfUnusableAddressesChangesNothing) {
    EXPECT_EQ(project_.assoc_tesira("tesira.local", "Amp1"), 1);
    EXPECT_EQ(project_.assoc_tesira("10.99.0.2", ""), 1);
    EXPECT_EQ(project_.assoc_tesira("10.99.0.2", "Amp1\r\nAmp2 set ampPower false"), 1);
    EXPECT_EQ(run({{"method", "assoc_tesira"}, {"server_address", "10.99.0.2"}}).get("status"), "fail");
    EXPECT_TRUE(frames().empty());
    EXPECT_TRUE(made_.empty());
}

TEST_F(TesiraProjectTest, ExportWithoutTesiraFramesIsAnEmptySystem) {
    add_frame("mira", "4");
    const std::string text = project_.export_document_text();
    EXPECT_NE(text.find("<System/>"), std::string::npos) << text;
}

TEST_F(TesiraProjectTest, ExportDescribesEveryTesiraFrameAndItsChannels) {
    const int32_t with_card = add_frame("tesira", "4");
    const int32_t without_card = add_frame("tesira", "4");
    const int32_t low_power = add_frame("tesira", "7");
    model change(with_card);
    change.set("accessory_card", "DANTE");
    change.set("name", "Hall");
    change.set("room", "Main");
    c("frames").update(change);
    model named(channels_of(with_card)[1]);
    named.set("name", "Sub");
    named.set("zone", "Z2");
    c("channels").update(named);

    std::istringstream in(project_.export_document_text());
    boost::property_tree::ptree doc;
    boost::property_tree::read_xml(in, doc);
    std::vector<boost::property_tree::ptree> exported;
    for (const auto& [name, f] : doc.get_child("System")) exported.push_back(f);
    ASSERT_EQ(exported.size(), 3u);
    const auto& hall = exported[0];
    EXPECT_EQ(hall.get<std::string>("<xmlattr>.model"), "VR 125:4Sa");
    EXPECT_EQ(hall.get<std::string>("Host.<xmlattr>.card"), "Tesira slave");
    EXPECT_EQ(hall.get<std::string>("Host.accessorycard.<xmlattr>.card"), "DANTE");
    EXPECT_EQ(hall.get<std::string>("Host.accessorycard.<xmlattr>.audiofailover"), "false");
    EXPECT_EQ(hall.get<std::string>("Name"), "Hall");
    EXPECT_EQ(hall.get<std::string>("Placement.Room"), "Main");
    EXPECT_EQ(hall.get<std::string>("Placement.Rack"), "");
    EXPECT_EQ(hall.get<int>("Channels.<xmlattr>.count"), 4);
    std::vector<std::string> names;
    for (const auto& [tag, ch] : hall.get_child("Channels")) {
        if (tag == "Channel") names.push_back(ch.get<std::string>("<xmlattr>.id") + ":" + ch.get<std::string>("Name") +
                                              ":" + ch.get<std::string>("Zone"));
    }
    const auto ids = channels_of(with_card);
    EXPECT_EQ(names[1], std::to_string(ids[1]) + ":Sub:Z2");
    EXPECT_EQ(exported[1].get<std::string>("<xmlattr>.model"), "VR 125:4S");
    EXPECT_EQ(exported[2].get<std::string>("<xmlattr>.model"), "VR 25:4S");
    (void)without_card;
    (void)low_power;
}

TEST(TesiraExportNames, CodesOutsideTheKnownModelsExportNoName) {
    EXPECT_EQ(nox::tesira_export_model_name(3, false), "VR 205:4S");
    EXPECT_EQ(nox::tesira_export_model_name(5, true), "VR 85:4Sa");
    EXPECT_EQ(nox::tesira_export_model_name(8, true), "VR 45:4Sa");
    EXPECT_EQ(nox::tesira_export_model_name(2, false), "");
    EXPECT_EQ(nox::tesira_export_model_name(12, true), "");
}

TEST_F(TesiraProjectTest, ExportRequestWritesTheDocumentAndFailsWhereItCannot) {
    add_frame("tesira", "3");
    const auto path = (folder_ / "export.xml").string();
    EXPECT_EQ(run({{"method", "export_tesira"}, {"output_path", path}}).get("status"), "done");
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("model=\"VR 205:4S\""), std::string::npos);
    EXPECT_EQ(run({{"method", "export_tesira"}, {"output_path", (folder_ / "no/such/folder.xml").string()}}).get("status"),
              "fail");
}

}  // namespace
