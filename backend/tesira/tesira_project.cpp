#include "backend/tesira/tesira_project.h"

#include "backend/amp/tesira_family.h"
#include "backend/model/exceptions.h"
#include "backend/requests/request_engine.h"
#include "common/log/log.h"
#include "common/platform/platform.h"

#include <boost/property_tree/xml_parser.hpp>

#include <arpa/inet.h>
#include <filesystem>
#include <sstream>

namespace nox {

namespace pt = boost::property_tree;

namespace {

// The frame type of the frames this area makes and exports.
std::string tesira_type() { return std::string(amp::tesira_family().frame_type()); }

// Whether a frame belongs to the Tesira family (asked of the families, not by its text).
bool tesira_frame(const model& frame) {
    return frame.has("frame_type") && &amp::family_for(frame.get("frame_type")) == &amp::tesira_family();
}

const std::vector<std::string> default_channel_names = {"1", "2", "3", "4"};

bool is_ipv4(const std::string& text) {
    in_addr address{};
    return ::inet_pton(AF_INET, text.c_str(), &address) == 1;
}

std::string join(const std::vector<std::string>& parts) {
    std::string text;
    for (const auto& part : parts) text += (text.empty() ? "" : " ") + part;
    return text;
}

std::string xml_text(const pt::ptree& document) {
    std::ostringstream out;
    pt::write_xml(out, document, pt::xml_writer_make_settings<std::string>(' ', 0));
    return out.str();
}

// The export names of the model codes: 3..5 the high-power models, 6..8 the low-power
// ones (15, 25 and 45), each without and with an accessory card.
struct export_name {
    long long code;
    const char* plain;
    const char* with_card;
};
constexpr export_name export_names[] = {
    {3, "VR 205:4S", "VR 205:4Sa"}, {4, "VR 125:4S", "VR 125:4Sa"}, {5, "VR 85:4S", "VR 85:4Sa"},
    {6, "VR 15:4S", "VR 15:4Sa"},   {7, "VR 25:4S", "VR 25:4Sa"},   {8, "VR 45:4S", "VR 45:4Sa"},
};

}  // namespace

std::vector<tesira_block> read_tesira_blocks(const std::string& xml_text_in) {
    if (xml_text_in.size() > tesira_import_max_bytes) throw tesira_import_error("file too large");
    std::string text = xml_text_in;
    if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);  // a UTF-8 byte-order mark
    try {
        check_xml_shape(text, tesira_import_max_depth, tesira_import_max_nodes);
    } catch (const std::runtime_error& e) {
        throw tesira_import_error(e.what());
    }

    pt::ptree tree;
    try {
        std::istringstream in(text);
        pt::read_xml(in, tree, pt::xml_parser::no_comments | pt::xml_parser::trim_whitespace);
    } catch (const pt::xml_parser_error& e) {
        throw tesira_import_error(std::string("not readable as XML: ") + e.what());
    }
    const auto blocks = tree.get_child_optional("Tesira.Blocks");
    if (!blocks) throw tesira_import_error("no Tesira.Blocks");

    std::vector<tesira_block> found;
    for (const auto& [element, block] : *blocks) {
        if (element == "<xmlattr>" || element == "<xmlcomment>") continue;
        if (found.size() == tesira_import_max_blocks) throw tesira_import_error("too many blocks");
        tesira_block b;
        const auto tag = block.get_optional<std::string>("<xmlattr>.instanceTag");
        const auto address = block.get_optional<std::string>("<xmlattr>.proxyIPAddress");
        const auto name = block.get_child_optional("ampName");
        const std::string position = "block " + std::to_string(found.size() + 1) + " (" + element + ")";
        if (!tag || tag->empty()) throw tesira_import_error(position + " has no instanceTag");
        if (!address || !is_ipv4(*address)) throw tesira_import_error(position + " has no IPv4 proxyIPAddress");
        if (!name || name->data().empty()) throw tesira_import_error(position + " has no ampName");
        if (tag->find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
            throw tesira_import_error(position + " has a line break in its instanceTag");
        }
        b.instance_tag = storable_text(*tag);
        b.proxy_address = *address;
        b.amp_name = storable_text(name->data());
        found.push_back(std::move(b));
    }
    return found;
}

