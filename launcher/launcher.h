// orva_cmdline: brings one amplifier into view in the desktop UI, or hands a settings file
// to the backend.
//
//   orva_cmdline -c <settings file>                   import: POST import_tesira
//   orva_cmdline -s <host|mira> -i <ip> -a <tag> [-r <any>]
//                                                     open: look the amplifier up in
//                                                     GET /frames/, post assoc_tesira or
//                                                     refresh when it is not there, then send
//                                                     "OPENURL <page url>" to the UI
//
// Before either flow the launcher makes sure that the system runs: when nothing answers
// GET / on 127.0.0.1:8080 it starts the UI program beside itself (which brings the backend
// up) and polls GET / once a second until a 200 reply arrives, at most `startup_limit`
// long. Every exchange is bounded by `exchange_timeout`. Everything is logged to the
// process-wide log (orva.log beside the executable, appended, never truncated).
//
// Thread safety: a `cmdline` is used from one thread. The free functions are reentrant.
#pragma once

#include <boost/property_tree/ptree.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace nox::launcher {

// Option text (for example "-s") to the argument that follows it. A later occurrence
// replaces the earlier value; options the launcher does not know are kept and ignored.
using option_map = std::unordered_map<std::string, std::string>;

// Builds the option map from the whole argument list (program path first). Empty when the
// count is even or below 3, that is when the options do not come in complete pairs.
std::optional<option_map> parse_options(const std::vector<std::string>& arguments);

// The usage text, byte for byte as printed.
const std::string& usage_text();

// Request bodies posted to /requests (JSON, members in this order).
std::string import_request_body(const std::string& input_path);
std::string assoc_tesira_request_body(const std::string& server_address,
                                      const std::string& instance_tag);
std::string refresh_request_body(const std::string& network_interface);

// "OPENURL http://127.0.0.1:8080/" + ("#flexi" | "#frames") + "/search/" + tag; the tag is
// appended verbatim, without escaping and without a line end.
std::string openurl_message(const std::string& instance_tag, bool flexi);

// The `id` of the first member of `frames` (a JSON list or object of frames) whose
// `frame_type` is "tesira" and whose `device_id` equals `instance_tag`; -1 when none does.
// Members lacking one of the three attributes are skipped; a member whose attributes
// cannot be read (an `id` that is no integer) is logged and skipped.
int find_tesira_frame_id(const boost::property_tree::ptree& frames,
                         const std::string& instance_tag);

// Everything the launcher takes from its surroundings, so tests can stand in for it.
struct launcher_settings {
    std::string own_folder;                       // where the UI program and the log live
    std::string ui_executable = "orva_ui";        // file name in `own_folder`
    std::uint16_t backend_port = 8080;
    std::uint16_t ui_port = 27028;
    std::chrono::milliseconds exchange_timeout{30000};  // one connection's whole exchange
    std::chrono::milliseconds startup_limit{120000};    // waiting for the backend to answer
    std::chrono::milliseconds poll_period{1000};        // between GET / attempts
    std::chrono::milliseconds open_pause{1000};         // before a page is opened
    std::function<void(std::chrono::milliseconds)> sleep;          // default: sleep_for
    std::function<std::chrono::steady_clock::time_point()> now;    // default: steady clock
    // Starts the UI program; false with `error` set when it could not be started.
    // Default: `spawn_detached` without arguments.
    std::function<bool(const std::string& path, std::string& error)> start_process;
    std::ostream* out = nullptr;                  // usage text; default std::cout
};

class cmdline {
public:
    explicit cmdline(launcher_settings settings);

    // Runs one flow for the whole argument list (program path first) and returns the exit
    // code: 0 when the flow ran to its end, 1 for the usage text or a system that did not
    // come up.
    int run(const std::vector<std::string>& arguments);

    enum class system_state { started_now = 0, already_running = 1, failed = 2 };
    system_state ensure_system_running();

private:
    int import_flow(const option_map& options);
    int open_flow(const option_map& options);
    // POSTs a request body to /requests, logging the request and the reply.
    void post_request(const std::string& body);
    int cancel();

    launcher_settings settings_;
};

}  // namespace nox::launcher
