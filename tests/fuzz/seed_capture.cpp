// Writes the seed corpora of the fuzz targets (tests/fuzz/corpus/<target>/):
//
//   fuzz_seed_capture <corpus folder>
//
// Amplifier seeds come from real exchanges with the Mira simulator, run in-process (its
// host turns each request datagram the backend builds into the datagrams it would send
// back): reply datagrams, P20SPI reply packets, monitor blocks, and the whole reply
// sequence of the device target's operations. The other seeds are what the backend and
// launcher write themselves (REST answers, project files) and typical client input.
// Existing files are overwritten; files the fuzzer added are left alone.
#include "backend/amp/mira_device.h"
#include "backend/amp/mira_frame.h"
#include "backend/api/http_response.h"
#include "backend/calibration/analyser_data.h"
#include "backend/model/project_store.h"
#include "backend/p20spi/commands.h"
#include "backend/requests/model_json.h"
#include "common/log/log.h"
#include "tests/fuzz/device_exercise.h"
#include "tests/fuzz/fuzz_input.h"
#include "backend/amp/tesira_basic.h"
#include "tools/mira_sim/simulator.h"
#include "tools/tesira_sim/server.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
namespace mira = nox::amp::mira;
using orva_fuzz::fuzz_output;

fs::path corpus_root;

void write_seed(const std::string& target, const std::string& name, const std::string& bytes) {
    const fs::path folder = corpus_root / target;
    fs::create_directories(folder);
    std::ofstream(folder / name, std::ios::binary) << bytes;
}

