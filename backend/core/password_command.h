// The password commands of `orva_backend`, which maintain the password file of the site
// network (backend/api/site_access.h) and end without starting the backend:
//
//   orva_backend --set-password NAME      creates or changes the entry of NAME
//   orva_backend --delete-password NAME   removes it
//
// The password is read from standard input, never from the command line (where other
// users could see it): on a terminal it is asked for twice without echo, otherwise the
// first line is taken. A running backend uses the changed file from its next request.
//
// Thread safety: runs on the main thread of a process that starts nothing else.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace nox {

// Whether the arguments (after the program name) ask for a password command.
bool is_password_command(const std::vector<std::string>& arguments);

// Reads the password from a terminal (input without echo, asked twice).
using password_prompt = std::optional<std::string> (*)(const std::string& name);

// Runs the command on the password file of `data_folder`; messages go to `out` and
// `errors`. `prompt` is used when set (standard input is a terminal), else the first line
// of `in` is the password. Returns the exit status: 0 done, 1 failed, 2 bad usage.
int run_password_command(const std::vector<std::string>& arguments, const std::string& data_folder,
                         std::istream& in, std::ostream& out, std::ostream& errors,
                         password_prompt prompt = nullptr);

// The terminal prompt: "Password for NAME: " and "Again: " on standard error, echo off.
std::optional<std::string> terminal_password(const std::string& name);

}  // namespace nox
