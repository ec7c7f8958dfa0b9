#include "backend/amp/velto_eth_port.h"

#include "backend/amp/socket.h"
#include "backend/amp/source_id.h"
#include "common/log/log.h"

#include <arpa/inet.h>
#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>

namespace P20SPI {

namespace mira = nox::amp::mira;
using steady = std::chrono::steady_clock;

namespace {

// Blocks until `fd` is readable or `deadline` has passed. False at the deadline. An
// invalid descriptor simply waits out the deadline (poll ignores negative descriptors).
bool wait_readable(int fd, steady::time_point deadline) {
    for (;;) {
        const auto now = steady::now();
        if (now >= deadline) return false;
        // Round up so that the wait never ends a little before the deadline.
        const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(remaining, 60000)));
        if (ready > 0 && (p.revents & (POLLIN | POLLERR)) != 0) return true;
        if ((ready > 0 && (p.revents & POLLNVAL) != 0) || (ready < 0 && errno != EINTR)) {
            // Should not happen; wait out the deadline without spinning.
            ::poll(nullptr, 0, static_cast<int>(remaining));
        }
    }
}

// Where every frame goes: 255.255.255.255, UDP 6016.
sockaddr_in broadcast_destination() {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(mira::udp_port);
    to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    return to;
}

// One pending datagram, or -1 when none is waiting.
ssize_t receive_one(int fd, std::array<std::uint8_t, mira::receive_buffer_size>& buffer) {
    if (fd < 0) return -1;
    sockaddr_in from{};
    socklen_t size = sizeof from;
    return ::recvfrom(fd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &size);
}

}  // namespace

CDeviceAddress to_port_address(const nox::amp::device_address& a) { return CDeviceAddress{a.id_high, a.id_low, a.kind}; }

nox::amp::device_address to_device_address(const CDeviceAddress& a) {
    return nox::amp::device_address{a.id_high, a.id_low, a.kind};
}

CVeltoEthPort::CVeltoEthPort(const std::string& interface_address) {
    sock_ = nox::amp::open_socket(nox::amp::parse_ipv4(interface_address), 0, SOCK_DGRAM, true, true);
}

CVeltoEthPort::~CVeltoEthPort() {
    open_ = false;
    if (sock_ >= 0) ::close(sock_);
}

