#include "ui/command.h"

namespace nox::ui {

command parse_command(std::string_view message) {
    if (!message.empty() && message.back() == '\n') message.remove_suffix(1);
    if (!message.empty() && message.back() == '\r') message.remove_suffix(1);
    constexpr std::string_view open_url = "OPENURL ";
    if (message.substr(0, open_url.size()) == open_url)
        return {command_kind::open_url, std::string(message.substr(open_url.size()))};
    if (message == "OPENURL") return {command_kind::open_url, {}};
    if (message == "ENSUREBACKEND") return {command_kind::ensure_backend, {}};
    return {command_kind::unknown, std::string(message)};
}

bool acceptable_url(std::string_view url) {
    if (url.substr(0, 7) != "http://" && url.substr(0, 8) != "https://") return false;
    for (unsigned char c : url)
        if (c < 0x20 || c == 0x7f) return false;
    return true;
}

}  // namespace nox::ui
