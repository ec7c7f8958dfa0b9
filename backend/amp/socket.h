// Socket helpers shared by the Mira transport and the Tesira client: opening a UDP or TCP
// socket on a local address, connecting with a deadline, receiving with a deadline, and
// the console printer used for a few transport messages.
//
// Every wait blocks in poll() against the steady clock; nothing spins.
//
// Thread safety: all functions are reentrant; a socket belongs to one thread at a time.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

namespace nox::amp {

// A dotted IPv4 address as a network-order number: 0 (any interface) for an empty text,
// INADDR_NONE for text that is not an address.
std::uint32_t parse_ipv4(const std::string& dotted);

// Opens a socket of `type` (SOCK_DGRAM or SOCK_STREAM) with SO_REUSEADDR and, when
// `broadcast`, SO_BROADCAST. A stream socket is connected to address:port with
// `connect_with_timeout` (waiting at most `connect_timeout_ms`), any other socket bound to
// address:port. With `non_blocking` the socket is switched to O_NONBLOCK at the end.
// `address` is network order. Returns the descriptor, or -1 (errno set, socket closed)
// when any step fails.
int open_socket(std::uint32_t address, std::uint16_t port, int type, bool broadcast, bool non_blocking,
                int connect_timeout_ms = 2000);

// Connects `fd` (left non-blocking) to `address`, waiting at most `timeout_ms` for the
// connection. Returns 0 when connected, -1 after logging why not ("select() failed.",
// "select() timed out...", "Cannot connect...", "Cannot connect. getsockopt returned errno %d").
int connect_with_timeout(int fd, const sockaddr_in& address, int timeout_ms = 2000);

// Waits at most `timeout_ms` for `fd` to become readable, then receives. Returns recv's
// result; -1 for an invalid socket, a failed wait ("error on select, errno: " + errno is
// logged) or a time-out ("Select has timed out, no data available" is logged and
// `timed_out` set).
ssize_t receive_with_timeout(int fd, void* buffer, std::size_t size, bool& timed_out, int timeout_ms = 8000);

// printf-style line to standard output through a 2048-byte buffer. A longer text is cut
// at the buffer's end (marked with "...") rather than ending the process.
void print_line(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace nox::amp
