// `nox::metrics_sink`: what the backend's areas report about their work, for the metrics
// that `GET /metrics` serves (docs/metrics.md). Each area reports with a one-line call on
// the process-wide sink, `nox::metrics()`; until the backend installs its sink (and in
// tests that install none) every report goes to a sink that does nothing.
//
// Only what happens is reported here. State that the project already holds (frames and
// channels with their monitoring data) or that the web server knows (WebSocket clients) is
// read when metrics are scraped, not reported.
//
// Thread safety: the reports may come from any thread at any time; implementations are
// thread-safe and never block for long (they run inside exchanges and request loops).
// `set_metrics` is called by the main thread before the threads that report start and
// after they have ended.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace nox {

class metrics_sink {
public:
    using duration = std::chrono::steady_clock::duration;

    virtual ~metrics_sink() = default;

    // One exchange with an amplifier of `family` ("mira", "tesira"): `ok` when it was
    // answered (a refusal by the amplifier is an answer), false when it failed.
    virtual void exchange(const std::string& /*family*/, bool /*ok*/) {}

    // A request was stored and queued under `id` (its time in the queue starts).
    virtual void request_posted(std::int32_t /*id*/) {}
    // A processing thread finished with request `id`: `status` is the status its handler
    // left, `requeued` whether it goes round the queue again (a waiting transaction). A
    // request that is not requeued has left the queue for good. `method` is the request's
    // method when the method table knows it, else "other".
    virtual void request_processed(std::int32_t /*id*/, const std::string& /*method*/,
                                   const std::string& /*status*/, bool /*requeued*/) {}

    // A monitoring cycle (one `sync` with `direction` "get_monitor") completed after `took`.
    virtual void monitoring_cycle(duration /*took*/) {}

    // The project file was written (`ok`) or could not be, after `took`.
    virtual void project_saved(duration /*took*/, bool /*ok*/) {}

    // A request from another host came with credentials that did not match.
    virtual void credentials_refused() {}
};

// The process-wide sink.
metrics_sink& metrics();
// Installs `sink` (which must outlive its use); nullptr restores the sink that does nothing.
void set_metrics(metrics_sink* sink);

}  // namespace nox
