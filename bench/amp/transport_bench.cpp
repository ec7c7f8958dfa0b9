// Mira transport figures against orva_mira_sim on the sandbox network:
//   - text exchange round trip (fresh port per exchange, as the device layer does it, and
//     one port reused), p50 / p99 / mean over N exchanges;
//   - its peer: a bare UDP ping-pong of a datagram of a text frame's size, broadcast from
//     the same interface to an echo process that sends it back, N times on one socket.
//     What the Mira exchange costs beyond it is the protocol's and the simulator's share;
//   - processor time (getrusage) of one exchange with a silent amplifier.
// Run inside the network sandbox:  scripts/sandbox.sh build/bench/amp_transport_bench [N]
#include "backend/amp/mira_frame.h"
#include "backend/amp/socket.h"
#include "backend/amp/velto_eth_port.h"
#include "common/log/log.h"
#include "tools/mira_sim/sim_client.h"

#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

namespace mira = nox::amp::mira;
using steady = std::chrono::steady_clock;
const std::string interface_address = "10.99.0.1";
const P20SPI::CDeviceAddress target{0x00000001, 0x00000001, 2};

double cpu_seconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct summary {
    double p50 = 0, p99 = 0;
};

summary report(const char* what, std::vector<double>& micros) {
    std::sort(micros.begin(), micros.end());
    double sum = 0;
    for (double m : micros) sum += m;
    const auto at = [&](double q) { return micros[std::min(micros.size() - 1, std::size_t(q * micros.size()))]; };
    std::printf("%-36s n=%zu  p50=%.1f us  p99=%.1f us  mean=%.1f us  max=%.1f us\n", what, micros.size(), at(0.50),
                at(0.99), sum / micros.size(), micros.back());
    return {at(0.50), at(0.99)};
}

// The echo peer listens on its own port, so that the simulator on the Mira port never
// sees its datagrams.
constexpr std::uint16_t echo_port = mira::udp_port + 1;

// A child process that sends every datagram on `echo_port` back to where it came from,
// until its parent kills it. Returns its pid, or -1.
pid_t start_echo() {
    const int fd = nox::amp::open_socket(0, echo_port, SOCK_DGRAM, false, false);
    if (fd < 0) return -1;
    const pid_t pid = ::fork();
    if (pid != 0) {
        ::close(fd);
        return pid;
    }
    std::array<std::uint8_t, mira::receive_buffer_size> buffer;
    for (;;) {
        sockaddr_in from{};
        socklen_t size = sizeof from;
        const ssize_t n = ::recvfrom(fd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &size);
        if (n >= 0) ::sendto(fd, buffer.data(), static_cast<std::size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), size);
    }
}

// `count` round trips of a text frame's worth of bytes to the echo peer, sent the way the
// Mira transport sends (broadcast from the interface's address, non-blocking socket,
// poll for the reply). Returns the round trips in microseconds; failures counted.
std::vector<double> bare_ping_pong(int count, int& failures) {
    std::vector<double> micros;
    const int fd = nox::amp::open_socket(nox::amp::parse_ipv4(interface_address), 0, SOCK_DGRAM, true, true);
    if (fd < 0) {
        ++failures;
        return micros;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(echo_port);
    to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    std::array<std::uint8_t, mira::text_frame_size> frame{};
    std::array<std::uint8_t, mira::receive_buffer_size> buffer;
    micros.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        frame[0] = static_cast<std::uint8_t>(i);
        const auto start = steady::now();
        bool answered = false;
        if (::sendto(fd, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
            static_cast<ssize_t>(frame.size())) {
            pollfd p{fd, POLLIN, 0};
            while (!answered && ::poll(&p, 1, 1000) > 0) {
                const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
                answered = n == static_cast<ssize_t>(frame.size()) && buffer[0] == frame[0];
            }
        }
        if (!answered) ++failures;
        micros.push_back(std::chrono::duration<double, std::micro>(steady::now() - start).count());
    }
    ::close(fd);
    return micros;
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 10000;
    if (count <= 0) return 2;
    nox::log::instance().set_log_path("/tmp/amp_transport_bench.log");
    mira_sim::sim_client sim(mira_sim::sim_client::default_program(), {"--amp", "00000001:00000001"});

    std::vector<double> micros;
    micros.reserve(count);
    int failures = 0;
    for (int i = 0; i < count; ++i) {
        const auto start = steady::now();
        P20SPI::CVeltoEthPort port(interface_address);
        port.open_target(target);
        std::string reply;
        if (port.transact_text("Dev.ModelName?", reply) != 0) ++failures;
        micros.push_back(std::chrono::duration<double, std::micro>(steady::now() - start).count());
    }
    report("text exchange, port per exchange", micros);

    micros.clear();
    {
        P20SPI::CVeltoEthPort port(interface_address);
        port.open_target(target);
        for (int i = 0; i < count; ++i) {
            const auto start = steady::now();
            std::string reply;
            if (port.transact_text("Dev.ModelName?", reply) != 0) ++failures;
            micros.push_back(std::chrono::duration<double, std::micro>(steady::now() - start).count());
        }
    }
    const summary mira_reused = report("text exchange, one port reused", micros);

    micros.clear();
    const pid_t echo = start_echo();
    if (echo < 0) {
        std::printf("cannot start the UDP echo peer\n");
        ++failures;
    } else {
        micros = bare_ping_pong(count, failures);
        ::kill(echo, SIGKILL);
        ::waitpid(echo, nullptr, 0);
    }
    if (!micros.empty()) {
        const summary bare = report("bare UDP ping-pong (peer)", micros);
        std::printf("Mira text exchange against bare UDP, %d each: p50 %.1f us against %.1f us (x%.2f), "
                    "p99 %.1f us against %.1f us (x%.2f)\n",
                    count, mira_reused.p50, bare.p50, mira_reused.p50 / bare.p50, mira_reused.p99, bare.p99,
                    mira_reused.p99 / bare.p99);
    }

    sim.expect_ok("fault 00000001:00000001 silent");
    constexpr int silent_rounds = 3;
    for (const char* command : {"Dev.Power?", "Dev.Reset.Soft!"}) {
        const double cpu_before = cpu_seconds();
        const auto wall_before = steady::now();
        for (int i = 0; i < silent_rounds; ++i) {
            P20SPI::CVeltoEthPort port(interface_address);
            port.open_target(target);
            std::string reply;
            if (port.transact_text(command, reply) != 13) ++failures;
        }
        const double cpu = (cpu_seconds() - cpu_before) / silent_rounds;
        const double wall = std::chrono::duration<double>(steady::now() - wall_before).count() / silent_rounds;
        std::printf("silent amplifier, %-17s wall=%.3f s  cpu=%.3f ms per exchange\n", command, wall, cpu * 1e3);
    }
    if (failures) std::printf("unexpected results: %d\n", failures);
    return failures ? 1 : 0;
}
