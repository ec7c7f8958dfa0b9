// The `import_config` and `export_config` requests on a running transactor, with devices
// made by a scripted factory: opening projects (and refusing broken ones without losing
// the open project), saving under a name and again, file names, failing writes, and the
// round trip of every collection.
#include "backend/model/project_files.h"
#include "backend/requests/model_json.h"
#include "backend/requests/project_handlers.h"
#include "tests/fakes/fake_device.h"
#include "common/platform/platform.h"
#include "tests/handlers/handler_fixture.h"

#include <csignal>
#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace nox {
// Models in failure messages as their JSON.
void PrintTo(const model& m, std::ostream* out) { *out << to_json(m); }
}  // namespace nox

namespace {

using handlers_test::handler_fixture;
using nox::model;

std::string read(const std::filesystem::path& path) {
    return nox::platform::read_file(path.string()).value_or("<missing>");
}

std::set<std::string> names_in(const std::filesystem::path& folder) {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
        names.insert(entry.path().filename().string());
    return names;
}

std::string repeated(const std::string& part, size_t count) {
    std::string out;
    for (size_t i = 0; i < count; ++i) out += part;
    return out;
}

// Clears the capabilities that let root write into folders it has no permission for,
// on the calling thread only (capabilities are per thread), until destroyed.
class without_override {
public:
    without_override() {
        header_.version = _LINUX_CAPABILITY_VERSION_3;
        if (::syscall(SYS_capget, &header_, saved_) != 0) return;
        __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
        for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER})
            reduced[cap / 32].effective &= ~(1u << (cap % 32));
        active_ = ::syscall(SYS_capset, &header_, reduced) == 0;
    }
    ~without_override() {
        if (active_) ::syscall(SYS_capset, &header_, saved_);
    }
    bool active() const { return active_ || ::geteuid() != 0; }

private:
    __user_cap_header_struct header_{};
    __user_cap_data_struct saved_[2]{};
    bool active_ = false;
};

class ProjectRequests : public handler_fixture {
protected:
    ProjectRequests() {
        projects_ = folder_ / "Documents" / "Orva";
        nox::project_handler_hooks hooks;
        hooks.projects_folder = projects_.string();
        hooks.refresh_interface = [this](const std::string& selected) { refreshed_.push_back(selected); };
        nox::register_project_handlers(engine_.methods(), hooks);

        nox::device_registry::hooks device_hooks;
        device_hooks.make_device = [](const model&) -> nox::device_registry::device_ptr {
            return std::make_shared<nox::testing::fake_device>();
        };
        registry_.set_hooks(device_hooks);

        std::ofstream(folder_ / "template.xml", std::ios::binary) << template_text;
    }

    // An open project: settings, two associated frames with their channels, a zone, and a
    // request in flight; saved to the working copy.
    void open_project() {
        model settings = store_.get_settings();
        settings.set("selected_interface", "10.99.0.1");
        settings.set("project", "Current");
        store_.put_settings(settings);
        add_frame("mira", "28", "0000abcd:00000001");
        add_frame("mira", "28", "0000abcd:00000002");
        model zone;
        zone.set("name", "Foyer");
        c("zones").add_locked(zone);
        model pending;
        pending.set("method", "get");
        pending.set("status", "wait");
        c("requests").add_locked(pending);
        registry_.rebuild_devices(false);
        store_.set_project_dirty(true);
        ASSERT_TRUE(store_.save_locked());
    }

    // The models of every collection of the project (all but `requests`), sorted by id.
    std::map<std::string, std::vector<model>> snapshot() {
        std::map<std::string, std::vector<model>> all;
        for (const auto& collection : store_.collections()) {
            if (collection->name() == "requests") continue;
            auto models = collection->get_all();
            std::sort(models.begin(), models.end(),
                      [](const model& a, const model& b) { return a.id() < b.id(); });
            all[collection->name()] = std::move(models);
        }
        return all;
    }
    std::vector<std::vector<model>> parsed(const std::filesystem::path& file) {
        return nox::parse_project_text(read(file), store_.saved_collection_names());
    }
    std::map<std::string, nox::device_registry::device_ptr> devices() {
        std::map<std::string, nox::device_registry::device_ptr> all;
        for (auto& [id, device] : registry_.devices()) all[id] = device;
        return all;
    }

