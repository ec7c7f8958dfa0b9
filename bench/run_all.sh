#!/bin/sh
# Runs every benchmark at sizes that finish within about 15 minutes on a 2-core machine
# and writes the figures, each with its target and the command that produced it, to
# docs/performance.md (or the file given as the second argument).
#
#   bench/run_all.sh [build] [output]
#
# Needs a release build (scripts/build.sh). The benchmarks that open amplifier sockets or
# start the backend run inside the network sandbox (scripts/sandbox.sh, as root).
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
build=${1:-build}
out=${2:-docs/performance.md}
bench="$build/bench"
tmp=$(mktemp /tmp/orva-run-all.XXXXXX)
trap 'rm -f "$tmp"' EXIT
export ORVA_BIN_DIR="$here/$build/bin"

{
  echo "# Performance"
  echo
  echo "Written by \`bench/run_all.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC'): $(nproc) cores"
  echo "($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')), $(free -g | awk '/Mem:/ { print $2 }') GiB,"
  echo "load average $(cut -d' ' -f1-3 /proc/loadavg) at the start. Figures of a machine shared"
  echo "with other work are noisy; rerun on an idle machine before comparing small differences."
  echo
  echo "Each section gives the target, the command (from the repository's top folder) and"
  echo "what it printed."
} > "$tmp"

# section TITLE TARGET COMMAND...: runs the command, appends its output to the report.
section() {
  title=$1; target=$2; shift 2
  echo ">> $title: $*" >&2
  {
    echo
    echo "## $title"
    echo
    echo "Target: $target"
    echo
    echo '```'
    echo "\$ $*"
    "$@" 2>&1 || echo "(exited with $?)"
    echo '```'
  } >> "$tmp"
}

sandbox=scripts/sandbox.sh

section "Monitoring, 64 amplifiers" \
  "processor use <= 5 % of one core, resident memory <= 24 MB; log growth reported" \
  $sandbox bench/monitor/backend_monitor.sh "$build" 64 60 0
section "Monitoring, 64 amplifiers of which 8 silent" \
  "the live amplifiers' cycle stays at about one second" \
  $sandbox bench/monitor/backend_monitor.sh "$build" 64 60 8
section "Monitoring, 256 amplifiers" \
  "cycle period <= 1.2 s, processor use <= 20 %, resident memory <= 48 MB; log growth reported" \
  $sandbox bench/monitor/backend_monitor.sh "$build" 256 60 0
section "Monitoring, 256 amplifiers of which 8 silent" \
  "cycle period <= 1.2 s for the live amplifiers" \
  $sandbox bench/monitor/backend_monitor.sh "$build" 256 60 8
section "Monitoring in-process: cycle period, exchanges per cycle, age of live data with 8 silent" \
  "age max <= 1.2 s for the 56 answering amplifiers" \
  $sandbox "$bench/monitor_bench" monitor 64 30 8
section "Mira exchange round trip and processor time per exchange" \
  "reported" \
  $sandbox "$bench/amp_transport_bench" 10000
section "Download of 64 amplifiers" \
  "reported" \
  $sandbox "$bench/monitor_bench" download 64
section "Download and upload of one amplifier" \
  "reported" \
  $sandbox "$bench/frame_transfer_bench" 10
section "REST throughput against a static file of the same size" \
  "GET /frames at least half the rate of civetweb's own static file" \
  $sandbox "$bench/bench_rest_throughput"
section "REST round trip of a request" \
  "p50/p99 reported" \
  $sandbox "$bench/bench_request_roundtrip"
section "WebSocket fan-out" \
  "every notification delivered to every client; latency reported" \
  $sandbox "$bench/bench_websocket_fanout"
section "Project save and load, 500 frames and 2,000 channels" \
  "reported" \
  "$bench/store_bench" 3
section "Project import and export, 500 frames and 2,000 channels" \
  "reported" \
  "$bench/project_file_bench" 3
section "Start and stop with 500 frames" \
  "first answer on GET / <= 300 ms after the start; SIGINT to exit <= 1 s, project saved" \
  $sandbox bench/core/start_stop.sh "$build" 3
section "Idle memory" \
  "reported" \
  bench/core/idle_rss.sh "$build"

mkdir -p "$(dirname "$out")"
cp "$tmp" "$out"
echo "wrote $out" >&2
