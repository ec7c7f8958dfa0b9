// The raw HTTP responses of the REST API. Every answer is written whole by the backend,
// as HTTP/1.0, in one of these forms (%d the body length in bytes, %s the body):
//
//   XML OK            HTTP/1.0 200 OK\r\nContent-Length: %d\r\nContent-Type: application/xml\r\n\r\n%s
//   JSON OK           HTTP/1.0 200 OK\r\nContent-Length: %d\r\nContent-Type: application/json\r\n\r\n%s
//   JSON not found    HTTP/1.0 404 Not Found\r\n...application/json...
//   JSON server error HTTP/1.0 500 Internal Server Error\r\n...application/json...
//   JSON bad request  HTTP/1.0 400 Bad Request\r\n...application/json...
//
// Error bodies are the bare message text (not JSON). Two further forms guard the server:
// 403 Forbidden (cross-site use) and 413 Payload Too Large (oversized body), both with a
// text/plain body.
//
// Thread safety: pure functions.
#pragma once

#include <string>
#include <string_view>

namespace nox::http {

std::string xml_ok(std::string_view body);
std::string json_ok(std::string_view body);
std::string json_not_found(std::string_view body);
std::string json_server_error(std::string_view body);
std::string json_bad_request(std::string_view body);
std::string forbidden(std::string_view body);
std::string payload_too_large(std::string_view body);

}  // namespace nox::http