    // Posts a request and carries it out as the processing thread and the transactor do:
    // stored, handled, its final state merged (here all on the test thread: these
    // handlers write the store themselves and enqueue nothing). Returns it as handled.
    model post(const std::map<std::string, std::string>& attributes) {
        model request;
        for (const auto& [k, v] : attributes) request.set(k, v);
        request = engine_.post_request(request);
        engine_.dispatch(request);
        engine_.commit("requests", request, true);
        return request;
    }
    // Handles a request that was never stored (its attributes need not be storable).
    model handle(const std::map<std::string, std::string>& attributes) {
        model request(9999);
        request.set("status", "wait");
        for (const auto& [k, v] : attributes) request.set(k, v);
        engine_.dispatch(request);
        return request;
    }
    model import(const std::string& data) { return post({{"method", "import_config"}, {"data", data}}); }
    model save_as(const std::string& filename, const std::string& project, bool overwrite = false) {
        std::map<std::string, std::string> request = {
            {"method", "export_config"}, {"mode", "save_as"}, {"filename", filename}, {"project", project}};
        if (overwrite) request["overwrite"] = "true";
        return post(request);
    }
    model save() { return post({{"method", "export_config"}, {"mode", "save"}}); }

    static inline const std::string template_text =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<configuration><settings><setting><id>1</id>"
        "<selected_interface>192.168.1.1</selected_interface></setting></settings>"
        "<frames><frame><id>1</id><frame_type>mira</frame_type><synced>true</synced>"
        "<device_id>0000abcd:00000009</device_id><channels>1 2</channels></frame></frames>"
        "<channels><channel><id>1</id><frame_id>1</frame_id><synced>true</synced></channel>"
        "<channel><id>2</id><frame_id>1</frame_id><synced>false</synced></channel></channels>"
        "<project_dirty><project_dirt><id>1</id><project_dirty>0</project_dirty></project_dirt>"
        "</project_dirty></configuration>";

    std::filesystem::path projects_;
    std::vector<std::string> refreshed_;
};

TEST_F(ProjectRequests, EmptyConfigurationStartsFromTheTemplateWithEveryFrameUnsynced) {
    open_project();
    const auto old_devices = devices();
    notifier_.clear();
    const model request = import(std::string(nox::empty_configuration));
    EXPECT_EQ(request.get("status"), "done") << request.get("error");

    EXPECT_EQ(read(store_.configuration_path()), template_text);
    ASSERT_EQ(c("frames").size_locked(), 1u);
    EXPECT_EQ(frame(1).get("synced"), "false");
    EXPECT_EQ(channel(1).get("synced"), "false");
    EXPECT_EQ(channel(2).get("synced"), "false");
    EXPECT_EQ(c("zones").size_locked(), 0u);
    // The machine's interface choice is handed on, not the template's.
    EXPECT_EQ(refreshed_, std::vector<std::string>{"10.99.0.1"});
    // Only the import's own record is left of the requests, finished.
    ASSERT_EQ(c("requests").size_locked(), 0u) << "a done request is removed by its final merge";
    // The devices follow the template's frames.
    const auto now = devices();
    ASSERT_EQ(now.size(), 1u);
    EXPECT_TRUE(now.count("0000abcd:00000009"));
    EXPECT_FALSE(store_.is_project_dirty());
    EXPECT_EQ(notifier_.count("sigwaitdone"), 1u);
    EXPECT_EQ(notifier_.count("project_up_to_date"), 1u);
    EXPECT_NE(log_text().find("sending sigwaitdone"), std::string::npos);
}

