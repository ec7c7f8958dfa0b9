// The raw HTTP responses of the REST API. Every answer is written whole by the backend,
// as HTTP/1.0, in one of these forms (%d the body length in bytes, %s the body):
//
//   XML OK            HTTP/1.0 200 OK\r\nContent-Length: %d\r\nContent-Type: application/xml\r\n\r\n%s
//   JSON OK           HTTP/1.0 200 OK\r\nContent-Length: %d\r\nContent-Type: application/json\r\n\r\n%s
//   JSON not found    HTTP/1.0 404 Not Found\r\n...application/json...
//   JSON server error HTTP/1.0 500 Internal Server Error\r\n...application/json...
//   JSON bad request  HTTP/1.0 400 Bad Request\r\n...application/json...
//
// Error bodies are the bare message text (not JSON). Further forms guard the server, each
// with a text/plain body: 403 Forbidden (cross-site use), 413 Payload Too Large (oversized
// body), 408 Request Timeout (a body too slow to arrive), 503 Service Unavailable (no
// room for another WebSocket client, or stopping) and 426 Upgrade Required (a WebSocket
// version other than 13, named in a Sec-WebSocket-Version header). The metrics travel as
// 200 OK with the Prometheus text format's type.
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
std::string request_timeout(std::string_view body);
std::string service_unavailable(std::string_view body);
std::string upgrade_required(std::string_view websocket_version);
std::string metrics_ok(std::string_view body);

}  // namespace nox::http
