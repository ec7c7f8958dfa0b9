// The server side of the WebSocket opening handshake (RFC 6455, section 4.2): recognising
// an upgrade request, checking its key and version, and the answer that accepts it.
//
// The backend answers upgrades itself, in the web server's begin-request callback, instead
// of leaving them to the embedded server's WebSocket handling: that handling reads every
// frame a client sends and holds a whole frame in memory (up to 2 GiB, as announced by the
// client) before handing it on, while the backend has no use for anything a client sends.
// Frames to the client are written with the embedded server's frame writer.
//
// Thread safety: pure functions.
#pragma once

#include <string>
#include <string_view>

namespace nox {

// True when the comma-separated header value holds `token` (case-insensitive, blanks
// around the items ignored), as "Connection: keep-alive, Upgrade" holds "upgrade".
bool header_has_token(std::string_view value, std::string_view token);

// A Sec-WebSocket-Key: the base64 form of 16 bytes (24 characters ending "==").
bool valid_websocket_key(std::string_view key);

// The Sec-WebSocket-Accept value for a key: base64 of the SHA-1 of the key followed by the
// protocol's GUID "258EAFA5-E914-47DA-95CA-C5AB0DC85B11".
std::string websocket_accept(std::string_view key);

// The "101 Switching Protocols" answer for a key.
std::string websocket_accept_answer(std::string_view key);

}  // namespace nox