TEST_F(ProjectRequests, AFailedImportStaysStoredAsFailedWithoutItsText) {
    open_project();
    const model request = import("<settings/><configuration><settings/></configuration>");
    EXPECT_EQ(request.get("status"), "fail");
    const model stored = c("requests").get_locked(request.id());
    EXPECT_EQ(stored.get("status"), "fail");
    EXPECT_EQ(stored.get("data"), "");
    EXPECT_NE(stored.get("error").find("not a project file"), std::string::npos);
    // The request in flight before it is still there: nothing was emptied.
    EXPECT_EQ(c("requests").size_locked(), 2u);
    EXPECT_EQ(notifier_.count("sigwaitdone"), 1u);

    const model without = post({{"method", "import_config"}});
    EXPECT_EQ(without.get("status"), "fail");
}

TEST_F(ProjectRequests, ABrokenImportKeepsTheOpenProject) {
    open_project();
    const auto before = snapshot();
    const std::string file = read(store_.configuration_path());
    const auto old_devices = devices();
    const auto files = names_in(folder_);
    const std::string head = "<configuration><settings><setting><id>1</id></setting></settings>";
    // One of each kind (the parser's refusals are tested on their own): cut off, refused
    // by the store's rules, hostile nesting, hostile size.
    const std::string broken[] = {
        "<configuration><settings><setting><id>1</id><project>a/configuration>b</project>"
        "</setting></settings><frames><frame><id>1</id><na",
        head + "<frames><frame><id>1</id><bad.key>x</bad.key></frame></frames></configuration>",
        head + "<frames>" + repeated("<f>", 100000) + "</frames></configuration>",
        head + repeated("<z/>", nox::max_project_nodes + 1) + "</configuration>",
    };
    for (const auto& text : broken) {
        notifier_.clear();
        const model request = import(text);
        EXPECT_EQ(request.get("status"), "fail") << text.substr(0, 200);
        EXPECT_FALSE(request.get("error").empty());
        EXPECT_EQ(c("requests").get_locked(request.id()).get("status"), "fail");
        EXPECT_EQ(c("requests").size_locked(), 2u) << "the requests were not emptied";
        c("requests").remove_locked(request.id());
        EXPECT_EQ(snapshot(), before) << text.substr(0, 200);
        EXPECT_EQ(read(store_.configuration_path()), file);
        EXPECT_EQ(devices(), old_devices);
        EXPECT_EQ(names_in(folder_), files) << "a temporary file was left behind";
        EXPECT_EQ(notifier_.count("sigwaitdone"), 1u);
        EXPECT_EQ(notifier_.count("project_up_to_date") + notifier_.count("project_dirty"), 0u);
    }
    EXPECT_TRUE(refreshed_.empty());
}

TEST_F(ProjectRequests, ASuccessfulImportReplacesDevicesAndLeavesNoTemporaryFile) {
    open_project();
    const auto old_devices = devices();
    const auto files = names_in(folder_);
    const std::string text =
        "<configuration><settings><setting><id>1</id><project>Other</project></setting></settings>"
        "<frames><frame><id>4</id><frame_type>mira</frame_type><device_id>0000abcd:00000001</device_id>"
        "<synced>true</synced></frame></frames></configuration>";
    const model request = import(text);
    ASSERT_EQ(request.get("status"), "done") << request.get("error");
    EXPECT_EQ(read(store_.configuration_path()), text);
    EXPECT_EQ(names_in(folder_), files);
    const auto now = devices();
    ASSERT_EQ(now.size(), 1u);
    ASSERT_TRUE(now.count("0000abcd:00000001"));
    EXPECT_NE(now.at("0000abcd:00000001"), old_devices.at("0000abcd:00000001"))
        << "no device state is carried over";
    EXPECT_EQ(frame(4).get("synced"), "false");
    EXPECT_EQ(store_.get_settings().get("project"), "Other");
    EXPECT_EQ(refreshed_, std::vector<std::string>{"10.99.0.1"});
}