std::string as_text(const std::vector<std::uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

std::string words_text(const std::vector<std::uint32_t>& words) {
    std::string out;
    for (std::uint32_t w : words)
        for (int k = 0; k < 4; ++k) out.push_back(static_cast<char>(w >> (8 * k)));
    return out;
}

constexpr std::uint64_t backend_source = 0x0a630001'00001234ull;
const nox::amp::device_address amp_address{0x0000abcd, 1, 2};

// The simulator with one amplifier, exchanged with in-process.
struct simulator {
    mira_sim::host host;
    std::uint32_t sequence = 1;

    simulator() {
        auto& amp = host.add(amp_address.id(), 2, 22);
        amp.status_word = 1u << 13;
        for (std::size_t i = 0; i < amp.monitor.size(); ++i) amp.monitor[i] = 0x01000000u * (i % 4) + i;
    }

    // The reply datagrams to one request datagram.
    std::vector<mira_sim::bytes> exchange(std::span<const std::uint8_t> request) {
        std::vector<mira_sim::bytes> replies;
        for (auto& out : host.receive(request, "10.99.0.1:40000", 0)) replies.push_back(std::move(out.datagram));
        return replies;
    }
    std::vector<mira_sim::bytes> text(const std::string& command) {
        auto frame = mira::build_text_frame(amp_address, backend_source, sequence++, command);
        return exchange(*frame);
    }
    std::vector<mira_sim::bytes> packet(std::span<const std::uint32_t> words) {
        auto frame = mira::build_binary_frame(amp_address, backend_source, sequence++, words);
        return exchange(*frame);
    }
};

// A transport that talks to the in-process simulator and records what the device fuzz
// target's transport reads: per exchange an outcome byte and the reply chunk.
class recording_transport final : public nox::amp::mira_transport {
public:
    recording_transport(simulator& sim, fuzz_output& out) : sim_(sim), out_(out) {}

    int text(const std::string&, const nox::amp::device_address&, const std::string& command,
             std::string& reply) override {
        reply.clear();
        const auto decoded = decode_first(sim_.text(command));
        if (decoded.kind != mira::reply_kind::text) return record_timeout();
        reply = mira::payload_text(decoded.payload);
        out_.byte(0);
        out_.chunk(reply);
        return 0;
    }
    int text_raw(const std::string&, const nox::amp::device_address&, const std::string& command,
                 std::vector<std::uint8_t>& payload) override {
        payload.clear();
        const auto decoded = decode_first(sim_.text(command));
        if (decoded.kind != mira::reply_kind::text) return record_timeout();
        payload = decoded.payload;
        out_.byte(0);
        out_.chunk(as_text(payload));
        return 0;
    }
    int packet(const std::string&, const nox::amp::device_address&, std::span<const std::uint32_t> words,
               std::vector<std::uint32_t>& reply) override {
        reply.clear();
        const auto decoded = decode_first(sim_.packet(words));
        if (decoded.kind != mira::reply_kind::binary) return record_timeout();
        reply = decoded.words;
        out_.byte(0);
        out_.chunk_words(reply);
        return 0;
    }

private:
    mira::exchange_reply decode_first(const std::vector<mira_sim::bytes>& replies) {
        if (replies.empty()) return {};
        return mira::decode_reply(replies.front(), backend_source, sim_.sequence - 1);
    }
    int record_timeout() {
        out_.byte(245);
        out_.chunk("");
        return nox::amp::result_timeout;
    }
    simulator& sim_;
    fuzz_output& out_;
};

void amplifier_seeds() {
    simulator sim;
    int n = 0;
    // Reply datagrams of text commands, heartbeats and P20SPI packets.
    for (const char* command : {"Dev.ModelName?", "Dev.Power?", "Dev.Route?A 1", "Dev.LoadPilot.Threshold?1",
                                "Dev.FrameLabel=Stage", "Dev.MD.FullBin?3", "Amp.Version.SWFID?", "Dev.Nothing?"}) {
        for (const auto& reply : sim.text(command)) write_seed("mira_frame_fuzz", "text-" + std::to_string(n++), as_text(reply));
    }
    const auto heartbeat = mira::build_heartbeat(backend_source, 7);
    for (const auto& reply : sim.exchange(heartbeat)) write_seed("mira_frame_fuzz", "heartbeat-reply", as_text(reply));
    sim.host.find(amp_address.id())->fault.mode = mira_sim::fault_mode::nak;
    for (const auto& reply : sim.text("Dev.Power=1")) write_seed("mira_frame_fuzz", "nak", as_text(reply));
    sim.host.find(amp_address.id())->fault.mode = mira_sim::fault_mode::none;

    P20SPI::CCmdParamRd read(P20SPI::CParamAddress(5, 300, 8));
    P20SPI::CCmdParamWr write(P20SPI::CParamAddress(5, 300, 0), {1, 2, 0xFFFFFFFF});
    P20SPI::CCmdParamRd firmware(P20SPI::CParamAddress(0, 4, 1));
    P20SPI::CCmdMonitorRd monitor;
    P20SPI::CCmdParamRd unknown(P20SPI::CParamAddress(200, 65535, 58));
    const std::pair<const char*, P20SPI::ICmd*> commands[] = {
        {"read", &read}, {"write", &write}, {"firmware", &firmware}, {"monitor", &monitor}, {"unknown", &unknown}};
    for (const auto& [name, command] : commands) {
        const auto sent = command->serialise().words();
        for (const auto& reply : sim.packet(sent)) {
            write_seed("mira_frame_fuzz", std::string("binary-") + name, as_text(reply));
            const auto decoded = mira::decode_reply(reply, backend_source, sim.sequence - 1);
            write_seed("p20spi_packet_fuzz", name, words_text(decoded.words));
            if (std::string(name) == "monitor") write_seed("monitor_block_fuzz", "monitor-response", words_text(decoded.words));
        }
    }
    write_seed("monitor_block_fuzz", "status-block-only", words_text(std::vector<std::uint32_t>(15, 0x00004000u)));

    // The device target: the whole operation sequence against the simulator.
    fuzz_output out;
    auto transport = std::make_shared<recording_transport>(sim, out);
    {
        nox::amp::mira_device device(amp_address, transport, [] { return std::string("10.99.0.1"); });
        device.cache_off();
        const char* const texts[] = {"1", "-6.5", "0", "12", "A.Out1", "A.Out2", "B.Out1", "B.Out2", "Stage left"};
        std::size_t next = 0;
        orva_fuzz::exercise_mira_device(
            device,
            [&] {
                const std::string text = texts[next++ % std::size(texts)];
                out.chunk(text);
                return text;
            },
            [] { return true; });
    }
    write_seed("mira_device_fuzz", "simulator-session", out.text());
    // The same session against an amplifier that stops answering half-way.
    fuzz_output silent;
    silent.raw(out.text().substr(0, out.text().size() / 2));
    write_seed("mira_device_fuzz", "half-session", silent.text());
}

// What the Tesira simulator sends in a session of the telnet target: options offered,
// banner (after a login dialogue, or not), and its replies to the target's commands.
void tesira_seeds() {
    tesira_sim::host sim;
    auto& amp = sim.add("Amp1", "Stage");
    (void)amp;
    sim.add("Amp 2", "Side");
    const std::string options("\xff\xfd\x18\xff\xfd\x20\xff\xfd\x23\xff\xfd\x27", 12);
    // The server reads lines without their line end.
    const auto line = [](std::string text) {
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        return text;
    };
    const std::string replies = sim.answer(line(nox::tesira_basic::get_line("Amp1", "ampName"))) +
                                sim.answer(line(nox::tesira_basic::set_line("Amp 2", "channelName 1", "Stage left"))) +
                                sim.answer(line(nox::tesira_basic::peek_line("Amp1", 0x50012c, 4))) +
                                sim.answer(line(nox::tesira_basic::poke_line("Amp1", 0x50012c, {1, 0xFFFFFFFFu})));
    write_seed("tesira_telnet_fuzz", "session", options + "\n" + "Welcome to the Tesira Text Protocol Server...\r\n" + replies);
    write_seed("tesira_telnet_fuzz", "login", options + "\nTesiraServer login: Password: \r\n"
                                                 "Welcome to the Tesira Text Protocol Server...\r\n" + replies);
    write_seed("tesira_telnet_fuzz", "refused", options + "\nWelcome to the Tesira Text Protocol Server...\r\n" +
                                                   sim.answer(line(nox::tesira_basic::get_line("Nobody", "ampName"))));
    write_seed("tesira_telnet_fuzz", "in-band-negotiation", options + "\nWelcome\r\n\xff\xfb\x01" + replies);
}

// Tesira configuration files: the demo's, and blocks of the kinds an import meets.
void tesira_import_seeds(const fs::path& source) {
    std::ifstream in(source / "examples/tesira_demo.xml", std::ios::binary);
    write_seed("tesira_import_fuzz", "tesira_demo.xml",
               std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()));
    write_seed("tesira_import_fuzz", "quoted-and-bom",
               "\xEF\xBB\xBF<?xml version=\"1.0\"?><Tesira><Blocks>"
               "<AmpBlock instanceTag=\"Amp &quot;1&quot; &amp; 2\" proxyIPAddress=\"192.168.1.20\">"
               "<ampName>Hall &lt;left&gt;</ampName></AmpBlock><!-- a comment -->"
               "<AmpBlock instanceTag=\"Amp 3\" proxyIPAddress=\"10.0.0.1\"><ampName>Foyer</ampName></AmpBlock>"
               "</Blocks></Tesira>");
    write_seed("tesira_import_fuzz", "no-name",
               "<Tesira><Blocks><AmpBlock instanceTag=\"A\" proxyIPAddress=\"10.0.0.1\"/></Blocks></Tesira>");
    // Nesting hidden behind start tags whose quoted values end like empty elements.
    std::string nested = "<Tesira><Blocks>";
    for (int level = 0; level < 300; ++level) nested += "<a x=\"/>\">";
    write_seed("tesira_import_fuzz", "quoted-nesting", nested + "</Blocks></Tesira>");
}

