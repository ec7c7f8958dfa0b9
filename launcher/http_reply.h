// The launcher's HTTP codec: the request texts it sends and the few facts it reads back
// from a reply. Pure functions over bytes, no sockets.
//
// Wire format (HTTP/1.1, one request per connection, no keep-alive, no chunking):
//   GET  request: "GET " path " HTTP/1.1\r\n\r\n"              (no Host or other header)
//   POST request: "POST " path " HTTP/1.1\r\n"
//                 "Content-Type: " type "\r\n"
//                 "Content-Length: " decimal byte count "\r\n\r\n" body
// A reply is read as one byte string: status line, header lines, "\r\n\r\n", body (or the
// part of it that has arrived).
//   status code: the status line (up to the first "\r" or "\n") split at every space and
//                tab must give exactly three fields, the first beginning "HTTP/1" and the
//                second a decimal number; otherwise -1. So "HTTP/1.1 200 OK" gives 200 and
//                "HTTP/1.1 404 Not Found" gives -1.
//   completeness: needs the blank line and a header "Content-Length: <digits>\r\n" (exact
//                case, first match anywhere in the reply); the body received so far is
//                compared with the announced length.
// Request bodies are written by the property-tree JSON writer in its indented form
// (four-space indent, members in insertion order, a final line end).
//
// Thread safety: every function is reentrant and keeps no state.
#pragma once

#include <boost/property_tree/ptree.hpp>
#include <string>
#include <string_view>

namespace nox::launcher {

// "GET " + path + " HTTP/1.1\r\n\r\n".
std::string get_request_text(std::string_view path);
// The POST request with Content-Type and Content-Length headers, then the body.
std::string post_request_text(std::string_view path, std::string_view content_type,
                              std::string_view body);

// The numeric status of a reply, or -1 when its status line is not of the form above.
int status_code(std::string_view reply);

// Result of `reply_complete`.
enum reply_state : int {
    reply_whole = 0,      // the announced body has fully arrived
    reply_partial = 1,    // more body is still to come
    reply_malformed = 2,  // no blank line, no length header, or more body than announced
};
reply_state reply_complete(std::string_view reply);

// The text after the first "\r\n\r\n"; empty when there is none.
std::string reply_body(std::string_view reply);

// The property-tree JSON writer, indented form.
std::string to_json_text(const boost::property_tree::ptree& tree);
// The property-tree JSON reader. Returns false, and leaves `tree` empty, on any failure.
bool from_json_text(const std::string& text, boost::property_tree::ptree& tree);

}  // namespace nox::launcher