TEST_F(ProjectRequests, SaveAsWritesTheFileAndMakesTheProjectClean) {
    open_project();
    notifier_.clear();
    const model request = save_as("Hall.xml", "Hall");
    EXPECT_EQ(request.get("status"), "done") << request.get("error");
    EXPECT_EQ(request.get("export_result"), "0");
    EXPECT_EQ(request.get("output_path"), (projects_ / "Hall.xml").string());

    // The file is the project with its new name, clean; the working copy says the same.
    const auto saved = nox::parse_import_text(read(projects_ / "Hall.xml"), store_.saved_collection_names());
    const model settings = saved[0].at(0);
    EXPECT_EQ(settings.get("filename"), "Hall.xml");
    EXPECT_EQ(settings.get("project"), "Hall");
    EXPECT_EQ(saved, parsed(store_.configuration_path()));
    EXPECT_NE(read(projects_ / "Hall.xml").find("<project_dirty>0</project_dirty>"), std::string::npos);
    EXPECT_EQ(saved[2].size(), 2u) << "both frames";

    EXPECT_EQ(store_.get_settings().get("filename"), "Hall.xml");
    EXPECT_EQ(store_.get_settings().get("project"), "Hall");
    EXPECT_FALSE(store_.is_project_dirty());
    const auto sent = notifier_.sent();
    const auto clean = std::find(sent.begin(), sent.end(), "project_up_to_date");
    ASSERT_NE(clean, sent.end());
    EXPECT_NE(std::find(clean, sent.end(), "sigupdate"), sent.end());
}

TEST_F(ProjectRequests, SaveAsOntoAnExistingFileNeedsOverwrite) {
    open_project();
    std::filesystem::create_directories(projects_);
    std::ofstream(projects_ / "Hall.xml") << "someone else's";
    const model kept = save_as("Hall.xml", "Hall");
    EXPECT_EQ(kept.get("status"), "done");
    EXPECT_EQ(kept.get("export_result"), "2");
    EXPECT_FALSE(kept.has("output_path"));
    EXPECT_EQ(read(projects_ / "Hall.xml"), "someone else's");
    EXPECT_TRUE(store_.is_project_dirty());
    EXPECT_EQ(store_.get_settings().get("project"), "Current");

    const model replaced = save_as("Hall.xml", "Hall", true);
    EXPECT_EQ(replaced.get("export_result"), "0");
    EXPECT_EQ(parsed(projects_ / "Hall.xml"), parsed(store_.configuration_path()));
    EXPECT_FALSE(store_.is_project_dirty());
}

TEST_F(ProjectRequests, APlainSaveReusesTheStoredFileAndProject) {
    open_project();
    const model first = save();
    EXPECT_EQ(first.get("status"), "fail");
    EXPECT_EQ(first.get("export_result"), "1");

    ASSERT_EQ(save_as("Show.xml", "Show").get("export_result"), "0");
    model renamed(1);
    renamed.set("name", "Renamed rack");
    c("frames").update(renamed);
    store_.set_project_dirty(true);

    const model again = save();
    EXPECT_EQ(again.get("status"), "done");
    EXPECT_EQ(again.get("export_result"), "0");
    EXPECT_EQ(again.get("output_path"), (projects_ / "Show.xml").string());
    EXPECT_NE(read(projects_ / "Show.xml").find("Renamed rack"), std::string::npos);
    EXPECT_EQ(store_.get_settings().get("project"), "Show");
    EXPECT_FALSE(store_.is_project_dirty());
    EXPECT_EQ(names_in(projects_), std::set<std::string>{"Show.xml"});

    // A request without `mode` cannot say what it wants.
    EXPECT_EQ(post({{"method", "export_config"}}).get("status"), "fail");
}

