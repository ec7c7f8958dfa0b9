// The simulated Tesira server: amplifier blocks hosted under their instance tags, each the
// amplifier model both simulators share (tools/sim_amp), served over the server's telnet
// text-command interface; its fault modes, the record of received lines, and the control
// commands that tests and users type.
//
// Session: on connection the server offers four telnet options (IAC DO ...), waits for the
// client's answers (at most 1 s), then sends one line-feed and either the banner
// "Welcome to the Tesira Text Protocol Server..." or, with login required,
// "<system> login: ", then "Password: ", and the banner or "Login incorrect" with a new
// prompt. Commands are lines ending in CR LF (a CR or LF alone also ends a line):
//   <tag> get ampName | channelName <n> | mute <n> | ampPower | monitorData
//   <tag> set ampName <text> | channelName <n> <text> | mute <n> true|false | ampPower true|false
//   <tag> peek 0x<address> <count>         (count 1..256; address = block << 16 | index)
//   <tag> poke 0x<address> [<w1> <w2> ...] (words signed or unsigned 32-bit decimals)
// A tag holding blanks is written in double quotes. Replies:
//   +OK                                  a setting done
//   +OK "value":"<text>" | true | false  an attribute
//   +OK "value":[<w1> <w2> ...]          words (unsigned decimals); monitorData gives the
//                                        60 words of the monitor block
//   -ERR <reason>                        unknown tag, command, attribute or value, or a
//                                        parameter read or write the amplifier refused
//
// Fault modes (server-wide; optionally for the next N replies only):
//   none       answer normally
//   refuse     stop listening and drop every session: connections are refused
//   drop       send the first half of a reply, then close the connection
//   stall      accept connections but never send a byte
//   error      answer every command "-ERR simulated fault"
//   login      require a login with the configured credentials; open sessions are dropped
//
// Control commands (one per line; every answer starts with "ok" or "error"):
//   add <tag> [<name>]          remove <tag>           list
//   fault <mode> [count=N]      credentials <user> <password>   system <name>
//   do <command line>           (answered as if a client sent it: "ok <reply>")
//   param <tag> <block> <index> <word>   monitor <tag> <index> <word>
//   return_code <tag> <code|none>
//   calibration <tag> <polls>|never      analyser <tag> <polls>|never
//   load <tag> <ch> <ohms>|open          (the measurement model, sim_amp/measurement_control.h)
//   resets <tag>   sessions   received (then one line per record; the latest 100,000 are
//   kept)   clear   ping   quit
// A tag with blanks is written in double quotes here too.
//
// Thread safety: none; one thread (the loop) owns the host.
#pragma once

#include "tools/sim_amp/amplifier_model.h"
#include "tools/sim_amp/program.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tesira_sim {

enum class fault_mode { none, refuse, drop, stall, error, login };

struct fault_setting {
    fault_mode mode = fault_mode::none;
    int remaining = -1;  // replies left in this mode; -1: until changed
};

struct record {
    std::int64_t time_ms = 0;  // since the simulator started
    std::string from;          // client address:port
    std::string line;
};

// A command line split into its tag, its verb and the rest (the tag unquoted).
struct command_line {
    std::string tag;
    std::string verb;
    std::string arguments;
};
std::optional<command_line> parse_command(const std::string& line);

class host {
public:
    host();

    sim_amp::amplifier_model& add(const std::string& tag, const std::string& name = {});
    sim_amp::amplifier_model* find(const std::string& tag);

    // The reply (with its CR LF) to one command line, before faults.
    std::string answer(const std::string& line);
    // Records a received line.
    void record_line(const std::string& from, const std::string& line, std::int64_t now_ms);

    // Runs one control command; returns the answer lines. Sets `quit` on "quit".
    std::vector<std::string> control(const std::string& line, bool& quit);

    // The fault in force for the next reply (counts down a limited fault).
    fault_mode take_reply_fault();
    fault_mode fault() const { return fault_.mode; }
    bool login_required() const { return login_required_ || fault_.mode == fault_mode::login; }
    const std::string& user() const { return user_; }
    const std::string& password() const { return password_; }
    const std::string& system_name() const { return system_name_; }
    void require_login(bool required) { login_required_ = required; }
    void set_credentials(const std::string& user, const std::string& password);

    // Set by the loop: open sessions, and whether they must all be dropped now.
    int sessions = 0;
    bool drop_sessions = false;

    const std::vector<record>& records() const { return records_; }

private:
    std::string get(sim_amp::amplifier_model& amp, const std::string& arguments);
    std::string set(sim_amp::amplifier_model& amp, const std::string& arguments);
    std::string peek(sim_amp::amplifier_model& amp, const std::string& arguments);
    std::string poke(sim_amp::amplifier_model& amp, const std::string& arguments);

    std::map<std::string, std::unique_ptr<sim_amp::amplifier_model>> blocks_;
    fault_setting fault_;
    bool login_required_ = false;
    std::string user_ = "admin";
    std::string password_ = "orva";
    std::string system_name_ = "TesiraServer";
    std::vector<record> records_;
};

struct options : sim_amp::listen_options {
    options() { port = 23; }
};

// The socket loop: listens on bind_address:port, runs the sessions, serves control
// commands from stdin. Prints "ready <port>" once listening. Returns the exit status.
int run(host& sim, const options& opts);

}  // namespace tesira_sim