// Analyser reports: a sweep of channel 2 over a 4-ohm line as the impedance sweep reads
// it (its range cut into reads of 49 words), the DC resistances, a reply cut short, and
// values no measurement gives (NaN, infinities, the largest float, a denormal).
void analyser_seeds() {
    const auto seed = [](const nox::amp::param_range& range, int chunk_code, const std::vector<float>& values) {
        std::string bytes{static_cast<char>(range.block), static_cast<char>(range.first & 0xFF),
                          static_cast<char>(range.first >> 8), static_cast<char>(range.last >> 4),
                          static_cast<char>((range.last & 0x0F) << 4 | chunk_code)};
        for (const float v : values) bytes += words_text({nox::analyser::float_bits(v)});
        return bytes;
    };
    std::vector<float> sweep;
    for (int i = 0; i < nox::analyser::sweep_points; ++i) sweep.push_back(4.0f + 0.02f * i);
    for (int i = 0; i < nox::analyser::sweep_points; ++i) sweep.push_back(0.5f - 0.01f * i);
    write_seed("analyser_data_fuzz", "sweep", seed(nox::analyser::sweep_range(1), 6, sweep));
    write_seed("analyser_data_fuzz", "dc-resistance", seed(nox::analyser::dc_resistance_range(), 0, {3.5f, 4.5f, 5.5f, 6.5f}));
    write_seed("analyser_data_fuzz", "short-reply", seed(nox::analyser::sweep_range(3), 6, std::vector<float>(sweep.begin(), sweep.begin() + 49)));
    const float inf = std::numeric_limits<float>::infinity();
    write_seed("analyser_data_fuzz", "odd-values",
               seed(nox::analyser::cable_resistance_range(0), 15,
                    {std::numeric_limits<float>::quiet_NaN(), -inf, inf, std::numeric_limits<float>::max(),
                     -std::numeric_limits<float>::max(), std::numeric_limits<float>::denorm_min(), -0.0f}));
}

