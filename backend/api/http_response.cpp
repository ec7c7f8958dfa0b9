#include "backend/api/http_response.h"

namespace nox::http {

namespace {

std::string form(std::string_view status, std::string_view type, std::string_view body) {
    std::string out;
    out.reserve(96 + body.size());
    out += "HTTP/1.0 ";
    out += status;
    out += "\r\nContent-Length: ";
    out += std::to_string(body.size());
    out += "\r\nContent-Type: ";
    out += type;
    out += "\r\n\r\n";
    out += body;
    return out;
}

}  // namespace

std::string xml_ok(std::string_view body) { return form("200 OK", "application/xml", body); }
std::string json_ok(std::string_view body) { return form("200 OK", "application/json", body); }
std::string json_not_found(std::string_view body) {
    return form("404 Not Found", "application/json", body);
}
std::string json_server_error(std::string_view body) {
    return form("500 Internal Server Error", "application/json", body);
}
std::string json_bad_request(std::string_view body) {
    return form("400 Bad Request", "application/json", body);
}
std::string forbidden(std::string_view body) { return form("403 Forbidden", "text/plain", body); }
std::string payload_too_large(std::string_view body) {
    return form("413 Payload Too Large", "text/plain", body);
}
std::string request_timeout(std::string_view body) {
    return form("408 Request Timeout", "text/plain", body);
}
std::string service_unavailable(std::string_view body) {
    return form("503 Service Unavailable", "text/plain", body);
}
std::string upgrade_required(std::string_view websocket_version) {
    std::string out = form("426 Upgrade Required", "text/plain", "unsupported WebSocket version");
    out.insert(out.find("\r\n") + 2, "Sec-WebSocket-Version: " + std::string(websocket_version) + "\r\n");
    return out;
}
std::string metrics_ok(std::string_view body) {
    return form("200 OK", "text/plain; version=0.0.4; charset=utf-8", body);
}

}  // namespace nox::http
