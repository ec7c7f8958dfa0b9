#include "backend/model/project_store.h"

#include "backend/model/exceptions.h"
#include "common/log/log.h"
#include "common/metrics/metrics.h"
#include "common/platform/platform.h"

#include <boost/property_tree/detail/rapidxml.hpp>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <ctime>
#include <sstream>
#include <stdexcept>
#include <unordered_set>

namespace nox {

namespace {

namespace rx = boost::property_tree::detail::rapidxml;

const std::string requests_name = "requests";

// The text of an element: its character data and CDATA sections, joined.
std::string text_of(const rx::xml_node<char>* element) {
    std::string text;
    for (auto* part = element->first_node(); part; part = part->next_sibling())
        if (part->type() == rx::node_data || part->type() == rx::node_cdata)
            text.append(part->value(), part->value_size());
    return text;
}

// Appends `text` as XML character data. Markup characters become entities; a leading
// blank and carriage returns become character references, because a reader drops
// whitespace-only content and folds line ends.
void append_escaped(std::string& out, const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\r': out += "&#13;"; break;
        case ' ': case '\t': case '\n':
            if (i == 0) {
                out += "&#" + std::to_string(static_cast<int>(c)) + ";";
                break;
            }
            [[fallthrough]];
        default: out += c;
        }
    }
}

// Appends the element of a collection with one element per model (nothing for an empty
// collection); a model of `replacing` is written instead of the stored one with its id.
void append_collection(std::string& out, const model_collection& c, const std::vector<const model*>& replacing = {}) {
    const std::string element = element_name_of(c.name());
    bool opened = false;
    c.for_each([&](const model& stored) {
        const model* written = &stored;
        for (const model* r : replacing)
            if (r->id() == stored.id()) written = r;
        const model& m = *written;
        if (!opened) {
            out += "<" + c.name() + ">";
            opened = true;
        }
        out += "<" + element + ">";
        for (const auto& [key, value] : m.attributes()) {
            // The store refuses such attributes; this keeps the file readable even if
            // one slipped in by another path.
            if (!valid_attribute_key(key) || !valid_attribute_value(value)) {
                log_line("Not saving unreadable attribute of " + c.name() + " " + std::to_string(m.id()));
                continue;
            }
            out += '<';
            out += key;
            out += '>';
            append_escaped(out, value);
            out += "</";
            out += key;
            out += '>';
        }
        out += "</" + element + ">";
        return true;
    });
    if (opened) out += "</" + c.name() + ">";
}

}  // namespace

void check_xml_shape(std::string_view text, int max_depth, size_t max_nodes) {
    const size_t n = text.size();
    // Index just past the first `end` at or after `from`, or the end of the text.
    auto past = [&](std::string_view end, size_t from) {
        size_t at = text.find(end, from);
        return at == std::string_view::npos ? n : at + end.size();
    };
    auto at = [&](size_t i, std::string_view what) { return text.compare(i, what.size(), what) == 0; };
    int depth = 0;
    size_t nodes = 0;
    for (size_t i = text.find('<'); i < n; i = text.find('<', i)) {
        if (at(i, "<!--")) {
            i = past("-->", i + 4);
        } else if (at(i, "<![CDATA[")) {
            i = past("]]>", i + 9);
        } else if (at(i, "<?")) {
            i = past("?>", i + 2);
        } else if (at(i, "<!")) {
            // A document type declaration: its internal subset in brackets may hold '>'.
            int brackets = 0;
            for (i += 2; i < n; ++i) {
                if (text[i] == '[') ++brackets;
                else if (text[i] == ']') --brackets;
                else if (text[i] == '>' && brackets <= 0) break;
            }
            ++i;
        } else if (at(i, "</")) {
            if (depth > 0) --depth;
            i = past(">", i + 2);
        } else {
            // A start tag: every '=' outside quotes may be an XML attribute.
            ++nodes;
            char quote = 0;
            size_t j = i + 1;
            for (; j < n; ++j) {
                const char c = text[j];
                if (quote) {
                    if (c == quote) quote = 0;
                } else if (c == '"' || c == '\'') {
                    quote = c;
                } else if (c == '=') {
                    ++nodes;
                } else if (c == '>') {
                    break;
                }
            }
            const bool empty_element = j < n && text[j - 1] == '/';
            if (!empty_element && ++depth > max_depth)
                throw std::runtime_error("elements nested more than " + std::to_string(max_depth) + " levels deep");
            if (nodes > max_nodes)
                throw std::runtime_error("more than " + std::to_string(max_nodes) + " elements and attributes");
            i = j < n ? j + 1 : n;
        }
    }
}