void json_seeds() {
    const char* const bodies[] = {
        R"({"method":"refresh","network_interface":"10.99.0.1"})",
        R"({"method":"sync","status":"start","direction":"get"})",
        R"({"method":"sync","status":"rollback","current_config":"/tmp/x","sync_request_id":"4"})",
        R"({"id":"3","name":"Hall A","gain":"-6.5","frame_type":"mira"})",
        R"({"id":"12","type":"frames","attr":"name"})",
        R"({ "id" : 7, "synced" : false, "note" : null, "x" : "a\u00e9\n\"b\"" })",
        R"({"method":"put_diffs","frame_id":"1","device_id":"0000abcd:00000001","flexi_desired_vpl":"10"})",
    };
    int n = 0;
    for (const char* body : bodies) write_seed("model_json_fuzz", "body-" + std::to_string(n++), body);
    nox::model m(42);
    m.set("name", "Stage \"left\" / <right>");
    m.set("tags", "a, b");
    write_seed("model_json_fuzz", "written", nox::to_json(m));
}

void project_seeds(const fs::path& source) {
    for (const char* file : {"data/template_configuration_orva.xml", "examples/example1.xml"}) {
        std::ifstream in(source / file, std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        write_seed("project_xml_fuzz", fs::path(file).filename().string(), text);
    }
    nox::project_store store;
    store.register_default_collections();
    nox::model frame(1);
    frame.set("frame_type", "mira");
    frame.set("name", " Stage & <left>\r\n");
    frame.set("channels", "1 2 3 4");
    frame.set("gain", "3.5");
    store.collection("frames").add(frame);
    for (int c = 1; c <= 4; ++c) {
        nox::model channel(c);
        channel.set("frame_id", "1");
        channel.set("name", "A.Out" + std::to_string(c));
        channel.set("flexi_desired_vpl", "10");
        store.collection("channels").add(channel);
    }
    write_seed("project_xml_fuzz", "saved-project.xml", store.serialise());
    // Import texts: the same project files, a new project, and a file name line.
    write_seed("config_import_fuzz", "saved-project.xml", store.serialise());
    for (const char* file : {"examples/example1.xml", "data/template_configuration_orva.xml"}) {
        std::ifstream in(source / file, std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        write_seed("config_import_fuzz", fs::path(file).filename().string(), text);
    }
    write_seed("config_import_fuzz", "empty-configuration", "empty configuration");
    write_seed("config_import_fuzz", "file-name", "Stage 2024.xml\n<configuration><settings><setting><id>1</id>"
                                                  "<filename>Stage 2024.xml</filename></setting></settings></configuration>");
}

void launcher_seeds() {
    write_seed("launcher_reply_fuzz", "version", nox::http::json_ok(R"({"version_str": "1.3.3.10303003"})"));
    write_seed("launcher_reply_fuzz", "frames",
               nox::http::json_ok(R"([{"id":"1","frame_type":"tesira","device_id":"AMP1","name":"A"},{"id":"2"}])"));
    write_seed("launcher_reply_fuzz", "request", nox::http::json_ok(R"({"id":"5","method":"refresh","status":"wait"})"));
    write_seed("launcher_reply_fuzz", "not-found", nox::http::json_not_found(""));
    const std::string whole = nox::http::json_ok(R"([{"id":"1","frame_type":"tesira","device_id":"AMP1"}])");
    write_seed("launcher_reply_fuzz", "partial", whole.substr(0, whole.size() - 10));
}

void quit_seeds() {
    for (const char* message : {"PING", "SIGINT", "HELLO"}) {
        fuzz_output out;
        out.byte(0);
        out.raw(message);
        write_seed("quit_message_fuzz", message, out.text());
    }
    fuzz_output pieces;
    pieces.byte(3);
    pieces.u16(511);
    pieces.u16(1);
    pieces.u16(512);
    pieces.raw(std::string(1500, 'x'));
    write_seed("quit_message_fuzz", "pieces", pieces.text());
}

void rest_seeds() {
    struct call {
        const char* method;
        const char* uri;
        const char* query;
        const char* body;
    };
    const std::vector<std::vector<call>> sessions = {
        {{"GET", "/frames", nullptr, ""}, {"GET", "/api/project_status", nullptr, ""}},
        {{"POST", "/frames", nullptr, R"({"name":"Hall","channel_names":"L R"})"},
         {"GET", "/frames/1/channels", "tags=x", ""},
         {"PUT", "/channels/2", nullptr, R"({"id":"2","gain":"3","frame_type":"mira"})"},
         {"DELETE", "/frames/1", nullptr, ""}},
        {{"POST", "/requests", nullptr, R"({"method":"refresh","network_interface":"10.99.0.1"})"},
         {"GET", "/requests/1", nullptr, ""}},
        {{"POST", "/api/job/register/", nullptr, R"({"method":"sync"})"},
         {"POST", "/api/job/start/", nullptr, R"({"id":"1","method":"sync","status":"start","direction":"get"})"}},
        {{"POST", "/api/subscribe/", nullptr, R"({"id":"1","type":"frames","attr":"name"})"},
         {"POST", "/zones", nullptr, R"({"name":"Foyer","tags":"a,b"})"},
         {"GET", "/zones", "name=Foyer,Hall%20A&tags=a", ""},
         {"GET", "/model zones/1", nullptr, ""}},
        {{"POST", "/api/mira_discovery_settings", nullptr, R"({"selected_ip":"10.99.0.1"})"},
         {"GET", "/api/examples/1", nullptr, ""},
         {"GET", "/frames/99999999999/channels", nullptr, ""}},
    };
    int n = 0;
    for (const auto& session : sessions) {
        fuzz_output out;
        for (const auto& c : session) {
            out.byte(c.query ? 1 : 0);
            out.chunk(c.method);
            out.chunk(c.uri);
            if (c.query) out.chunk(c.query);
            out.chunk(c.body);
        }
        write_seed("rest_request_fuzz", "session-" + std::to_string(n++), out.text());
    }
}

// A client frame as a browser sends it: FIN, opcode, masked payload.
std::string client_frame(int opcode, const std::string& payload, bool fin = true) {
    std::string frame;
    frame.push_back(static_cast<char>((fin ? 0x80 : 0) | opcode));
    const unsigned char mask[4] = {0x12, 0x34, 0x56, 0x78};
    if (payload.size() < 126) {
        frame.push_back(static_cast<char>(0x80 | payload.size()));
    } else if (payload.size() < 65536) {
        frame.push_back(static_cast<char>(0x80 | 126));
        frame.push_back(static_cast<char>(payload.size() >> 8));
        frame.push_back(static_cast<char>(payload.size()));
    } else {
        frame.push_back(static_cast<char>(0x80 | 127));
        for (int i = 7; i >= 0; --i) frame.push_back(static_cast<char>(static_cast<std::uint64_t>(payload.size()) >> (8 * i)));
    }
    frame.append(reinterpret_cast<const char*>(mask), 4);
    for (std::size_t i = 0; i < payload.size(); ++i) frame.push_back(static_cast<char>(payload[i] ^ mask[i % 4]));
    return frame;
}

void websocket_seeds() {
    write_seed("websocket_frames_fuzz", "text", client_frame(1, "hello"));
    write_seed("websocket_frames_fuzz", "ping-close", client_frame(9, "p") + client_frame(8, "\x03\xe8"));
    write_seed("websocket_frames_fuzz", "fragments", client_frame(1, "frag", false) + client_frame(0, "ment"));
    write_seed("websocket_frames_fuzz", "binary-16", client_frame(2, std::string(300, '\x01')));
    // A frame that announces 100 MB and brings a few bytes.
    std::string big = client_frame(2, "");
    big[1] = static_cast<char>(0x80 | 127);
    big.insert(2, std::string("\x00\x00\x00\x00\x05\xf5\xe1\x00", 8));
    write_seed("websocket_frames_fuzz", "announces-100MB", big + "abc");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
        return 2;
    }
    nox::log::instance().set_log_path("/dev/null");
    corpus_root = argv[1];
    const fs::path source = ORVA_SOURCE_DIR;
    amplifier_seeds();
    tesira_seeds();
    tesira_import_seeds(source);
    analyser_seeds();
    json_seeds();
    project_seeds(source);
    launcher_seeds();
    quit_seeds();
    rest_seeds();
    websocket_seeds();
    std::printf("seeds written to %s\n", corpus_root.c_str());
    return 0;
}
