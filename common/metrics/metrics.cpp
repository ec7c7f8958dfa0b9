#include "common/metrics/metrics.h"

#include <atomic>

namespace nox {

namespace {

metrics_sink no_metrics;
std::atomic<metrics_sink*> current{&no_metrics};

}  // namespace

metrics_sink& metrics() { return *current.load(std::memory_order_acquire); }

void set_metrics(metrics_sink* sink) { current.store(sink ? sink : &no_metrics, std::memory_order_release); }

}  // namespace nox
