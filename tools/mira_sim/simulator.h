// The simulator host: the virtual amplifiers behind one UDP port, their fault modes, the
// record of every datagram received, and the control commands that tests and users type.
//
// `receive` turns one datagram into the replies to send (each with a delay), so the
// protocol behaviour is testable without sockets; `run` is the socket loop around it.
//
// Fault modes (per amplifier, for text and binary replies; optionally for the next N
// replies only):
//   none, silent                 answer normally / not at all (heartbeats included)
//   late <ms>                    answer after <ms>
//   duplicate                    answer twice
//   wrong_destination            answer with another destination id
//   ack, nak                     answer with a positive / negative acknowledge (type 2)
//   short                        a 20-byte datagram, shorter than a header
//   length                       a length field larger than the datagram
//   tiny_length                  a length field smaller than header plus check word
//   truncated                    the datagram cut after 60 bytes, length field intact
//   words                        a binary reply whose count byte promises more words
//                                than the frame carries (text replies: as `length`)
//   no_nul                       a text reply filling all 120 payload bytes, no NUL
//   unknown_type                 a reply of type 703
//   empty                        a reply with an all-zero payload (a binary reply then
//                                carries a packet of length 0)
//
// Control commands (one per line; every answer starts with "ok" or "error"):
//   add <id> [kind=K] [product=P]     remove <id>          list
//   fault <id> <mode> [ms] [count=N]  heartbeats <id> <N>  (answers per heartbeat)
//   set <id> <key>|<value>            get <id> <key>       (generic text store)
//   param <id> <block> <index> <word> return_code <id> <code|none>
//   monitor <id> <index> <word>       status <id> <word>
//   select <id> 0|1                   (select key)
//   calibration <id> <polls>|never    analyser <id> <polls>|never
//   load <id> <ch> <ohms>|open        (the measurement model, sim_amp/measurement_control.h)
//   resets <id>                       received              (then one line per record;
//                                                           the latest 100,000 are kept)
//   clear                             ping                  quit
// Ids are written "hhhhhhhh:llllllll".
//
// Thread safety: none; one thread (the loop) owns the host.
#pragma once

#include "tools/mira_sim/amplifier.h"
#include "tools/mira_sim/sim_wire.h"
#include "tools/sim_amp/program.h"

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace mira_sim {

enum class fault_mode {
    none, silent, late, duplicate, wrong_destination, ack, nak, short_frame, length, tiny_length, truncated,
    words, no_nul, unknown_type, empty,
};

struct fault_setting {
    fault_mode mode = fault_mode::none;
    int delay_ms = 0;
    int remaining = -1;  // replies left in this mode; -1: until changed
};

struct hosted_amplifier {
    std::unique_ptr<amplifier> amp;
    fault_setting fault;
    int heartbeat_answers = 1;
};

struct outgoing {
    int delay_ms = 0;
    bytes datagram;
};

struct record {
    std::int64_t time_ms = 0;  // since the simulator started
    std::string from;          // sender address:port
    std::size_t size = 0;
    bool parsed = false;
    request frame;
};

class host {
public:
    host();

    amplifier& add(std::uint64_t id, std::uint8_t kind = 2, std::uint8_t product = 20);
    hosted_amplifier* find(std::uint64_t id);

    // Records the datagram and returns the replies to send to its sender.
    std::vector<outgoing> receive(std::span<const std::uint8_t> datagram, const std::string& from,
                                  std::int64_t now_ms);

    // Runs one control command; returns the answer lines (the first starts with "ok" or
    // "error"). Sets `quit` on "quit".
    std::vector<std::string> control(const std::string& line, bool& quit);

    const std::vector<record>& records() const { return records_; }

private:
    std::vector<outgoing> reply_with_faults(hosted_amplifier& hosted, const request& r, bytes reply);

    std::map<std::uint64_t, hosted_amplifier> amps_;
    std::vector<record> records_;
};

// Options of the program.
struct options : sim_amp::listen_options {
    options() { port = 6016; }
};

// The socket loop: receives on bind_address:port, answers after each reply's delay,
// serves control commands from stdin. Prints "ready <port>" once bound. Returns the exit
// status.
int run(host& sim, const options& opts);

}  // namespace mira_sim
