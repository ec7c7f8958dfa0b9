#include "backend/model/project_files.h"

#include "common/log/log.h"
#include "common/platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace nox {

namespace {

const std::string requests_name = "requests";

// How much of a saved project is read to find its name: the settings come first in the
// files that the backend writes.
constexpr size_t settings_search_bytes = 256 * 1024;

// Names that write_file_atomically gives its temporary files: "<target>.new.XXXXXX".
bool save_in_progress(std::string_view name) {
    constexpr std::string_view marker = ".new.";
    return name.size() > marker.size() + 6 &&
           name.compare(name.size() - marker.size() - 6, marker.size(), marker) == 0;
}

// Opens a regular file of `folder` for reading without following a symbolic link;
// -1 when there is none.
int open_regular(const std::string& folder, const std::string& name) {
    const std::string path = folder + "/" + name;
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Reads up to `limit` bytes (all when 0) of an open file and closes it.
std::optional<std::string> read_and_close(int fd, size_t limit) {
    std::string text;
    std::vector<char> buffer(65536);  // not on the stack: the web server's threads have small ones
    bool ok = true;
    while (limit == 0 || text.size() < limit) {
        ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            ok = false;
            break;
        }
        if (got == 0) break;
        text.append(buffer.data(), static_cast<size_t>(got));
    }
    ::close(fd);
    if (!ok) return std::nullopt;
    if (limit != 0 && text.size() > limit) text.resize(limit);
    return text;
}

// `project` of the settings in the first part of a project text; "" when not found.
std::string project_name_in(const std::string& head) {
    const size_t open = head.find("<settings>");
    if (open == std::string::npos) return {};
    const size_t close = head.find("</settings>", open);
    if (close == std::string::npos) return {};
    const std::string fragment =
        "<configuration>" + head.substr(open, close + 11 - open) + "</configuration>";
    try {
        const auto parsed = parse_project_text(fragment, {"settings"});
        for (const auto& m : parsed.front())
            if (m.id() == 1) return m.get("project");
    } catch (const std::exception&) {
        // A damaged settings element names no project.
    }
    return {};
}

}  // namespace

bool import_markers_in_order(std::string_view text) {
    const size_t configuration = text.find("<configuration");
    if (configuration == std::string_view::npos) return false;
    const size_t settings = text.find("<settings");
    if (settings == std::string_view::npos || settings <= configuration) return false;
    const size_t end = text.find("/configuration>");
    return end != std::string_view::npos && end > settings;
}

std::vector<std::vector<model>> parse_import_text(const std::string& text,
                                                  const std::vector<std::string>& names) {
    if (!import_markers_in_order(text))
        throw import_refused("not a project file: \"<configuration\", \"<settings\" and "
                             "\"/configuration>\" are not there in this order");
    try {
        return parse_project_text(text, names);
    } catch (const std::exception& e) {
        throw import_refused(e.what());
    }
}

std::vector<std::vector<model>> parse_import_text(const std::string& text) {
    std::vector<std::string> names = project_store::default_collection_names();
    names.erase(std::remove(names.begin(), names.end(), requests_name), names.end());
    return parse_import_text(text, names);
}

import_outcome import_configuration(project_store& store, const std::string& data,
                                    const std::function<void(const std::string&)>& refresh_interface) {
    const bool from_template = data == empty_configuration;
    if (!from_template && !import_markers_in_order(data)) {
        log_line("Import refused: not a project file");
        return {1, "not a project file: \"<configuration\", \"<settings\" and \"/configuration>\" "
                   "are not there in this order"};
    }
    log_line("Importing configuration ");

    // Everything is read and checked before the model mutex is taken and anything changes.
    std::optional<std::string> template_text;
    if (from_template) {
        template_text = platform::read_file(store.template_path());
        if (!template_text) {
            log_line("Import refused: cannot read the template " + store.template_path());
            return {1, "cannot read the template configuration"};
        }
    }
    const std::string& text = from_template ? *template_text : data;
    std::vector<std::vector<model>> parsed;
    try {
        parsed = from_template ? parse_project_text(text, store.saved_collection_names())
                               : parse_import_text(text, store.saved_collection_names());
    } catch (const std::exception& e) {
        log_line(std::string("Import refused: ") + e.what());
        return {1, e.what()};
    }

    nox::lock_guard lock(store.model_mutex());
    const std::string selected = store.get_settings().get("selected_interface");
    std::string error;
    if (!platform::write_file_atomically(store.configuration_path(), text, &error)) {
        log_line("Import failed: " + error);
        return {1, "cannot write the project file: " + error};
    }
    store.collection(requests_name).clear_locked();
    store.install(std::move(parsed), false);
    if (refresh_interface) refresh_interface(selected);
    store.mark_all_unsynced();
    return {};
}

