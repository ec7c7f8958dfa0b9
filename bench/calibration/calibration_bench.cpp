// Load-monitoring procedures against simulated Mira amplifiers, with the backend's own
// request machinery in this process (bench/common/monitor_rig.h) and the production
// calibration environment (real pauses: 2 s after the tones, 4 s after the start, 2 s per
// completion poll, 500 ms per analyser poll).
//
//   scripts/sandbox.sh build/bench/calibration_bench time [rounds] [calibration polls] [analyser polls]
//       wall time of one pilot-tone calibration and of one impedance sweep, each posted
//       as a request and followed to its final status (the simulator finishes a
//       calibration on the given poll, 3 by default, and an analyser command on the given
//       poll, 2 by default)
//   scripts/sandbox.sh build/bench/calibration_bench monitoring [amps] [seconds] [procedure]
//       monitoring of `amps` amplifiers while amplifier 1 runs sweeps (procedure "sweep",
//       the default), pilot-tone calibrations ("ptg2") or nothing ("none") back to back:
//       how old the other amplifiers' monitoring data gets between two reads (p50, max)
#include "backend/calibration/calibration_handlers.h"
#include "bench/common/monitor_rig.h"
#include "tools/mira_sim/sim_client.h"

#include <cstdio>

namespace {

using namespace orva_bench;
using namespace std::chrono_literals;

// The rig with the calibration handlers, recording when each of their requests ends.
class calibration_rig {
public:
    explicit calibration_rig(int amps)
        : rig_(amps, [this](nox::request_engine& engine, nox::device_registry& registry) {
              service_ = std::make_unique<nox::calibration_service>(registry);
              service_->register_handlers(engine.methods());
              const nox::request_handler calibrate = *engine.methods().find("calibrate", "wait");
              engine.methods().set_handler("calibrate", "wait", [this, calibrate](nox::model& r, nox::request_engine& e) {
                  calibrate(r, e);
                  {
                      std::lock_guard lock(mutex_);
                      finished_[r.get("bench_run")] = r.get("status") + " " + r.get("error");
                  }
                  done_.notify_all();
              });
          }) {
        for (int k = 0; k < 4; ++k) {
            nox::model change(rig_.channels_of(0).at(std::size_t(k)));
            change.set("t1_cable_resistance", "0.8");
            rig_.store().collection("channels").update(change);
        }
    }
    ~calibration_rig() {
        if (service_) service_->stop();
    }

    // Posts a calibration of amplifier 1's channel 2 and waits for its end; returns the
    // wall time in seconds (negative when it failed).
    double run(const std::string& type) {
        nox::model r;
        r.set("method", "calibrate");
        r.set("calibration_type", type);
        r.set("device_id", amp_id(0));
        r.set("frame_id", "1");
        r.set("channel_id", std::to_string(rig_.channels_of(0).at(1)));
        // Request ids are reused once `requests` has been emptied: runs are told apart by
        // a mark of their own.
        const std::string id = std::to_string(++runs_);
        r.set("bench_run", id);
        const auto t0 = clock_type::now();
        rig_.engine().post_request(r);
        std::unique_lock lock(mutex_);
        done_.wait_for(lock, 300s, [&] { return finished_.count(id) != 0; });
        const double seconds = std::chrono::duration<double>(clock_type::now() - t0).count();
        const std::string outcome = finished_.count(id) ? finished_[id] : "no end";
        if (outcome.rfind("done", 0) == 0) return seconds;
        std::fprintf(stderr, "%s failed: %s\n", type.c_str(), outcome.c_str());
        return -seconds;
    }

    rig& base() { return rig_; }

private:
    std::unique_ptr<nox::calibration_service> service_;
    std::mutex mutex_;
    std::condition_variable done_;
    std::map<std::string, std::string> finished_;  // by run mark
    int runs_ = 0;
    rig rig_;  // last: its threads stop first
};

int time_procedures(int rounds, int calibration_polls, int analyser_polls) {
    mira_sim::sim_client sim(mira_sim::sim_client::default_program(), sim_arguments(1));
    sim.expect_ok("calibration " + amp_id(0) + " " + std::to_string(calibration_polls));
    sim.expect_ok("analyser " + amp_id(0) + " " + std::to_string(analyser_polls));
    calibration_rig r(1);
    for (const std::string type : {"ptg2", "sweep"}) {
        std::vector<double> times;
        for (int i = 0; i < rounds; ++i) times.push_back(r.run(type));
        const auto [low, high] = std::minmax_element(times.begin(), times.end());
        std::printf("%-6s %d runs: p50 %.3f s, min %.3f s, max %.3f s (exchanges so far %ld)\n", type.c_str(), rounds,
                    percentile(times, 0.5), *low, *high, r.base().transport().exchanges.load());
    }
    std::printf("(calibration finishes on poll %d, analyser commands on poll %d)\n", calibration_polls,
                analyser_polls);
    return 0;
}

int monitoring(int amps, int seconds, const std::string& procedure) {
    mira_sim::sim_client sim(mira_sim::sim_client::default_program(), sim_arguments(amps));
    sim.expect_ok("calibration " + amp_id(0) + " 3");
    calibration_rig r(amps);
    r.base().start_monitor();
    std::this_thread::sleep_for(5s);
    const auto t0 = clock_type::now();
    const auto end = t0 + std::chrono::seconds(seconds);
    int runs = 0;
    double busy = 0;
    if (procedure == "none") {
        std::this_thread::sleep_until(end);
    } else {
        while (clock_type::now() < end) {
            busy += std::abs(r.run(procedure));
            ++runs;
        }
    }
    const double wall = std::chrono::duration<double>(clock_type::now() - t0).count();
    std::vector<double> others, swept;
    for (const auto& [device, times] : r.base().reads()) {
        auto& into = device == amp_id(0) ? swept : others;
        for (size_t i = 1; i < times.size(); ++i)
            if (times[i] >= t0) into.push_back(std::chrono::duration<double>(times[i] - times[i - 1]).count());
    }
    std::printf("monitoring %d amplifiers for %.1f s while amplifier 1 runs %s: %d runs, %.1f s busy\n", amps, wall,
                procedure.c_str(), runs, busy);
    std::printf("  age of the other amplifiers' monitoring data: p50 %.3f s, max %.3f s (%zu reads)\n",
                percentile(others, 0.5), percentile(others, 1.0), others.size());
    std::printf("  age of amplifier 1's monitoring data: p50 %.3f s, max %.3f s (%zu reads)\n", percentile(swept, 0.5),
                percentile(swept, 1.0), swept.size());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string what = argc > 1 ? argv[1] : "time";
    const auto arg = [&](int i, int fallback) { return argc > i ? std::max(1, std::atoi(argv[i])) : fallback; };
    if (what == "time") return time_procedures(arg(2, 3), arg(3, 3), arg(4, 2));
    if (what == "monitoring") return monitoring(arg(2, 16), arg(3, 30), argc > 4 ? argv[4] : "sweep");
    std::fprintf(stderr,
                 "usage: calibration_bench time [rounds] [calibration polls] [analyser polls]\n"
                 "       calibration_bench monitoring [amps] [seconds] [sweep|ptg2|none]\n");
    return 2;
}
