#include "launcher/http_reply.h"

#include <boost/property_tree/json_parser.hpp>
#include <charconv>
#include <cstdint>
#include <sstream>
#include <vector>

namespace nox::launcher {

namespace {

constexpr std::string_view blank_line = "\r\n\r\n";
constexpr std::string_view length_header = "Content-Length: ";

bool all_digits(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

// The first "Content-Length: <digits>\r\n" anywhere in the reply (the same match as the
// regular expression "Content-Length: (\d+)\r\n"); false when there is none or when the
// number does not fit.
bool announced_length(std::string_view reply, std::uint64_t& length) {
    for (size_t at = reply.find(length_header); at != std::string_view::npos;
         at = reply.find(length_header, at + 1)) {
        size_t digits_begin = at + length_header.size();
        size_t digits_end = digits_begin;
        while (digits_end < reply.size() && reply[digits_end] >= '0' && reply[digits_end] <= '9')
            ++digits_end;
        if (digits_end == digits_begin) continue;
        if (reply.substr(digits_end, 2) != "\r\n") continue;
        auto [end, error] =
            std::from_chars(reply.data() + digits_begin, reply.data() + digits_end, length);
        return error == std::errc() && end == reply.data() + digits_end;
    }
    return false;
}

}  // namespace

std::string get_request_text(std::string_view path) {
    std::string text = "GET ";
    text += path;
    text += " HTTP/1.1\r\n\r\n";
    return text;
}

std::string post_request_text(std::string_view path, std::string_view content_type,
                              std::string_view body) {
    std::string text = "POST ";
    text += path;
    text += " HTTP/1.1\r\nContent-Type: ";
    text += content_type;
    text += "\r\nContent-Length: ";
    text += std::to_string(body.size());
    text += "\r\n\r\n";
    text += body;
    return text;
}

int status_code(std::string_view reply) {
    std::string_view line = reply.substr(0, reply.find_first_of("\r\n"));
    // Every space and every tab separates two fields, so doubled separators make empty
    // fields and the line no longer has three.
    std::vector<std::string_view> fields;
    size_t begin = 0;
    for (;;) {
        size_t end = line.find_first_of(" \t", begin);
        fields.push_back(line.substr(begin, end == std::string_view::npos ? end : end - begin));
        if (end == std::string_view::npos) break;
        begin = end + 1;
    }
    if (fields.size() != 3) return -1;
    if (fields[0].substr(0, 6) != "HTTP/1") return -1;
    if (!all_digits(fields[1])) return -1;
    int code = 0;
    auto [end, error] = std::from_chars(fields[1].data(), fields[1].data() + fields[1].size(), code);
    if (error != std::errc() || end != fields[1].data() + fields[1].size()) return -1;
    return code;
}

reply_state reply_complete(std::string_view reply) {
    size_t blank = reply.find(blank_line);
    if (blank == std::string_view::npos) return reply_malformed;
    std::uint64_t announced = 0;
    if (!announced_length(reply, announced)) return reply_malformed;
    std::uint64_t received = reply.size() - blank - blank_line.size();
    if (received < announced) return reply_partial;
    if (received == announced) return reply_whole;
    return reply_malformed;
}

std::string reply_body(std::string_view reply) {
    size_t blank = reply.find(blank_line);
    if (blank == std::string_view::npos) return {};
    return std::string(reply.substr(blank + blank_line.size()));
}

std::string to_json_text(const boost::property_tree::ptree& tree) {
    std::ostringstream out;
    boost::property_tree::write_json(out, tree, true);
    return out.str();
}

bool from_json_text(const std::string& text, boost::property_tree::ptree& tree) {
    tree.clear();
    try {
        std::istringstream in(text);
        boost::property_tree::read_json(in, tree);
        return true;
    } catch (const std::exception&) {
        tree.clear();
        return false;
    }
}

}  // namespace nox::launcher