bool plain_file_name(std::string_view name) {
    if (name.empty() || name[0] == '.' || name.size() > 255) return false;
    return std::none_of(name.begin(), name.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return c == '/' || c == '\\' || u < 0x20 || u == 0x7f;
    });
}

std::string default_projects_folder() {
    auto documents = platform::documents_folder();
    return documents ? *documents + "/Orva" : std::string();
}

export_outcome export_configuration(project_store& store, const model& request,
                                    const std::string& projects_folder) {
    nox::lock_guard lock(store.model_mutex());
    export_outcome out;
    const model settings = store.get_settings();
    const bool save_as = request.at("mode") == "save_as";

    // The settings that the written file carries.
    model adopted = settings;
    std::string filename;
    if (save_as) {
        if (!request.has("filename")) {
            out.result = export_no_file_name;
            out.reason = "no file name";
            return out;
        }
        filename = request.at("filename");
        adopted.set("filename", filename);
        adopted.set("project", request.at("project"));
    } else {
        if (!settings.has("filename")) {
            out.result = export_no_file_name;
            out.reason = "the project has no file name yet";
            return out;
        }
        filename = settings.at("filename");
    }
    if (!plain_file_name(filename)) {
        log_line("Refused to save to \"" + filename + "\": not a plain file name");
        out.result = export_no_file_name;
        out.reason = "not a plain file name";
        return out;
    }
    if (projects_folder.empty()) {
        out.result = export_not_written;
        out.reason = "there is no documents folder";
        return out;
    }
    platform::make_directories(projects_folder);
    const std::string target = projects_folder + "/" + filename;
    if (save_as && platform::path_exists(target) && !request.has("overwrite", "true")) {
        out.result = export_file_exists;
        return out;
    }
    out.output_path = target;

    store.is_project_dirty();  // makes sure model 1 exists, so that it is replaced below
    model clean(1);
    clean.set("project_dirty", "0");
    const std::string text = store.serialise({{"settings", adopted}, {"project_dirty", clean}});
    std::string error;
    if (!platform::write_file_atomically(target, text, &error)) {
        log_line("Could not save the project to " + target + ": " + error);
        out.result = export_not_written;
        out.reason = error;
        return out;
    }

    // The file is in place: the project now is what it holds.
    if (save_as) {
        // Only the two names: a settings change made meanwhile by another thread stays.
        model names(adopted.id());
        names.set("filename", adopted.at("filename"));
        names.set("project", adopted.at("project"));
        store.collection("settings").update(names, &out.changed_keys);
        out.settings = store.get_settings();
    }
    store.set_project_dirty(false);
    store.save();
    store.mark_project_clean();
    log_line("Saved the project to " + target);
    return out;
}

std::optional<std::string> read_saved_project(const std::string& folder, const std::string& name) {
    if (folder.empty() || !plain_file_name(name)) return std::nullopt;
    int fd = open_regular(folder, name);
    if (fd < 0) return std::nullopt;
    return read_and_close(fd, 0);
}

std::vector<saved_project> list_saved_projects(const std::string& folder) {
    std::vector<saved_project> projects;
    if (folder.empty()) return projects;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        saved_project p;
        p.filename = entry.path().filename().string();
        // Names a user interface could not show or send back (not UTF-8) are left out too.
        if (!plain_file_name(p.filename) || save_in_progress(p.filename) ||
            !valid_attribute_value(p.filename))
            continue;
        int fd = open_regular(folder, p.filename);
        if (fd < 0) continue;
        struct stat st {};
        if (::fstat(fd, &st) == 0) {
            p.size = static_cast<std::uintmax_t>(st.st_size);
            p.modified = st.st_mtime;
        }
        if (auto head = read_and_close(fd, settings_search_bytes)) p.project = project_name_in(*head);
        projects.push_back(std::move(p));
    }
    std::sort(projects.begin(), projects.end(),
              [](const saved_project& a, const saved_project& b) { return a.filename < b.filename; });
    return projects;
}

}  // namespace nox