void check_project_text_shape(std::string_view xml_text) {
    check_xml_shape(xml_text, max_project_depth, max_project_nodes);
}

namespace {

// Gives every model with id 0 the id a collection's `add` would give it (the next free
// one, counting past every explicit id met before it), and refuses a text whose ids then
// collide: "<id>0</id>" followed by "<id>1</id>" is such a pair. The store then installs
// explicit, distinct ids only, so installing cannot fail half-way.
void assign_ids(std::vector<model>& models, const std::string& name) {
    std::unordered_set<int32_t> seen;
    long long next = 1;
    for (auto& m : models) {
        if (m.id() == 0) {
            if (next > INT32_MAX) throw std::runtime_error("no free id left in " + name);
            m.set_id(static_cast<int32_t>(next));
        }
        if (!seen.insert(m.id()).second)
            throw std::runtime_error("the id " + std::to_string(m.id()) + " appears twice in " + name);
        next = std::max(next, static_cast<long long>(m.id()) + 1);
    }
}

}  // namespace

std::vector<std::vector<model>> parse_project_text(const std::string& xml_text,
                                                   const std::vector<std::string>& names) {
    check_project_text_shape(xml_text);
    // Parsed in place with the XML parser that the property tree uses, without building a
    // tree of its own: the file of a large project loads several times faster.
    std::vector<char> buffer(xml_text.begin(), xml_text.end());
    buffer.push_back('\0');
    // On the heap: the document holds a 64 KiB memory pool, too much for the small stacks
    // of the web server's threads.
    auto document = std::make_unique<rx::xml_document<char>>();
    try {
        document->parse<rx::parse_default>(buffer.data());
    } catch (const rx::parse_error& e) {
        throw std::runtime_error(std::string("not a well-formed project file: ") + e.what());
    }
    auto* configuration = document->first_node("configuration");
    if (!configuration) throw std::runtime_error("no <configuration> element");

    std::vector<std::vector<model>> result;
    for (const auto& name : names) {
        std::vector<model> models;
        auto* node = configuration->first_node(name.c_str(), name.size());
        for (auto* child = node ? node->first_node() : nullptr; child; child = child->next_sibling()) {
            if (child->type() != rx::node_element) continue;
            auto* id_node = child->first_node("id");
            if (!id_node) throw std::runtime_error("a model in " + name + " has no id");
            const std::string id_text = text_of(id_node);
            model m;
            try {
                long long id = parse_int(id_text);
                if (id < INT32_MIN || id > INT32_MAX) throw std::invalid_argument("range");
                m.set_id(static_cast<int32_t>(id));
            } catch (const std::invalid_argument&) {
                throw std::runtime_error("a model in " + name + " has the id \"" + id_text + "\"");
            }
            for (auto* attribute = child->first_node(); attribute; attribute = attribute->next_sibling())
                if (attribute->type() == rx::node_element)
                    m.set(std::string(attribute->name(), attribute->name_size()), text_of(attribute));
            m.set_id(m.id());
            try {
                check_attributes(m);
                normalise_merged(m, m);
            } catch (const std::exception& e) {
                throw std::runtime_error("model " + std::to_string(m.id()) + " of " + name + ": " + e.what());
            }
            models.push_back(std::move(m));
        }
        assign_ids(models, name);
        result.push_back(std::move(models));
    }
    return result;
}

std::string element_name_of(const std::string& collection_name) {
    return collection_name.empty() ? collection_name
                                   : collection_name.substr(0, collection_name.size() - 1);
}

void model_mutex_type::lock() {
    mutex_.lock();
    owner_.store(std::this_thread::get_id());
}

bool model_mutex_type::try_lock() {
    if (!mutex_.try_lock()) return false;
    owner_.store(std::this_thread::get_id());
    return true;
}

