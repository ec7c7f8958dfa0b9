#include "backend/requests/model_json.h"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <climits>
#include <sstream>

namespace nox {

void append_json_string(std::string& out, std::string_view text) {
    static const char hex[] = "0123456789ABCDEF";
    out += '"';
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == 0x20 || c == 0x21 || (c >= 0x23 && c <= 0x2E) || (c >= 0x30 && c <= 0x5B) ||
            c >= 0x5D) {
            out += ch;
            continue;
        }
        out += '\\';
        switch (ch) {
        case '\b': out += 'b'; break;
        case '\f': out += 'f'; break;
        case '\n': out += 'n'; break;
        case '\r': out += 'r'; break;
        case '\t': out += 't'; break;
        case '/': out += '/'; break;
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        default:
            out += "u00";
            out += hex[c >> 4];
            out += hex[c & 0xF];
        }
    }
    out += '"';
}

void append_json(std::string& out, const model& m) {
    out += '{';
    bool first = true;
    for (const auto& [key, value] : m.attributes()) {
        if (!first) out += ',';
        first = false;
        append_json_string(out, key);
        out += ':';
        append_json_string(out, value);
    }
    out += '}';
}

std::string to_json(const model& m) {
    std::string out;
    out.reserve(64 * (m.attributes().size() + 1));
    append_json(out, m);
    return out;
}

std::string to_json(const std::vector<model>& models) {
    std::string out;
    size_t estimate = 2;
    for (const auto& m : models) estimate += 48 * (m.attributes().size() + 1);
    out.reserve(estimate);
    out += '[';
    for (size_t i = 0; i < models.size(); ++i) {
        if (i) out += ',';
        append_json(out, models[i]);
    }
    out += ']';
    return out;
}

int json_depth(std::string_view text, int limit) {
    int depth = 0;
    int deepest = 0;
    bool in_string = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\') ++i;
            else if (c == '"') in_string = false;
            continue;
        }
        switch (c) {
        case '"': in_string = true; break;
        case '{':
        case '[':
            if (++depth > deepest) {
                deepest = depth;
                if (deepest > limit) return limit + 1;
            }
            break;
        case '}':
        case ']':
            if (depth > 0) --depth;
            break;
        default: break;
        }
    }
    return deepest;
}

size_t json_member_count(std::string_view text) {
    size_t count = 0;
    bool in_string = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\') ++i;
            else if (c == '"') in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == ':') {
            ++count;
        }
    }
    return count;
}

model parse_model(std::string_view text) {
    namespace pt = boost::property_tree;
    size_t start = text.find_first_not_of(" \t\r\n");
    if (start == std::string_view::npos || text[start] != '{')
        throw json_error("body is not a JSON object");
    if (json_depth(text, max_json_depth) > max_json_depth)
        throw json_error("JSON nested too deeply");
    if (json_member_count(text) > max_json_members) throw json_error("too many JSON members");
    pt::ptree tree;
    try {
        std::istringstream in{std::string(text)};
        pt::read_json(in, tree);
    } catch (const pt::json_parser_error& e) {
        throw json_error("malformed JSON: " + e.message() + " at line " +
                         std::to_string(e.line()));
    }
    model m;
    for (const auto& [key, child] : tree) {
        if (!child.empty()) throw json_error("nested JSON value in \"" + key + "\"");
        m.set(key, child.data());
    }
    if (m.has("id")) {
        long long id;
        try {
            id = parse_int(m.at("id"));
        } catch (const std::invalid_argument&) {
            throw json_error("invalid id");
        }
        if (id < 0 || id > INT32_MAX) throw json_error("invalid id");
        m.set_id(static_cast<int32_t>(id));
    }
    return m;
}

}  // namespace nox
