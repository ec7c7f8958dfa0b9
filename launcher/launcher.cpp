#include "launcher/launcher.h"

#include "common/log/log.h"
#include "common/platform/platform.h"
#include "launcher/http_client.h"
#include "launcher/http_reply.h"
#include "launcher/spawn.h"

#include <boost/property_tree/exceptions.hpp>
#include <iostream>
#include <thread>

namespace nox::launcher {

namespace pt = boost::property_tree;

namespace {

// The backend serves the UI pages itself.
constexpr const char* page_base_url = "http://127.0.0.1:8080/";
// The frame type of amplifiers hosted behind a Tesira server.
constexpr const char* tesira_frame_type = "tesira";
// The `-s` value that selects discovery on a network interface instead of a Tesira server.
constexpr const char* mira_server = "mira";

std::string body_of(std::initializer_list<std::pair<const char*, const std::string*>> members) {
    pt::ptree tree;
    // push_back keeps the members in the order given (put would also do so, but would
    // read a "." in a name as a path).
    for (const auto& [name, value] : members) tree.push_back({name, pt::ptree(*value)});
    return to_json_text(tree);
}

}  // namespace

std::optional<option_map> parse_options(const std::vector<std::string>& arguments) {
    if (arguments.size() < 3 || arguments.size() % 2 == 0) return std::nullopt;
    option_map options;
    for (size_t i = 1; i + 1 < arguments.size(); i += 2) options[arguments[i]] = arguments[i + 1];
    return options;
}

const std::string& usage_text() {
    static const std::string text =
        "usage: orva_cmdline [-s hostname] [-i ip address] [-a amplifier instance tag] [-r true]\n"
        "\t\t'[-c amplifier settings file]\n"
        "examples:\n"
        "import amp settings\n"
        "\torva_cmdline -c configuration.tamp\n"
        "open amp\n"
        "\torva_cmdline -s ampA1 -i 192.168.0.1 -a \"Amplifier number 1\"\n"
        "open amp (show kvx view)\n"
        "\torva_cmdline -s ampA1 -i 192.168.0.1 -a \"Amplifier number 1\" -r true\n";
    return text;
}

std::string import_request_body(const std::string& input_path) {
    const std::string method = "import_tesira", status = "wait";
    return body_of({{"method", &method}, {"status", &status}, {"input_path", &input_path}});
}

std::string assoc_tesira_request_body(const std::string& server_address,
                                      const std::string& instance_tag) {
    const std::string method = "assoc_tesira", status = "wait";
    return body_of({{"method", &method},
                    {"status", &status},
                    {"server_address", &server_address},
                    {"instance_tag", &instance_tag}});
}

std::string refresh_request_body(const std::string& network_interface) {
    const std::string method = "refresh", status = "wait";
    return body_of(
        {{"method", &method}, {"status", &status}, {"network_interface", &network_interface}});
}

std::string openurl_message(const std::string& instance_tag, bool flexi) {
    return std::string("OPENURL ") + page_base_url + (flexi ? "#flexi" : "#frames") + "/search/" +
           instance_tag;
}

int find_tesira_frame_id(const pt::ptree& frames, const std::string& instance_tag) {
    for (const auto& member : frames) {
        const pt::ptree& frame = member.second;
        try {
            if (frame.get<std::string>("frame_type") != tesira_frame_type) continue;
            std::string device_id = frame.get<std::string>("device_id");
            int id = frame.get<int>("id");
            if (device_id == instance_tag) return id;
        } catch (const pt::ptree_bad_path&) {
            // A member without the attributes is not a frame of interest.
        } catch (const std::exception&) {
            log_line("Failed to parse json frame data to extract id...");
        }
    }
    return -1;
}

cmdline::cmdline(launcher_settings settings) : settings_(std::move(settings)) {
    if (!settings_.sleep)
        settings_.sleep = [](std::chrono::milliseconds period) { std::this_thread::sleep_for(period); };
    if (!settings_.now) settings_.now = [] { return std::chrono::steady_clock::now(); };
    if (!settings_.start_process) {
        settings_.start_process = [](const std::string& path, std::string& error) {
            return spawn_detached(path, {}, &error) > 0;
        };
    }
    if (!settings_.out) settings_.out = &std::cout;
}

int cmdline::run(const std::vector<std::string>& arguments) {
    for (const auto& argument : arguments) log_line(argument);
    if (auto options = parse_options(arguments)) {
        if (options->count("-c")) return import_flow(*options);
        if (options->count("-a") && options->count("-i") && options->count("-s"))
            return open_flow(*options);
    }
    *settings_.out << usage_text() << std::flush;
    return 1;
}

cmdline::system_state cmdline::ensure_system_running() {
    http_client backend(settings_.backend_port, settings_.exchange_timeout);
    std::string reply = backend.http_get("/");
    log_line(reply);
    if (!reply.empty())
        return status_code(reply) == 200 ? system_state::already_running : system_state::failed;

    log_line("Current path: " + settings_.own_folder);
    std::string path = settings_.own_folder + "/" + settings_.ui_executable;
    if (!platform::file_readable(path)) {
        log_line("Failed to find executable: " + path);
        return system_state::failed;
    }
    log_line("Starting ORVA in full UI mode");
    std::string error;
    if (!settings_.start_process(path, error)) {
        log_line("Failed to start " + path + ": " + error);
        return system_state::failed;
    }

    // The UI brings the backend up; ask once a second until it answers with 200, but not
    // for ever: a backend that never comes up must not keep the launcher hanging.
    auto start = settings_.now();
    for (;;) {
        int code = status_code(backend.http_get("/"));
        settings_.sleep(settings_.poll_period);
        if (code == 200) return system_state::started_now;
        if (settings_.now() - start >= settings_.startup_limit) {
            auto seconds = std::chrono::duration_cast<std::chrono::seconds>(settings_.startup_limit);
            log_line("The backend did not answer within " + std::to_string(seconds.count()) +
                     " seconds");
            return system_state::failed;
        }
    }
}

int cmdline::cancel() {
    log_line("Failed to start ORVA processes. Cancelling...");
    return 1;
}

void cmdline::post_request(const std::string& body) {
    std::string request = post_request_text("/requests", "application/json", body);
    log_line(request);
    log_line(nox::launcher::exchange(settings_.backend_port, request, settings_.exchange_timeout));
}

int cmdline::import_flow(const option_map& options) {
    if (ensure_system_running() == system_state::failed) return cancel();
    post_request(import_request_body(options.at("-c")));
    return 0;
}

int cmdline::open_flow(const option_map& options) {
    system_state state = ensure_system_running();
    if (state == system_state::failed) return cancel();

    const std::string& instance_tag = options.at("-a");
    http_client backend(settings_.backend_port, settings_.exchange_timeout);
    pt::ptree frames;
    from_json_text(reply_body(backend.fetch_whole_reply("/frames/")), frames);
    int frame_id = find_tesira_frame_id(frames, instance_tag);

    if (frame_id == -1) {
        if (options.at("-s") == mira_server)
            post_request(refresh_request_body(options.at("-i")));
        else
            post_request(assoc_tesira_request_body(options.at("-i"), instance_tag));
    }
    // Give a freshly started UI, or a request that adds the amplifier, a moment before the
    // page asks for it.
    if (state == system_state::started_now || frame_id == -1) settings_.sleep(settings_.open_pause);

    log_line(nox::launcher::exchange(settings_.ui_port, openurl_message(instance_tag, options.count("-r") > 0),
                      settings_.exchange_timeout));
    return 0;
}

}  // namespace nox::launcher