void model_mutex_type::unlock() {
    std::vector<std::function<void()>> work;
    work.swap(after_unlock_);
    owner_.store(std::thread::id{});
    mutex_.unlock();
    for (auto& job : work) {
        try {
            job();
        } catch (const std::exception& e) {
            log_line(std::string("work after the model lock failed: ") + e.what());
        } catch (...) {
            log_line("work after the model lock failed");
        }
    }
}

bool model_mutex_type::held_by_this_thread() const { return owner_.load() == std::this_thread::get_id(); }

void model_mutex_type::after_unlock(std::function<void()> work) { after_unlock_.push_back(std::move(work)); }

project_store::project_store() : save_time_(clock::now()) {}

const std::vector<std::string>& project_store::default_collection_names() {
    static const std::vector<std::string> names = {
        "settings", "impedance_sweeps", "requests", "frames", "channels", "project_dirty",
        "ui_states", "versions", "preferred_speakers", "preferred_cables", "preferences",
        "amp_locations", "assigned_frames", "assigned_circuits", "zone_lstemplates", "zones",
        "lstemplate_bands", "lstemplates", "cables", "speakers"};
    return names;
}

void project_store::register_collection(const std::string& name) {
    for (const auto& c : collections_)
        if (c->name() == name) return;
    collections_.push_back(std::make_unique<model_collection>(name));
}

void project_store::register_default_collections() {
    for (const auto& name : default_collection_names()) register_collection(name);
}

model_collection& project_store::collection(const std::string& name) {
    for (const auto& c : collections_)
        if (c->name() == name) return *c;
    throw generic_model_not_found();
}

void project_store::set_paths(std::string configuration_path, std::string template_path) {
    configuration_path_ = std::move(configuration_path);
    template_path_ = std::move(template_path);
}

std::string project_store::logins_path() const {
    if (configuration_path_.empty()) return {};
    return platform::folder_of(configuration_path_) + "/logins.xml";
}

void project_store::load_logins() {
    const std::string path = logins_path();
    if (path.empty() || !platform::path_exists(path)) return;
    try {
        const auto text = platform::read_file(path);
        if (!text) throw std::runtime_error("cannot read the file");
        auto parsed = parse_project_text(*text, {logins_.name()});
        logins_.replace_all(parsed.front());
    } catch (const std::exception& e) {
        log_line("Could not load the logins from " + path + ": " + e.what());
    }
}

bool project_store::save_logins() {
    const std::string path = logins_path();
    if (path.empty()) return false;
    std::string out = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<configuration>";
    append_collection(out, logins_);
    out += "</configuration>";
    std::string error;
    // The passwords inside are for the owner's eyes only.
    if (platform::write_file_atomically(path, out, &error, 0600)) return true;
    log_line("Could not save the logins to " + path + ": " + error);
    return false;
}

void project_store::set_broadcast(std::function<void(const std::string&)> broadcast) {
    broadcast_ = std::move(broadcast);
}

void project_store::set_installed(std::function<void()> installed) { installed_ = std::move(installed); }

void project_store::set_rebuild_devices(std::function<void(bool)> rebuild) {
    rebuild_devices_ = std::move(rebuild);
}

void project_store::broadcast(const std::string& event) const {
    if (broadcast_) broadcast_(event);
}

std::string project_store::serialise(const replacements& instead) const {
    std::string out = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<configuration>";
    for (const auto& c : collections_) {
        if (c->name() == requests_name) continue;
        std::vector<const model*> replacing;
        for (const auto& [name, m] : instead)
            if (name == c->name()) replacing.push_back(&m);
        append_collection(out, *c, replacing);
    }
    out += "</configuration>";
    return out;
}

bool project_store::save() {
    const auto started = clock::now();
    std::string error;
    bool ok = platform::write_file_atomically(configuration_path_, serialise(), &error);
    metrics().project_saved(clock::now() - started, ok);
    if (ok) {
        model_changed_.store(false);
    } else {
        log_line("Could not save configuration to " + configuration_path_ + ": " + error);
    }
    set_save_time(clock::now());
    return ok;
}

bool project_store::save_locked() {
    lock_guard lock(model_mutex_);
    return save();
}