TEST_F(ProjectRequests, FileNamesThatLeaveTheProjectsFolderAreRefused) {
    open_project();
    std::filesystem::create_directories(projects_);
    const auto outside = names_in(projects_.parent_path());
    const std::string hostile[] = {"", "/tmp/evil.xml", "../evil.xml", "..", ".", "sub/evil.xml",
                                   "..\\evil.xml", std::string("evil.xml\0.txt", 13), "evil\n.xml",
                                   std::string(256, 'e')};
    for (const auto& name : hostile) {
        const model request = handle({{"method", "export_config"}, {"mode", "save_as"},
                                      {"filename", name}, {"project", "Evil"}});
        EXPECT_EQ(request.get("status"), "fail") << name;
        EXPECT_EQ(request.get("export_result"), "1") << name;
        EXPECT_FALSE(request.get("error").empty());
    }
    EXPECT_TRUE(names_in(projects_).empty());
    EXPECT_EQ(names_in(projects_.parent_path()), outside);
    EXPECT_FALSE(std::filesystem::exists("/tmp/evil.xml"));
    EXPECT_EQ(store_.get_settings().get("project"), "Current");

    // A name put into the settings by other means is refused for a plain save too.
    model settings = store_.get_settings();
    settings.set("filename", "../evil.xml");
    store_.put_settings(settings);
    EXPECT_EQ(save().get("export_result"), "1");
    EXPECT_EQ(names_in(projects_.parent_path()), outside);
}

TEST_F(ProjectRequests, AnExportThatCannotWriteFailsAndChangesNothing) {
    open_project();
    std::filesystem::create_directories(projects_);
    const auto before = snapshot();

    // A read-only folder.
    std::filesystem::permissions(projects_, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    {
        without_override guard;
        ASSERT_TRUE(guard.active());
        const model request = save_as("Hall.xml", "Hall");
        EXPECT_EQ(request.get("status"), "fail");
        EXPECT_EQ(request.get("export_result"), "3");
        EXPECT_EQ(request.get("output_path"), (projects_ / "Hall.xml").string());
        EXPECT_NE(request.get("error").find("cannot create"), std::string::npos) << request.get("error");
    }
    std::filesystem::permissions(projects_, std::filesystem::perms::owner_all);
    EXPECT_TRUE(names_in(projects_).empty());
    EXPECT_EQ(snapshot(), before);
    EXPECT_TRUE(store_.is_project_dirty());

    // A disk that fills up in the middle of the file: the file that was there stays whole.
    ASSERT_EQ(save_as("Hall.xml", "Hall").get("export_result"), "0");
    const std::string good = read(projects_ / "Hall.xml");
    for (int i = 0; i < 200; ++i) add_frame();
    store_.set_project_dirty(true);
    const auto grown = snapshot();
    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = good.size() + 100;
    ::setrlimit(RLIMIT_FSIZE, &small);
    const model full = save();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    EXPECT_EQ(full.get("status"), "fail");
    EXPECT_EQ(full.get("export_result"), "3");
    EXPECT_EQ(read(projects_ / "Hall.xml"), good);
    EXPECT_EQ(names_in(projects_), std::set<std::string>{"Hall.xml"});
    EXPECT_TRUE(store_.is_project_dirty()) << "a failed save must not report the project clean";
    EXPECT_EQ(snapshot(), grown);

    // No documents folder at all, or a file where the folder should be.
    std::filesystem::remove_all(projects_);
    std::ofstream(projects_) << "a file";
    EXPECT_EQ(save_as("Hall.xml", "Hall").get("export_result"), "3");
}

TEST_F(ProjectRequests, AnExportedProjectImportsBackToEveryCollectionAsSaved) {
    open_project();
    model speaker;
    speaker.set("name", " Line array & sub ");
    speaker.set("tags", "line, sub");
    c("speakers").add_locked(speaker);
    model channel_change(channels_of(1)[0]);
    channel_change.set("gain", "20.500000");
    channel_change.set("frame_type", "mira");
    c("channels").update(channel_change);
    ASSERT_EQ(save_as("Round.xml", "Round trip").get("export_result"), "0");
    const auto saved = snapshot();

    // Change the project in every way, then open the saved file.
    c("zones").clear_locked();
    c("frames").remove_locked(2);
    model extra;
    extra.set("name", "Later");
    c("cables").add_locked(extra);
    model settings = store_.get_settings();
    settings.set("project", "Changed");
    store_.put_settings(settings);

    const model request = import(read(projects_ / "Round.xml"));
    ASSERT_EQ(request.get("status"), "done") << request.get("error");
    EXPECT_EQ(snapshot(), saved);
    EXPECT_FALSE(store_.is_project_dirty());
}

}  // namespace
