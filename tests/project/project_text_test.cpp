// The pure parts of project files: the parse-and-validate step of an import with its
// limits, plain file names, and the listing of saved projects.
#include "backend/model/project_files.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>

namespace {

using nox::import_refused;
using nox::parse_import_text;

const std::string minimal =
    "<configuration><settings><setting><id>1</id></setting></settings></configuration>";

std::string repeated(const std::string& part, size_t count) {
    std::string out;
    out.reserve(part.size() * count);
    for (size_t i = 0; i < count; ++i) out += part;
    return out;
}

// The reason given for refusing `text`; "" when it was accepted.
std::string refusal(const std::string& text) {
    try {
        parse_import_text(text);
        return {};
    } catch (const import_refused& e) {
        return e.what();
    }
}

TEST(ImportText, MarkersMustAppearInOrder) {
    EXPECT_TRUE(nox::import_markers_in_order(minimal));
    EXPECT_FALSE(nox::import_markers_in_order(
        "<settings/><configuration><settings></settings></configuration>"));
    EXPECT_FALSE(nox::import_markers_in_order("<configuration></configuration><settings/>"));
    EXPECT_FALSE(nox::import_markers_in_order("<configuration><frames/></configuration>"));
    EXPECT_FALSE(nox::import_markers_in_order(""));
    EXPECT_NE(refusal("<settings/><configuration><settings/></configuration>").find("not a project file"),
              std::string::npos);
}

TEST(ImportText, ParsesEveryCollectionOfAProjectFileInOrder) {
    const auto parsed = parse_import_text(
        "<?xml version=\"1.0\"?>\n<!-- saved by hand -->\n<configuration>\n"
        "  <settings><setting><id>1</id><project>Hall &amp; Foyer</project></setting></settings>\n"
        "  <frames><frame><id>7</id><name><![CDATA[Rack <A>]]></name></frame></frames>\n"
        "  <zones><zone><id>2</id><name>Foyer</name></zone></zones>\n"
        "</configuration>\n");
    auto names = nox::project_store::default_collection_names();
    names.erase(std::find(names.begin(), names.end(), "requests"));
    ASSERT_EQ(parsed.size(), names.size());
    auto of = [&](const std::string& name) {
        return parsed[std::find(names.begin(), names.end(), name) - names.begin()];
    };
    ASSERT_EQ(of("settings").size(), 1u);
    EXPECT_EQ(of("settings")[0].get("project"), "Hall & Foyer");
    ASSERT_EQ(of("frames").size(), 1u);
    EXPECT_EQ(of("frames")[0].id(), 7);
    EXPECT_EQ(of("frames")[0].get("name"), "Rack <A>");
    EXPECT_EQ(of("zones")[0].get("name"), "Foyer");
    EXPECT_TRUE(of("channels").empty());
}

TEST(ImportText, TextsThatDoNotLoadAreRefusedWithTheirReason) {
    const std::string head = "<configuration><settings><setting><id>1</id></setting></settings>";
    const std::pair<std::string, std::string> cases[] = {
        // Cut off in the middle of a frame (its project name happens to hold the end marker).
        {"<configuration><settings><setting><id>1</id><project>a/configuration>b</project>"
         "</setting></settings><frames><frame><id>1</id><na", "well-formed"},
        {head + "<frames><frame><name>x</name></frame></frames></configuration>", "no id"},
        {head + "<frames><frame><id>one</id></frame></frames></configuration>", "id"},
        {head + "<frames><frame><id>1</id></frame><frame><id>1</id></frame></frames></configuration>",
         "twice"},
        {head + "<frames><frame><id>1</id><bad.key>x</bad.key></frame></frames></configuration>",
         "bad.key"},
        {head + "<channels><channel><id>1</id><frame_type>mira</frame_type><gain>loud</gain>"
                "</channel></channels></configuration>", "channels"},
        {head + "<frames><frame><id>1</id><name>\xff\xfe</name></frame></frames></configuration>",
         "frames"},
        {head + "<frames><frame><id>1</frames></configuration>", "well-formed"},
    };
    for (const auto& [text, reason] : cases) {
        const std::string why = refusal(text);
        EXPECT_NE(why.find(reason), std::string::npos) << text << "\n -> " << why;
    }
}

TEST(ImportText, HostileNestingAndSizesAreRefusedBeforeParsing) {
    // A million levels would overflow the stack of a recursive parser.
    const std::string deep = "<configuration><settings>" + repeated("<a>", 1000000) +
                             repeated("</a>", 1000000) + "</settings></configuration>";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_NE(refusal(deep).find("nested"), std::string::npos);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

    const std::string wide = "<configuration><settings/>" +
                             repeated("<x/>", nox::max_project_nodes) + "</configuration>";
    EXPECT_NE(refusal(wide).find("elements and attributes"), std::string::npos);
    const std::string attributes = "<configuration><settings/><x " +
                                   repeated("a=\"\" ", nox::max_project_nodes) + "/></configuration>";
    EXPECT_NE(refusal(attributes).find("elements and attributes"), std::string::npos);
}

TEST(ImportText, TheShapeCheckSkipsWhatTheParserSkips) {
    // Nesting inside comments, CDATA, quoted attribute values and a document type
    // declaration is no nesting; empty elements and end tags do not deepen.
    const std::string levels = repeated("<a>", 40);
    EXPECT_NO_THROW(nox::check_project_text_shape("<!--" + levels + "-->" + minimal));
    EXPECT_NO_THROW(nox::check_project_text_shape("<x><![CDATA[" + levels + "]]></x>"));
    EXPECT_NO_THROW(nox::check_project_text_shape("<x a='" + levels + "' b=\">\"/>"));
    EXPECT_NO_THROW(nox::check_project_text_shape("<!DOCTYPE x [<!ENTITY e '>'>]>" + minimal));
    EXPECT_NO_THROW(nox::check_project_text_shape(repeated("<a/>", 1000) + repeated("<b></b>", 1000)));
    EXPECT_THROW(nox::check_project_text_shape(levels), std::runtime_error);
    // Stray end tags never make room for deeper nesting.
    EXPECT_THROW(nox::check_project_text_shape(repeated("</a>", 100) + levels), std::runtime_error);
    EXPECT_NO_THROW(nox::check_project_text_shape(repeated("<a>", 32)));
}

TEST(FileNames, OnlyPlainNamesInsideTheFolderAreAccepted) {
    for (const std::string name : {"Hall.xml", "Show 2026 (final).xml", "caf\xc3\xa9.xml", "x", "x."})
        EXPECT_TRUE(nox::plain_file_name(name)) << name;
    for (const std::string name : {"", ".", "..", ".hidden.xml", "../x.xml", "/etc/x.xml", "a/b.xml", "a\\b.xml",
                                   "a\nb", "tab\there", "del\x7f"})
        EXPECT_FALSE(nox::plain_file_name(name)) << name;
    EXPECT_FALSE(nox::plain_file_name(std::string("a\0b.xml", 7)));
    EXPECT_TRUE(nox::plain_file_name(std::string(255, 'n')));
    EXPECT_FALSE(nox::plain_file_name(std::string(256, 'n')));
}

class SavedProjects : public ::testing::Test {
protected:
    SavedProjects() { std::filesystem::create_directories(folder_); }
    ~SavedProjects() override { std::filesystem::remove_all(folder_); }
    void write(const std::string& name, const std::string& text) {
        std::ofstream(folder_ / name, std::ios::binary) << text;
    }
    std::filesystem::path folder_ = std::filesystem::temp_directory_path() /
                                    ("orva-saved-" + std::to_string(::getpid()));
};

TEST_F(SavedProjects, ListsProjectFilesWithTheirNamesSortedAndNothingElse) {
    write("b.xml", "<?xml version=\"1.0\"?>\n<configuration><settings><setting><id>1</id>"
                   "<project>Big &amp; Hall</project></setting></settings></configuration>");
    write("a.xml", "<configuration><frames/></configuration>");
    write("broken.xml", "<configuration><settings><setting><id>1</id><project>x</settings>");
    write(".hidden.xml", minimal);
    write("c.xml.new.Ab12Cd", minimal);  // a save in progress
    write(std::string("odd\xff.xml"), minimal);
    std::filesystem::create_directory(folder_ / "folder.xml");
    std::filesystem::create_symlink("/etc/hostname", folder_ / "link.xml");

    const auto list = nox::list_saved_projects(folder_.string());
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].filename, "a.xml");
    EXPECT_EQ(list[0].project, "");
    EXPECT_EQ(list[1].filename, "b.xml");
    EXPECT_EQ(list[1].project, "Big & Hall");
    EXPECT_EQ(list[1].size, std::filesystem::file_size(folder_ / "b.xml"));
    EXPECT_GT(list[1].modified, 0);
    EXPECT_EQ(list[2].filename, "broken.xml");
    EXPECT_EQ(list[2].project, "");

    EXPECT_TRUE(nox::list_saved_projects((folder_ / "missing").string()).empty());
}

TEST_F(SavedProjects, ReadsOnlyRegularFilesOfTheFolder) {
    write("a.xml", minimal);
    std::filesystem::create_symlink("/etc/hostname", folder_ / "link.xml");
    EXPECT_EQ(nox::read_saved_project(folder_.string(), "a.xml").value_or("?"), minimal);
    EXPECT_FALSE(nox::read_saved_project(folder_.string(), "link.xml"));
    EXPECT_FALSE(nox::read_saved_project(folder_.string(), "missing.xml"));
    EXPECT_FALSE(nox::read_saved_project((folder_ / "sub").string(), "../a.xml"));
    EXPECT_FALSE(nox::read_saved_project(folder_.string(), ".."));
    // Without a documents folder there is nothing, not the file system's root.
    EXPECT_FALSE(nox::read_saved_project("", "a.xml"));
    EXPECT_TRUE(nox::list_saved_projects("").empty());
}

}  // namespace
