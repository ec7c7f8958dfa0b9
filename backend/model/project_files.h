// The user's project files: opening a project from its XML text (import), saving the
// working copy under a name in the projects folder (export), and listing what that folder
// holds. See docs/project_file.md.
//
// The projects folder is "Orva" inside the user's documents folder. File names given for
// it are plain names: nothing that leads out of the folder is accepted.
//
// Import never loses the open project: the text is checked and parsed completely before
// anything changes, the project file is replaced atomically, and only then are the
// collections replaced. Export writes its target atomically (temporary file in the same
// folder, fsync, rename) and changes the settings and the dirty state only once the file
// is in place.
//
// Thread safety: `import_configuration` and `export_configuration` take the store's model
// mutex for their whole run (the caller must not hold it). The other functions keep no
// state and may be called from any thread.
#pragma once

#include "backend/model/project_store.h"

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace nox {

// The `data` of an import that starts a new project from the template.
inline constexpr std::string_view empty_configuration = "empty configuration";

// An import text that is not a loadable project; what() is the reason.
class import_refused : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Whether the first "<configuration", "<settings" and "/configuration>" of `text` are
// present in this order, each strictly after the previous: the quick test that a text is
// meant to be a project file at all.
bool import_markers_in_order(std::string_view text);

// The parse-and-validate step of an import, without a store or a running backend: the
// marker test, then the whole text parsed and checked as a load does it (shape limits,
// well-formed XML, ids, keys, values, normalisation). Returns the models of the
// collections `names` (default: the collections that a project file holds), in that
// order. Throws import_refused with the reason.
std::vector<std::vector<model>> parse_import_text(const std::string& text,
                                                  const std::vector<std::string>& names);
std::vector<std::vector<model>> parse_import_text(const std::string& text);

struct import_outcome {
    int result = 0;      // 0 imported, 1 refused (nothing changed)
    std::string reason;  // why, when refused
};

// Opens a project: `data` is either "empty configuration" (the template) or the whole XML
// text of a project file. Once the text has loaded completely, under the model mutex: the
// project file becomes that text, every collection but `requests` is replaced, `requests`
// is emptied (requests still in flight then change nothing when they end), the devices
// are rebuilt, `refresh_interface` is called with the
// interface chosen before the import (so that the machine's choice survives), and every
// frame and channel becomes unsynced. On refusal the collections, the project file and
// the devices are as they were.
import_outcome import_configuration(project_store& store, const std::string& data,
                                    const std::function<void(const std::string&)>& refresh_interface = {});

// Export results (`export_result` of the request).
enum export_code : int {
    export_written = 0,
    export_no_file_name = 1,  // no file name, or one that is not a plain name in the folder
    export_file_exists = 2,   // "save_as" onto an existing file without `overwrite` "true"
    export_not_written = 3,   // the file could not be written (reason given)
};

struct export_outcome {
    int result = export_written;
    std::string output_path;                // the target, once one was chosen
    std::string reason;                     // why, for results 1 and 3
    model settings;                         // the settings as stored after a written "save_as"
    std::vector<std::string> changed_keys;  // the keys of the settings that it changed
};

// Saves the project into `projects_folder` (created when missing) as the export request
// asks: `mode` "save_as" with `filename`, `project` and optional `overwrite`, or any other
// `mode` for a plain save to the stored `filename`. The written file holds the project
// with the new `filename` and `project` in its settings and `project_dirty` "0"; once it
// is in place the settings are merged, the working copy is saved and the project is
// marked clean ("project_up_to_date"). When the file cannot be written nothing of the
// project changes. Throws the attribute-lookup error when the request lacks `mode`, or
// `project` for a "save_as" with a `filename`.
export_outcome export_configuration(project_store& store, const model& request,
                                    const std::string& projects_folder);

// Whether `name` is a plain, visible file name inside a folder: not empty, not starting
// with "." (so neither "." nor ".." nor a hidden file), no "/" or "\", no control
// characters (NUL included), at most 255 bytes.
bool plain_file_name(std::string_view name);

// "Orva" in the user's documents folder; empty when there is no documents folder.
std::string default_projects_folder();

struct saved_project {
    std::string filename;  // name inside the projects folder
    std::string project;   // `project` of the file's settings ("" when it has none)
    std::uintmax_t size = 0;
    std::time_t modified = 0;
};

// The text of the project file `name` in `folder`; nothing when `name` is not a plain
// file name or names no regular file there (symbolic links are not followed, so nothing
// outside the folder is read) or the file cannot be read. An empty `folder` (no documents
// folder) holds nothing.
std::optional<std::string> read_saved_project(const std::string& folder, const std::string& name);

// The project files of `folder`, sorted by file name: regular files with plain UTF-8
// names (so not hidden), not symbolic links, and not a save in progress. The project name is
// read from the settings near the start of each file. A missing or empty `folder` lists
// nothing.
std::vector<saved_project> list_saved_projects(const std::string& folder);

}  // namespace nox