std::string tesira_export_model_name(long long model_code, bool accessory_card) {
    for (const auto& name : export_names) {
        if (name.code == model_code) return accessory_card ? name.with_card : name.plain;
    }
    return {};
}

tesira_project::tesira_project(request_engine& engine, device_registry& registry, device_factory make_device)
    : engine_(engine), store_(engine.store()), registry_(registry), make_device_(std::move(make_device)) {}

int tesira_project::import_tesira(const std::string& path, std::string* reason) {
    std::vector<tesira_block> blocks;
    try {
        std::error_code size_error;
        const auto size = std::filesystem::file_size(path, size_error);
        if (!size_error && size > tesira_import_max_bytes) throw tesira_import_error("file too large");
        const auto text = platform::read_file(path);
        if (!text) throw tesira_import_error("cannot read file");
        blocks = read_tesira_blocks(*text);
    } catch (const tesira_import_error& e) {
        log_line("Tesira import of " + path + " failed: " + e.what());
        if (reason) *reason = e.what();
        return 1;
    }
    import_blocks(blocks);
    return 0;
}

int tesira_project::import_tesira_text(const std::string& text, std::string* reason) {
    std::vector<tesira_block> blocks;
    try {
        blocks = read_tesira_blocks(text);
    } catch (const tesira_import_error& e) {
        log_line(std::string("Tesira import of an uploaded file failed: ") + e.what());
        if (reason) *reason = e.what();
        return 1;
    }
    import_blocks(blocks);
    return 0;
}

void tesira_project::import_blocks(const std::vector<tesira_block>& blocks) {
    std::vector<model> new_requests;
    for (const auto& block : blocks) {
        associate_by_name(block.amp_name, default_channel_names, block.instance_tag, block.proxy_address, new_requests);
    }
    finish(new_requests);
}

int tesira_project::assoc_tesira(const std::string& server_address, const std::string& instance_tag) {
    // A frame must name a server it can reach and an amplifier block it can address.
    if (!is_ipv4(server_address) || instance_tag.empty() ||
        instance_tag.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
        log_line("Assoc: refusing server \"" + storable_text(server_address) + "\" with instance tag \"" +
                 storable_text(instance_tag) + "\"");
        return 1;
    }
    std::string name;
    std::vector<std::string> channel_names;
    {
        // The temporary device, and with it its connection, ends with this block.
        const auto dev = make_device_ ? make_device_(server_address, instance_tag) : nullptr;
        if (!dev || dev->read_frame_name(name) != amp::result_ok || name.empty()) {
            name = instance_tag;
        } else {
            dev->read_channel_names(channel_names);
        }
    }
    // Positions the server did not name keep their numbers, so a new frame always has
    // four channels.
    for (std::size_t i = channel_names.size(); i < default_channel_names.size(); ++i) {
        channel_names.push_back(default_channel_names[i]);
    }
    channel_names.resize(default_channel_names.size());
    for (auto& n : channel_names) n = storable_text(n);
    std::vector<model> new_requests;
    associate_by_name(storable_text(name), channel_names, instance_tag, server_address, new_requests);
    finish(new_requests);
    return 0;
}

