// The command port of orva_ui (TCP 127.0.0.1:27028): one command per connection, one
// answer, then the connection closes.
//
//   "OPENURL <url>"   open the page at <url>                       answer "+OK"
//   "ENSUREBACKEND"   start orva_backend unless it answers on 8080  answer "+OK"
//   anything else, or a URL that is not http(s)                    answer "-ERR <reason>"
//
// A command ends with a line end, with the sender shutting its side down, or when no more
// bytes follow for a short while: the launcher sends "OPENURL <url>" without a line end
// and waits for the answer. One trailing "\n" or "\r\n" is not part of the command.
//
// Thread safety: pure functions.
#pragma once

#include <string>
#include <string_view>

namespace nox::ui {

enum class command_kind { open_url, ensure_backend, unknown };

struct command {
    command_kind kind = command_kind::unknown;
    std::string argument;  // the URL of OPENURL
};

command parse_command(std::string_view message);

// Only web pages are opened: the URL must begin with "http://" or "https://" and hold no
// control characters. Anything else could make the desktop's opener run a local file, or
// put escape sequences on the terminal when the URL is printed.
bool acceptable_url(std::string_view url);

inline constexpr std::string_view reply_ok = "+OK";

}  // namespace nox::ui
