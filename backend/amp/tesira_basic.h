// `nox::tesira_basic`: one telnet connection to a Tesira server's text-command interface
// (TCP port 23), logged in, carrying one command line and one status line at a time.
//
// Session (docs/tesira_protocol.md has the whole exchange):
//   connect   TCP with a 2-second connect time-out; every telnet option the server offers
//             (IAC <verb> <option>) is refused with IAC WONT <option>; then the banner is
//             read: a chunk holding "login:" makes the client send `user` CR, wait for
//             "word:", send `password` CR (credentials of its own, else the stored login
//             of the server's system); the session is logged in when the last chunk
//             holds "Welcome" ("incorrect" ends the login as failed).
//   commands  <tag> get <attribute> CR LF
//             <tag> set <attribute> <value> CR LF
//             <tag> peek 0x<address> <count> CR LF
//             <tag> poke 0x<address> [<w1> <w2> ...] CR LF
//             a tag holding a space or a tab is sent in double quotes; the address is
//             (block << 16) | first index in lower-case hexadecimal without leading zeros;
//             poke words are signed 32-bit decimals.
//   replies   bytes up to the status character "+" (success) or "-" (refused) are
//             skipped, in-band negotiation (IAC <verb> <option>) is answered with WONT;
//             the reply text is the rest of the line, without its last byte (the LF).
//
// Results of the commands: 0 "+" reply, 1 "-" reply (or a command that cannot be sent
// safely), -1 no connection, no status or no reply text. A failed status read or a reply
// that does not end within the time-out drops the connection and reconnects at once; `get`
// failures also try `reconnect_if_due`, at most once per 1.5 s. Every command that is sent
// or finds no connection counts as one "tesira" exchange in the metrics, failed unless 0.
//
// Every wait is bounded: the connection by the connect time-out (2 s), negotiation and
// login together by the receive time-out (8 s), each reply by the receive time-out, and
// the bytes read per reply and per login by a fixed cap, so an endless or stalled server
// costs at most its time-outs.
//
// Thread safety: none. The owning device serialises every call with its client mutex.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace nox {

// Where and how patiently a client talks to its server; tests shorten the waits.
struct tesira_options {
    std::uint16_t port = 23;
    int connect_timeout_ms = 2000;
    int receive_timeout_ms = 8000;
    // Minimum time between two reconnection attempts of `reconnect_if_due`.
    std::chrono::nanoseconds reconnect_interval = std::chrono::milliseconds(1500);
    // The steady clock (tests move their own).
    std::function<std::chrono::steady_clock::time_point()> now;
    // Asked when the server wants a login and the client has no credentials of its own:
    // fills the user and password stored for the server's system name (the text before
    // its "login:"); false when there are none.
    std::function<bool(const std::string& system, std::string& user, std::string& password)> stored_login;
};

class tesira_basic {
public:
    explicit tesira_basic(std::string server_address, tesira_options options = {});
    ~tesira_basic();

    tesira_basic(const tesira_basic&) = delete;
    tesira_basic& operator=(const tesira_basic&) = delete;

    // Opens the connection, negotiates and logs in (see above).
    void connect();
    // Closes the connection (nothing happens when there is none).
    void close();
    // Closes, connects again and notes the time, when more than the reconnection interval
    // has passed since the last attempt; logs "Attempting to reconnect to tesira".
    void reconnect_if_due();

    int get(const std::string& tag, const std::string& attribute, std::string& reply);
    int set(const std::string& tag, const std::string& attribute, const std::string& value, std::string& reply);
    int peek(const std::string& tag, std::uint32_t address, std::uint32_t count, std::string& reply);
    int poke(const std::string& tag, std::uint32_t address, const std::vector<std::uint32_t>& words,
             std::string& reply);

    // Stores credentials for the next `connect`.
    void set_credentials(const std::string& user, const std::string& password);

    const std::string& server_address() const { return server_address_; }
    int socket() const { return socket_; }
    std::uint16_t local_port() const { return local_port_; }
    bool connected() const { return connected_; }
    bool login_prompt_seen() const { return login_prompt_seen_; }
    const std::string& login_message() const { return login_message_; }
    const std::string& user() const { return user_; }

    // The command lines, as sent (exposed for tests).
    static std::string quote(const std::string& tag);
    static std::string address_text(std::uint32_t address);
    static std::string get_line(const std::string& tag, const std::string& attribute);
    static std::string set_line(const std::string& tag, const std::string& attribute, const std::string& value);
    static std::string peek_line(const std::string& tag, std::uint32_t address, std::uint32_t count);
    static std::string poke_line(const std::string& tag, std::uint32_t address, const std::vector<std::uint32_t>& words);

private:
    // Sends one command line and reads its reply.
    int command(const std::string& line, std::string& reply);
    int read_reply(std::string& reply);
    bool send_all(const std::string& bytes);
    // One read of up to `size` bytes within `timeout_ms`; "" on a time-out, a closed
    // connection or an error (`timed_out` tells the first).
    std::string read_chunk(std::size_t size, int timeout_ms, bool& timed_out);
    void negotiate(std::chrono::steady_clock::time_point deadline);
    void log_in(std::chrono::steady_clock::time_point deadline);
    // Drops the connection and connects again (after a broken reply).
    void reconnect_now();
    std::string port_tag() const;
    std::chrono::steady_clock::time_point now() const;

    const std::string server_address_;
    const tesira_options options_;
    std::chrono::steady_clock::time_point last_reconnect_;
    int socket_ = -1;
    std::uint16_t local_port_ = 0;
    bool login_prompt_seen_ = false;
    bool connected_ = false;
    std::string login_message_;
    std::string user_;
    std::string password_;
};

}  // namespace nox