bool CVeltoEthPort::send_broadcast(std::span<const std::uint8_t> frame) {
    const sockaddr_in to = broadcast_destination();
    return ::sendto(sock_, frame.data(), frame.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
           static_cast<ssize_t>(frame.size());
}

void CVeltoEthPort::discover(std::vector<CDeviceAddress>& found) {
    const auto stamp = nox::amp::source_id_generator::instance().next();
    const auto heartbeat = mira::build_heartbeat(stamp.source, stamp.sequence);
    if (!send_broadcast(heartbeat)) {
        nox::amp::print_line("Failed to send heartbeat, error no. : %d\n", errno);
        return;
    }
    const auto deadline = steady::now() + kDiscoveryWindow;
    std::array<std::uint8_t, mira::receive_buffer_size> buffer;
    while (wait_readable(sock_, deadline)) {
        ssize_t size;
        while ((size = receive_one(sock_, buffer)) >= 0) {
            mira::heartbeat_reply reply;
            const auto verdict =
                mira::decode_heartbeat_reply(std::span(buffer.data(), static_cast<std::size_t>(size)), reply);
            if (verdict != mira::heartbeat_verdict::accepted) continue;
            nox::log_line("Amplifier product: " + std::to_string(reply.product));
            const CDeviceAddress address = to_port_address(reply.address);
            const bool known = std::any_of(found.begin(), found.end(),
                                           [&](const CDeviceAddress& a) { return a.id() == address.id(); });
            if (!known) found.push_back(address);
        }
    }
}

void CVeltoEthPort::address_text(std::uint64_t id, std::string& text) const { text = nox::amp::address_text(id); }

int CVeltoEthPort::open_target(const CDeviceAddress& target) {
    close_target();
    target_ = target;
    open_ = true;
    return kPortOk;
}

int CVeltoEthPort::close_target() {
    if (!open_) return kPortNotOpen;
    open_ = false;
    return kPortOk;
}

namespace {

// What a datagram that decoded as `reply` means to its exchange: the result when it ends
// the exchange, nothing while the exchange keeps waiting. `note` receives the line a
// reply worth mentioning gives (damaged, unknown type, dirty flag).
std::optional<int> reply_outcome(const mira::exchange_reply& reply, ssize_t size, std::string& note) {
    note.clear();
    switch (reply.kind) {
    case mira::reply_kind::not_ours:
        return std::nullopt;
    case mira::reply_kind::damaged: {
        char text[96];
        std::snprintf(text, sizeof text, "MIRA: damaged frame of type %u ignored (%zd bytes).",
                      static_cast<unsigned>(reply.type), size);
        note = text;
        return std::nullopt;
    }
    case mira::reply_kind::unknown_type:
        note = "Unknown packet type: " + std::to_string(reply.type);
        return std::nullopt;
    case mira::reply_kind::ack:
        return kPortOk;
    case mira::reply_kind::nak:
        return kPortNegativeAck;
    case mira::reply_kind::text:
        if (reply.dirty) note = "MIRA: Dirty flag detected.";
        return kPortOk;
    case mira::reply_kind::binary:
        return kPortOk;
    }
    return std::nullopt;
}

// Logs `note` now, or keeps it in `notes` for the caller.
void note_line(std::string& note, std::vector<std::string>* notes) {
    if (note.empty()) return;
    if (notes) {
        notes->push_back(std::move(note));
    } else {
        nox::log_line(note);
    }
}

}  // namespace

int CVeltoEthPort::exchange(std::span<const std::uint8_t> frame, std::uint64_t source, std::uint32_t sequence,
                            std::chrono::milliseconds wait, mira::exchange_reply& reply,
                            std::vector<std::string>* notes) {
    if (!open_) return kPortNotOpen;
    std::array<std::uint8_t, mira::receive_buffer_size> buffer;
    std::string note;
    for (int attempt = 0; attempt < kTries; ++attempt) {
        send_broadcast(frame);  // a failed send is simply a try without an answer
        const auto deadline = steady::now() + wait;
        while (wait_readable(sock_, deadline)) {
            ssize_t size;
            while ((size = receive_one(sock_, buffer)) >= 0) {
                reply = mira::decode_reply(std::span(buffer.data(), static_cast<std::size_t>(size)), source, sequence);
                const auto done = reply_outcome(reply, size, note);
                note_line(note, notes);
                if (done) return *done;
            }
        }
    }
    reply = mira::exchange_reply{};
    return kPortTimeout;
}

void CVeltoEthPort::transact_batch(std::span<mira::batch_exchange> batch) {
    // One frame per exchange, each with its own sequence number; all of them go out
    // together and every reply is matched by its sequence number, so the exchanges cost
    // one round trip instead of one each. An exchange that stays unanswered is sent again,
    // four times at most with 250 ms after each send, like a single one.
    struct outstanding {
        mira::batch_exchange* item;
        std::uint32_t sequence;
        std::vector<std::uint8_t> frame;
    };
    std::vector<outstanding> waiting;
    waiting.reserve(batch.size());
    std::uint64_t source = 0;
    for (auto& item : batch) {
        item.result = kPortTimeout;
        item.payload.clear();
        item.words.clear();
        item.lines.clear();
        if (!item.binary) item.lines.push_back("transceive_vkt_raw: " + item.command);
        if (!open_) {
            item.result = kPortNotOpen;
            continue;
        }
        const auto stamp = nox::amp::source_id_generator::instance().next();
        source = stamp.source;
        const auto target = to_device_address(target_);
        if (item.binary) {
            std::size_t count = item.packet.empty() ? 0 : (item.packet[0] >> 16) & 0xFFu;
            count = std::min({count, item.packet.size(), mira::max_binary_words});
            const auto frame = mira::build_binary_frame(target, stamp.source, stamp.sequence,
                                                        std::span(item.packet).first(count));
            waiting.push_back({&item, stamp.sequence, {frame->begin(), frame->end()}});
            continue;
        }
        const auto frame = mira::build_text_frame(target, stamp.source, stamp.sequence, item.command);
        if (!frame) {
            item.lines.push_back("MIRA: command does not fit a frame, not sent.");
            item.result = nox::amp::result_refused;
            continue;
        }
        if (item.command == kResetCommand) {  // its own, longer wait
            mira::exchange_reply reply;
            item.result = exchange(*frame, stamp.source, stamp.sequence, kResetWait, reply, &item.lines);
            if (item.result == kPortOk) item.payload = std::move(reply.payload);
            continue;
        }
        waiting.push_back({&item, stamp.sequence, {frame->begin(), frame->end()}});
    }

    constexpr std::size_t chunk = 32;
    std::array<std::array<std::uint8_t, mira::receive_buffer_size>, chunk> buffers;
    std::string note;
    for (int attempt = 0; attempt < kTries && !waiting.empty(); ++attempt) {
        // Every waiting frame in as few system calls as possible; a frame the socket does
        // not take is simply a try without an answer.
        sockaddr_in to = broadcast_destination();
        for (std::size_t first = 0; first < waiting.size(); first += chunk) {
            const std::size_t count = std::min(chunk, waiting.size() - first);
            std::array<mmsghdr, chunk> messages{};
            std::array<iovec, chunk> vectors{};
            for (std::size_t i = 0; i < count; ++i) {
                auto& frame = waiting[first + i].frame;
                vectors[i] = {frame.data(), frame.size()};
                messages[i].msg_hdr.msg_name = &to;
                messages[i].msg_hdr.msg_namelen = sizeof to;
                messages[i].msg_hdr.msg_iov = &vectors[i];
                messages[i].msg_hdr.msg_iovlen = 1;
            }
            std::size_t sent = 0;
            while (sent < count) {
                const int n = ::sendmmsg(sock_, messages.data() + sent, static_cast<unsigned>(count - sent), 0);
                if (n <= 0) break;
                sent += static_cast<std::size_t>(n);
            }
        }
        const auto deadline = steady::now() + kWait;
        while (!waiting.empty() && wait_readable(sock_, deadline)) {
            std::array<mmsghdr, chunk> messages{};
            std::array<iovec, chunk> vectors{};
            for (std::size_t i = 0; i < chunk; ++i) {
                vectors[i] = {buffers[i].data(), buffers[i].size()};
                messages[i].msg_hdr.msg_iov = &vectors[i];
                messages[i].msg_hdr.msg_iovlen = 1;
            }
            int received;
            while ((received = ::recvmmsg(sock_, messages.data(), chunk, MSG_DONTWAIT, nullptr)) > 0) {
                for (int m = 0; m < received; ++m) {
                    const auto datagram = std::span<const std::uint8_t>(buffers[m].data(), messages[m].msg_len);
                    const auto header = mira::read_header(datagram);
                    if (!header || header->destination != source) continue;
                    const auto own = std::find_if(waiting.begin(), waiting.end(), [&](const outstanding& o) {
                        return o.sequence == header->sequence;
                    });
                    if (own == waiting.end()) continue;  // a late reply of an exchange already answered
                    auto reply = mira::decode_reply(datagram, source, own->sequence);
                    const auto done = reply_outcome(reply, static_cast<ssize_t>(datagram.size()), note);
                    note_line(note, &own->item->lines);
                    if (!done) continue;
                    own->item->result = *done;
                    own->item->payload = std::move(reply.payload);
                    own->item->words = std::move(reply.words);
                    waiting.erase(own);
                }
                if (static_cast<std::size_t>(received) < chunk) break;
            }
        }
    }
}

int CVeltoEthPort::transact_text_raw(const std::string& command, std::vector<std::uint8_t>& payload) {
    payload.clear();
    nox::log_line("transceive_vkt_raw: " + command);
    if (!open_) return kPortNotOpen;
    const auto stamp = nox::amp::source_id_generator::instance().next();
    const auto frame = mira::build_text_frame(to_device_address(target_), stamp.source, stamp.sequence, command);
    if (!frame) {
        nox::log_line("MIRA: command does not fit a frame, not sent.");
        return nox::amp::result_refused;
    }
    mira::exchange_reply reply;
    const auto wait = command == kResetCommand ? kResetWait : kWait;
    const int result = exchange(*frame, stamp.source, stamp.sequence, wait, reply);
    if (result == kPortOk) payload = std::move(reply.payload);
    return result;
}

int CVeltoEthPort::transact_text(const std::string& command, std::string& reply) {
    reply.clear();
    std::vector<std::uint8_t> payload;
    const int result = transact_text_raw(command, payload);
    if (result == kPortOk) reply = mira::payload_text(payload);
    return result;
}

int CVeltoEthPort::transact_packet(std::span<const std::uint32_t> packet, std::vector<std::uint32_t>& reply) {
    reply.clear();
    if (!open_) return kPortNotOpen;
    std::size_t count = packet.empty() ? 0 : (packet[0] >> 16) & 0xFFu;  // the packet's length byte
    count = std::min({count, packet.size(), mira::max_binary_words});
    const auto stamp = nox::amp::source_id_generator::instance().next();
    const auto frame = mira::build_binary_frame(to_device_address(target_), stamp.source, stamp.sequence,
                                                packet.first(count));
    mira::exchange_reply answer;
    const int result = exchange(*frame, stamp.source, stamp.sequence, kWait, answer);
    if (result == kPortOk) reply = std::move(answer.words);
    return result;
}

int CVeltoEthPort::transact_frame(std::span<const std::uint8_t> frame, std::vector<std::uint8_t>& reply) {
    reply.clear();
    if (!open_) return kPortNotOpen;
    if (frame.size() < mira::min_frame_size || frame.size() > mira::receive_buffer_size) {
        return nox::amp::result_refused;
    }
    std::vector<std::uint8_t> stamped(frame.begin(), frame.end());
    const auto stamp = nox::amp::source_id_generator::instance().next();
    mira::put_le32(stamped, 0, static_cast<std::uint32_t>(stamp.source >> 32));
    mira::put_le32(stamped, 4, static_cast<std::uint32_t>(stamp.source));
    mira::put_le32(stamped, 24, stamp.sequence);
    mira::exchange_reply answer;
    const int result = exchange(stamped, stamp.source, stamp.sequence, kWait, answer);
    if (result != kPortOk) return result;
    if (answer.kind == mira::reply_kind::text) {
        reply = std::move(answer.payload);
    } else if (answer.kind == mira::reply_kind::binary) {
        reply.resize(answer.words.size() * 4);
        for (std::size_t i = 0; i < answer.words.size(); ++i) mira::put_be32(reply, 4 * i, answer.words[i]);
    }
    return result;
}

}  // namespace P20SPI
