#include "backend/core/password_command.h"

#include "backend/api/site_access.h"
#include "common/platform/platform.h"

#include <cstdio>
#include <iostream>
#include <termios.h>
#include <unistd.h>

namespace nox {

namespace {

constexpr std::size_t max_password = 1024;

// One line of the terminal without echo; nothing at the end of input.
std::optional<std::string> read_hidden(const std::string& prompt) {
    std::cerr << prompt << std::flush;
    termios saved{};
    const bool terminal = ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::string line;
    const bool got = static_cast<bool>(std::getline(std::cin, line));
    if (terminal) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::cerr << std::endl;
    if (!got) return std::nullopt;
    return line;
}

}  // namespace

bool is_password_command(const std::vector<std::string>& arguments) {
    return !arguments.empty() && (arguments[0] == "--set-password" || arguments[0] == "--delete-password");
}

std::optional<std::string> terminal_password(const std::string& name) {
    auto first = read_hidden("Password for " + name + ": ");
    if (!first) return std::nullopt;
    auto second = read_hidden("Again: ");
    if (!second || *second != *first) {
        std::cerr << "The two passwords differ." << std::endl;
        return std::nullopt;
    }
    return first;
}

int run_password_command(const std::vector<std::string>& arguments, const std::string& data_folder,
                         std::istream& in, std::ostream& out, std::ostream& errors, password_prompt prompt) {
    if (arguments.size() != 2 || !is_password_command(arguments)) {
        errors << "usage: orva_backend --set-password NAME   (the password is read from standard input)\n"
                  "       orva_backend --delete-password NAME\n";
        return 2;
    }
    const bool set = arguments[0] == "--set-password";
    const std::string& name = arguments[1];
    if (!valid_user_name(name)) {
        errors << "orva_backend: a user name is 1 to 64 visible ASCII characters without \":\"\n";
        return 2;
    }
    const std::string file = data_folder + "/" + password_file_name;
    if (!platform::make_directories(data_folder)) {
        errors << "orva_backend: cannot create the data folder " << data_folder << "\n";
        return 1;
    }

    std::string password;
    if (set) {
        std::optional<std::string> given;
        if (prompt) {
            given = prompt(name);
        } else if (std::string line; std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            given = line;
        }
        if (!given || given->empty()) {
            errors << "orva_backend: no password given (it is read from standard input); nothing changed\n";
            return 1;
        }
        if (given->size() > max_password) {
            errors << "orva_backend: a password is at most " << max_password << " characters; nothing changed\n";
            return 1;
        }
        password = *given;
    } else {
        auto text = platform::read_file(file);
        if (!text || ("\n" + *text).find("\n" + name + ":" + password_realm + ":") == std::string::npos) {
            errors << "orva_backend: " << file << " holds no user " << name << "\n";
            return 1;
        }
    }
    if (!store_password(file, name, password)) {
        errors << "orva_backend: cannot write " << file << "\n";
        return 1;
    }
    out << (set ? "Password of " + name + " set in " : "User " + name + " removed from ") << file << "\n";
    return 0;
}

}  // namespace nox
