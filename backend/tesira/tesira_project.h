// Tesira project integration: amplifiers hosted by a Tesira server enter the project as
// frames with `frame_type` "tesira", the amplifier block's instance tag as `device_id` and
// the server's address as `server_address`, and leave it again as an export document.
//
//   import_tesira        reads the amplifier blocks of a Tesira configuration file, from
//   import_tesira_text   its path or its text (Tesira/Blocks/<block instanceTag=".."
//                        proxyIPAddress=".."><ampName>..</ampName></block>) and
//                        associates one frame per block
//   assoc_tesira         asks a server for one block's name and channel names and
//                        associates its frame (the server unreachable: the instance tag
//                        as the name, channels "1".."4")
//   associate_by_name    finds the frame by name or creates it with four channels, and
//                        collects a `get` request for each new frame
//   build_export_document / export_tesira
//                        every Tesira frame with its channels as a `System` document
//                        (docs/tesira_project.md)
//
// An import file is read and checked whole before anything changes: a file that is not
// readable XML, too large or too deeply nested, without Tesira/Blocks, or with a block that
// lacks a value fails the import and leaves the project as it was.
//
// Thread safety: the functions run on processing threads; frames are written under the
// `frames` collection's lock, new channels under the `channels` lock, changes of existing
// channels through the transactor; the save takes the model mutex.
#pragma once

#include "backend/amp/device.h"
#include "backend/model/device_registry.h"
#include "backend/model/project_store.h"

#include <boost/property_tree/ptree.hpp>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace nox {

class request_engine;

// One amplifier block of an import file.
struct tesira_block {
    std::string instance_tag;
    std::string proxy_address;
    std::string amp_name;
};

class tesira_import_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Limits on what an import reads: its size, and the nesting and the number of elements
// and XML attributes that the property tree's recursive parser is given.
inline constexpr std::size_t tesira_import_max_bytes = 16 * 1024 * 1024;
inline constexpr int tesira_import_max_depth = 256;
inline constexpr std::size_t tesira_import_max_nodes = 1000000;
inline constexpr std::size_t tesira_import_max_blocks = 4096;

// The blocks of an import file's text, in document order. Throws tesira_import_error
// naming the fault.
std::vector<tesira_block> read_tesira_blocks(const std::string& xml_text);

// The exported model name of a frame's `model` code with or without an accessory card;
// empty when the code names no known model.
std::string tesira_export_model_name(long long model_code, bool accessory_card);

class tesira_project {
public:
    using device_factory =
        std::function<std::shared_ptr<amp::device>(const std::string& server_address, const std::string& instance_tag)>;

    // `make_device` makes the temporary device of `assoc_tesira`.
    tesira_project(request_engine& engine, device_registry& registry, device_factory make_device);

    // 0, or 1 when the file cannot be read, is no Tesira file or a block lacks a value
    // (logged, the fault in `reason` when given; the project is unchanged).
    int import_tesira(const std::string& path, std::string* reason = nullptr);
    // The same for the text of an import file (uploaded through the user interface),
    // parsed from memory under the same limits.
    int import_tesira_text(const std::string& text, std::string* reason = nullptr);
    // 0, or 1 (logged, nothing changed) when the server address is no IPv4 address or the
    // instance tag is empty or holds a line break.
    int assoc_tesira(const std::string& server_address, const std::string& instance_tag);
    void associate_by_name(const std::string& amp_name, const std::vector<std::string>& channel_names,
                           const std::string& instance_tag, const std::string& server_address,
                           std::vector<model>& new_requests);

    boost::property_tree::ptree build_export_document() const;
    // The document as XML text (the declaration line, then the tree).
    std::string export_document_text() const;
    // Writes the document to `path` (atomically); false (logged) when it cannot.
    bool export_tesira(const std::string& path) const;

private:
    // Associates a frame with each block, then finishes as below.
    void import_blocks(const std::vector<tesira_block>& blocks);
    // Saves the project, rebuilds the devices and schedules the collected requests.
    void finish(const std::vector<model>& new_requests);

    request_engine& engine_;
    project_store& store_;
    device_registry& registry_;
    device_factory make_device_;
};

}  // namespace nox
