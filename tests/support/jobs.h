// Runs a request the way a user interface follows one whose record is removed once it is
// done: `POST /api/job/register/` (stores it and subscribes its status), `POST
// /api/job/start/` with the id, then the change notification on the WebSocket that
// reports its final status.
//
// Thread safety: one thread per WebSocket client.
#pragma once

#include "tests/support/ws_client.h"

#include <chrono>
#include <map>
#include <string>

namespace orva_test {

// Runs the request `body` (a JSON object) and returns its attributes as the notification
// of its final status ("done" or "fail") carried them; empty when the request could not
// be started or no such notification arrived within `timeout`.
std::map<std::string, std::string> run_job(ws_client& ws, const std::string& body,
                                           std::chrono::milliseconds timeout = std::chrono::seconds(20));

}  // namespace orva_test
