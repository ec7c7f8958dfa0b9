// Runs the real `orva_backend` of the installation folder (ORVA_BIN_DIR) as a child process
// in a fresh data folder (XDG_DATA_HOME = a new temporary folder, whose "Documents" is the
// documents folder, XDG_DOCUMENTS_DIR, so that saved projects stay in it too), for
// process-level tests and benchmarks. Tests that use it are registered as SANDBOX tests: the ports 8080 and
// 27027 are then their own.
//
// The constructor waits (with a deadline) until the web server answers; `stop` asks the
// backend to quit over its quit port and waits for the exit status. The temporary folder
// is removed at destruction unless ORVA_KEEP_TEST_DATA is set.
//
// Thread safety: one thread per object.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace orva_test {

class backend_process {
public:
    struct options {
        std::map<std::string, std::string> environment;  // added to the inherited one
        // Written to <data>/Orva/configuration_orva.xml before the start.
        std::optional<std::string> configuration;
        // Further files (name -> content) written into <data>/Orva before the start.
        std::map<std::string, std::string> data_files;
        std::chrono::milliseconds start_timeout{15000};
        // Where the web server is expected to answer (ORVA_LISTEN_ADDRESS moves it).
        std::string address = "127.0.0.1";
        // An existing folder to use as XDG_DATA_HOME, kept afterwards (for runs that
        // restart a backend on the same data); empty: a new temporary folder.
        std::string home;
        // Users of the site network, set with `orva_backend --set-password` before the start.
        std::map<std::string, std::string> users;
        // Runs with the data folder ($XDG_DATA_HOME/Orva) before the start.
        std::function<void(const std::string& data_folder)> before_start;
    };

    backend_process() : backend_process(options{}) {}
    explicit backend_process(const options& opts);
    ~backend_process();
    backend_process(const backend_process&) = delete;
    backend_process& operator=(const backend_process&) = delete;

    // True when the process runs and its web server answered.
    bool ready() const { return ready_; }
    pid_t pid() const { return pid_; }
    // $XDG_DATA_HOME/Orva: log, configuration and lock file.
    std::string data_folder() const { return home_ + "/Orva"; }
    // The projects folder: "Orva" in the documents folder.
    std::string projects_folder() const { return home_ + "/Documents/Orva"; }
    std::string log() const;
    // Waits until the log holds `text` (polled every 20 ms until the deadline).
    bool wait_for_log(const std::string& text,
                      std::chrono::milliseconds timeout = std::chrono::milliseconds(10000)) const;

    // Sends "SIGINT" to the quit port and waits for the exit; the exit status, or -1 when
    // the process had to be killed.
    int stop(std::chrono::milliseconds timeout = std::chrono::milliseconds(30000));
    // Resident memory of the process in KiB (VmRSS); -1 when it cannot be read.
    long resident_kib() const;
    // False in sanitizer builds: AddressSanitizer holds freed memory in quarantine and pads
    // every block, so resident memory says nothing about what the backend keeps.
    static constexpr bool memory_is_measurable() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        return false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
        return false;
#else
        return true;
#endif
#else
        return true;
#endif
    }
    // The process's memory summary and thread count, for the message of a failed memory check.
    std::string memory_report() const;
    // Kills the process with SIGKILL and reaps it.
    void kill();
    // True while the child has not exited.
    bool alive();

    // The installation folder (ORVA_BIN_DIR, else "build/bin").
    static std::string bin_dir();

private:
    int wait_exit(std::chrono::milliseconds timeout);
    // Runs `orva_backend --set-password user` with the password on its standard input.
    static void set_password(const std::string& program, const std::vector<char*>& envp, const std::string& user,
                             const std::string& password);

    std::string home_;
    bool own_home_ = true;
    pid_t pid_ = -1;
    bool ready_ = false;
    std::optional<int> exit_status_;
};

}  // namespace orva_test