void project_store::load(bool use_template, bool keep_devices) {
    if (!platform::path_exists(configuration_path_) && use_template) {
        std::string error;
        if (!platform::copy_file(template_path_, configuration_path_, &error))
            log_line("Could not copy template configuration: " + error);
    }

    if (platform::path_exists(configuration_path_)) {
        auto text = platform::read_file(configuration_path_);
        if (!text) throw std::runtime_error("cannot read " + configuration_path_);
        // Parse and check every collection before replacing any.
        install(parse_project_text(*text, saved_collection_names()), keep_devices);
        return;
    }
    install({}, keep_devices);
}

std::vector<std::string> project_store::saved_collection_names() const {
    std::vector<std::string> names;
    for (const auto& c : collections_)
        if (c->name() != requests_name) names.push_back(c->name());
    return names;
}

void project_store::install(std::vector<std::vector<model>> parsed, bool keep_devices) {
    if (!parsed.empty()) {
        size_t i = 0;
        for (const auto& c : collections_) {
            if (c->name() == requests_name) continue;
            if (i < parsed.size()) c->replace_all(parsed[i]);
            ++i;
        }
    }
    if (installed_) installed_();
    if (rebuild_devices_) {
        if (model_mutex_.held_by_this_thread()) {
            model_mutex_.after_unlock([this, keep_devices] { rebuild_devices_(keep_devices); });
        } else {
            rebuild_devices_(keep_devices);
        }
    }
    broadcast(is_project_dirty() ? "project_dirty" : "project_up_to_date");
    set_save_time(clock::now());
    model_changed_.store(false);
}

bool project_store::load_working_copy(bool keep_devices) {
    lock_guard lock(model_mutex_);
    try {
        load(true, keep_devices);
        return true;
    } catch (const std::exception& e) {
        log_line("Could not load configuration from " + configuration_path_ + ": " + e.what());
    }
    // Keep the unreadable file for the user: rename it aside, never delete it.
    std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    std::string aside = configuration_path_ + ".unreadable-" + stamp;
    for (int n = 1; platform::path_exists(aside); ++n)
        aside = configuration_path_ + ".unreadable-" + stamp + "-" + std::to_string(n);
    if (std::rename(configuration_path_.c_str(), aside.c_str()) == 0) {
        log_line("Kept the unreadable configuration as " + aside + "; starting from the template");
        try {
            load(true, false);
        } catch (const std::exception& e) {
            log_line("Could not load the template configuration " + template_path_ + ": " + e.what());
        }
    } else {
        log_line("Could not move the unreadable configuration aside; it is left in place and "
                 "the project starts empty");
    }
    return false;
}

void project_store::on_collection_changed(const std::string& collection_name) {
    if (collection_name == requests_name) return;
    model_changed_.store(true);
    if (collection_name == "ui_states") return;
    set_project_dirty(true);
    broadcast("project_dirty");
}

project_store::clock::time_point project_store::save_time() const {
    lock_guard lock(save_time_mutex_);
    return save_time_;
}

void project_store::set_save_time(clock::time_point t) {
    lock_guard lock(save_time_mutex_);
    save_time_ = t;
}

void project_store::mark_project_clean() {
    set_project_dirty(false);
    broadcast("project_up_to_date");
}

bool project_store::is_project_dirty() {
    auto& c = collection("project_dirty");
    lock_guard lock(c.mutex());
    if (!c.exists(1)) {
        model m(1);
        m.set("project_dirty", "0");
        c.add(m);
        return false;
    }
    return c.get(1).has("project_dirty", "1");
}

void project_store::set_project_dirty(bool dirty) {
    auto& c = collection("project_dirty");
    lock_guard lock(c.mutex());
    model m(1);
    m.set("project_dirty", dirty ? "1" : "0");
    if (!c.put(m)) c.add(m);
}

model project_store::get_settings() {
    auto& c = collection("settings");
    lock_guard lock(c.mutex());
    if (!c.exists(1)) c.add(model(1));
    return c.get(1);
}

void project_store::put_settings(const model& settings) {
    auto& c = collection("settings");
    lock_guard lock(c.mutex());
    model m = settings;
    m.set_id(1);
    if (!c.put(m)) c.add(m);
}

void project_store::mark_all_unsynced() {
    for (const char* name : {"frames", "channels"}) {
        auto& c = collection(name);
        for (const auto& m : c.find_where("synced", "true")) {
            model change(m.id());
            change.set("synced", "false");
            c.update(change);
        }
    }
}

}  // namespace nox