void tesira_project::associate_by_name(const std::string& amp_name, const std::vector<std::string>& channel_names,
                                       const std::string& instance_tag, const std::string& server_address,
                                       std::vector<model>& new_requests) {
    auto& frames = store_.collection("frames");
    auto& channels = store_.collection("channels");
    const auto known = frames.find_where("name", amp_name);
    model frame;
    const bool found = !known.empty();
    if (found) {
        frame = known.front();
        frame.set("synced", "false");
        log_line("Assoc: found amp by name");
    } else {
        log_line("Assoc: name not found, creating new entry");
        frame = model(frames.reserve_id());
        frame.set("name", amp_name);
        frame.set("__origin__", "discovery");
        std::vector<std::string> ids;
        for (const auto& channel_name : channel_names) {
            model channel(channels.reserve_id());
            log_line("Generating chan w/ id: " + std::to_string(channel.id()) + " for frame " +
                     std::to_string(frame.id()));
            channel.set("frame_id", std::to_string(frame.id()));
            channel.set("frame_name", amp_name);
            channel.set("device_id", instance_tag);
            channel.set("frame_type", tesira_type());
            channel.set("name", channel_name);
            channel.set("synced", "0");
            channels.add_locked(channel);
            ids.push_back(std::to_string(channel.id()));
        }
        frame.set("channels", join(ids));
        frame.set("channel_names", join(channel_names));
        store_.on_collection_changed("channels");
    }
    frame.set("frame_type", tesira_type());
    frame.set("device_id", instance_tag);
    frame.set("server_address", server_address);
    for (const int32_t id : channel_ids_of(frame)) {
        model change(id);
        change.set("device_id", instance_tag);
        change.set("frame_type", tesira_type());
        if (frame.has("synced")) change.set("synced", frame.get("synced"));
        engine_.enqueue_write("channels", change);
    }
    if (found) {
        // Only what the association changes: the frame's other attributes may have been
        // edited since it was found.
        model change(frame.id());
        for (const char* key : {"synced", "frame_type", "device_id", "server_address"}) change.set(key, frame.get(key));
        frames.update(change);
    } else {
        frames.add_locked(frame);
        model request;
        request.set("__type__", "request");
        request.set("frame_id", std::to_string(frame.id()));
        request.set("device_id", instance_tag);
        request.set("channels", frame.get("channels"));
        request.set("method", "get");
        request.set("status", "wait");
        new_requests.push_back(std::move(request));
    }
    store_.on_collection_changed("frames");
}

void tesira_project::finish(const std::vector<model>& new_requests) {
    store_.save_locked();
    registry_.rebuild_devices(false);
    for (const auto& request : new_requests) engine_.post_request(request);
}

pt::ptree tesira_project::build_export_document() const {
    pt::ptree system;
    const auto& channels = store_.collection("channels");
    for (const auto& frame : store_.collection("frames").get_all()) {
        if (!tesira_frame(frame)) continue;
        pt::ptree f;
        const bool card = !frame.get("accessory_card").empty();
        if (frame.has("model")) {
            try {
                const std::string name = tesira_export_model_name(parse_int(frame.get("model")), card);
                if (!name.empty()) f.put("<xmlattr>.model", name);
            } catch (const std::exception&) {
                // A model that is no number names no exported model.
            }
        }
        pt::ptree host;
        host.put("<xmlattr>.card", "Tesira slave");
        pt::ptree accessory;
        accessory.put("<xmlattr>.card", frame.get("accessory_card"));
        accessory.put("<xmlattr>.audiofailover", frame.get("audio_failover", "false"));
        host.add_child("accessorycard", accessory);
        f.add_child("Host", host);
        f.put("Name", frame.get("name"));
        pt::ptree placement;
        placement.put("Room", frame.get("room"));
        placement.put("Rack", frame.get("rack"));
        placement.put("Position", frame.get("position"));
        f.add_child("Placement", placement);
        const auto ids = channel_ids_of(frame);
        pt::ptree list;
        list.put("<xmlattr>.count", ids.size());
        for (const int32_t id : ids) {
            model channel;
            try {
                channel = channels.get_locked(id);
            } catch (const model_not_found&) {
                // A channel missing from the store exports with empty texts.
            }
            pt::ptree c;
            c.put("<xmlattr>.id", id);
            c.put("Name", channel.get("name"));
            c.put("Zone", channel.get("zone"));
            list.add_child("Channel", c);
        }
        f.add_child("Channels", list);
        system.add_child("Frame", f);
    }
    pt::ptree document;
    document.add_child("System", system);
    return document;
}

std::string tesira_project::export_document_text() const { return xml_text(build_export_document()); }

bool tesira_project::export_tesira(const std::string& path) const {
    std::string error;
    if (platform::write_file_atomically(path, export_document_text(), &error)) return true;
    log_line("Tesira export to " + path + " failed: " + error);
    return false;
}

}  // namespace nox
