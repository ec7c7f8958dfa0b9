#!/bin/sh
# Runs every benchmark at sizes that finish within about 15 minutes on a 2-core machine
# and writes the report to docs/performance.md (or the file given as the second argument):
# a summary table (figure, target, measured, what it is compared with, command) taken
# from the runs, then each run's output under its command and target, then the profile
# findings kept in bench/where_the_time_goes.md.
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
work=$(mktemp -d /tmp/orva-run-all.XXXXXX)
trap 'rm -rf "$work"' EXIT
export ORVA_BIN_DIR="$here/$build/bin"
started=$(date +%s)
load_start=$(cut -d' ' -f1-3 /proc/loadavg)
echo "load average at the start: $load_start" >&2

: > "$work/sections"
: > "$work/summary"

# section TITLE TARGET COMMAND...: runs the command and appends its output to the report;
# the rows that follow take their figures from this output.
section() {
  title=$1; target=$2; shift 2
  command="$*"
  echo ">> $title: $command" >&2
  "$@" > "$work/last" 2>&1 || echo "(exited with $?)" >> "$work/last"
  {
    echo
    echo "## $title"
    echo
    echo "Target: $target"
    echo
    echo '```'
    echo "\$ $command"
    cat "$work/last"
    echo '```'
  } >> "$work/sections"
}

# pick SED: what the sed script (run with -n -E on the last section's output) prints
# first, runs of blanks made one.
pick() { sed -n -E "$1" "$work/last" | head -n 1 | tr -s ' '; }

# row FIGURE TARGET PEER SED [PEER-SED]: a summary row whose measured value is what SED
# picks ("see below" when nothing); the peer column is PEER, or what PEER-SED picks.
row() {
  measured=$(pick "$4")
  [ -n "$measured" ] || measured="see below"
  peer=$3
  [ "$#" -lt 5 ] || peer=$(pick "$5")
  printf '| %s | %s | %s | %s | `%s` |\n' "$1" "$2" "$measured" "$peer" "$command" >> "$work/summary"
}

sandbox=scripts/sandbox.sh
num='[0-9.]+'

section "Monitoring, 64 amplifiers" \
  "processor use <= 5 % of one core, resident memory <= 24 MB; log growth reported" \
  $sandbox bench/monitor/backend_monitor.sh "$build" 64 45 0
row "Monitoring 64 amplifiers: processor use" "<= 5 % of one core" "" "s/.*processor use: ($num%).*/\1/p"
row "Monitoring 64 amplifiers: resident memory" "<= 24 MB" "" "s/.*resident memory: ([0-9]+) KiB.*/\1 KiB/p"
row "Monitoring 64 amplifiers: cycle period" "about 1 s" "" "s/.*cycle period: ($num s).*/\1/p"
row "Monitoring 64 amplifiers: log growth" "reported" "" "s/.*log growth: ($num KiB\/s).*/\1/p"

section "Monitoring, 64 amplifiers of which 8 silent" \
  "the live amplifiers' cycle stays at about one second" \
  $sandbox bench/monitor/backend_monitor.sh "$build" 64 45 8
row "Monitoring 64 with 8 silent: cycle period" "about 1 s" "" "s/.*cycle period: ($num s).*/\1/p"

section "Monitoring, 256 amplifiers" \
  "cycle period <= 1.2 s, processor use <= 20 %, resident memory <= 48 MB; log growth reported" \
  $sandbox bench/monitor/backend_monitor.sh "$build" 256 45 0
row "Monitoring 256 amplifiers: processor use" "<= 20 % of one core" "" "s/.*processor use: ($num%).*/\1/p"
row "Monitoring 256 amplifiers: resident memory" "<= 48 MB" "" "s/.*resident memory: ([0-9]+) KiB.*/\1 KiB/p"
row "Monitoring 256 amplifiers: cycle period" "<= 1.2 s" "" "s/.*cycle period: ($num s).*/\1/p"
row "Shutdown while monitoring 256 amplifiers" "<= 1 s" "" "s/.*shutdown took ($num s).*/\1/p"

section "Monitoring, 256 amplifiers of which 8 silent" \
  "cycle period <= 1.2 s for the live amplifiers" \
  $sandbox bench/monitor/backend_monitor.sh "$build" 256 45 8
row "Monitoring 256 with 8 silent: cycle period" "<= 1.2 s" "" "s/.*cycle period: ($num s).*/\1/p"

section "Monitoring in-process: cycle period, exchanges per cycle, age of live data with 8 silent" \
  "age max <= 1.2 s for the 56 answering amplifiers" \
  $sandbox "$bench/monitor_bench" monitor 64 30 8
row "Monitoring 64 with 8 silent: age of the live amplifiers' data" "max <= 1.2 s" "" \
  "s/.*between reads: (p50 $num s, max $num s).*/\1/p"

section "Mira exchange round trip against a bare UDP ping-pong, and processor time per exchange" \
  "reported; the Mira exchange beside the bare UDP round trip of the same network" \
  $sandbox "$bench/amp_transport_bench" 10000
row "Mira text exchange round trip (one port kept)" "reported" "" \
  "s/.*, [0-9]+ each: p50 ($num us) against $num us \(x$num\), p99 ($num us) against.*/p50 \1, p99 \2/p" \
  "s/.*, ([0-9]+) each: p50 $num us against ($num us) \(x($num)\), p99 $num us against ($num us) \(x($num)\).*/bare UDP ping-pong, \1 exchanges each: p50 \2, p99 \4 (Mira x\3, x\5)/p"
row "Processor time of a silent exchange (four tries)" "reported" "" \
  "s/.*Dev\.Power\?.*cpu=($num ms) per exchange.*/\1/p"

section "Tesira exchange round trip" \
  "reported" \
  $sandbox "$bench/tesira_bench" 5000
row "Tesira \`get\` round trip, 5,000" "reported" "" "s/^get ampName +(p50 +$num us) +(p99 +$num us).*/\1, \2/p"
row "Tesira \`peek\` of 56 words round trip, 5,000" "reported" "" \
  "s/^peek 56 words.* (p50 +$num us) +(p99 +$num us).*/\1, \2/p"

section "Download of 64 amplifiers" \
  "reported" \
  $sandbox "$bench/monitor_bench" download 64
row "Download of 64 amplifiers" "reported" "" "s/^download of 64 amplifiers: [a-z]+, [^,]+, (.*)/\1/p"

section "Upload of 64 amplifiers" \
  "reported" \
  $sandbox "$bench/monitor_bench" upload 64
row "Upload of 64 amplifiers" "reported" "download of 64, above" "s/^upload of 64 amplifiers: [a-z]+, [^,]+, (.*)/\1/p"

section "Resident memory over 1,000 downloads of 8 amplifiers" \
  "resident memory after 1,000 downloads within 2 MB of that after the first 10" \
  $sandbox "$bench/monitor_bench" memory 8 1000
row "Resident memory, 1,000 downloads of 8 amplifiers" "within 2 MB of after 10" "after the first 10" \
  "s/.*memory ([0-9]+ KiB after [0-9]+, [0-9]+ KiB after [0-9]+, growth [-+0-9]+ KiB).*/\1/p"

section "Download and upload of one amplifier" \
  "reported" \
  $sandbox "$bench/frame_transfer_bench" 10

section "Start with 64 frames of which 8 silent, and REST during a device-registry rebuild" \
  "GET / and GET /frames answered <= 300 ms after the start; REST p99 <= 20 ms during a rebuild" \
  $sandbox "$bench/bench_start_rebuild" 3
row "Start to first \`GET /\`, 64 frames, 8 silent" "<= 300 ms" "" "s/.*first answer on GET \/: +median ($num ms).*/\1/p"
row "Start to first \`GET /frames\`, 64 frames, 8 silent" "<= 300 ms" "" \
  "s/.*first answer on GET \/frames: +median ($num ms).*/\1/p"
row "REST GETs during a device-registry rebuild" "p99 <= 20 ms" "" \
  "s/^REST GETs during it: .*latency (p50 $num ms, p99 $num ms, max $num ms).*/\1/p"
row "SIGINT to exit during the start's device-registry rebuild" "<= 1 s" "after the rebuild" \
  "s/^SIGINT to exit during the start's rebuild: (median $num ms).*/\1/p" \
  "s/^SIGINT to exit after the rebuild: (median $num ms).*/\1 after the rebuild/p"

section "REST throughput against a static file of the same size" \
  "GET /frames at least half the rate of civetweb's own static file" \
  $sandbox "$bench/bench_rest_throughput"
row "REST \`GET /frames\`, 100 frames: requests per second" ">= half the static file's rate" \
  "civetweb's static file of the same size" "s/^API \/ static +($num) \(($num against $num req\/s);.*/\2 (ratio \1)/p"

section "REST round trip of a request" \
  "p50/p99 reported" \
  $sandbox "$bench/bench_request_roundtrip"
row "REST \`POST /requests\` to its final status" "reported" "" "s/^POST to final status +(p50 $num ms +p99 $num ms).*/\1/p"

section "WebSocket fan-out" \
  "every notification delivered to every client; latency reported" \
  $sandbox "$bench/bench_websocket_fanout"
row "WebSocket fan-out, 50 clients x 1,000 notifications" "every one delivered" "" \
  "s/^deliveries +([0-9]+ of [0-9]+).*/\1 delivered/p"

section "Project save and load, 500 frames and 2,000 channels" \
  "reported" \
  "$bench/store_bench" 3
row "Project save, 500 frames and 2,000 channels" "reported" "" "s/^save .*median ($num ms).*/\1/p"
row "Project load, 500 frames and 2,000 channels" "reported" "" "s/^load .*median ($num ms).*/\1/p"

section "Project import and export, 500 frames and 2,000 channels" \
  "reported" \
  "$bench/project_file_bench" 3

section "Start and stop with 500 frames" \
  "first answer on GET / <= 300 ms after the start; SIGINT to exit <= 1 s, project saved" \
  $sandbox bench/core/start_stop.sh "$build" 3
row "Start to first \`GET /\`, 500 frames" "<= 300 ms" "" "s/.*first answer on GET \/: +median ($num ms).*/\1/p"
row "Start to first \`GET /frames\`, 500 frames" "reported" "" "s/.*first answer on GET \/frames: +median ($num ms).*/\1/p"
row "SIGINT to exit, 500 frames, project saved" "<= 1 s" "" "s/^SIGINT to exit: +median ($num ms).*/\1/p"

section "Idle memory" \
  "reported" \
  bench/core/idle_rss.sh "$build"
row "Idle backend, no project: resident memory" "reported" "" "s/^VmRSS:[[:space:]]+([0-9]+ kB).*/\1/p"

minutes=$(( ($(date +%s) - started + 59) / 60 ))
load_end=$(cut -d' ' -f1-3 /proc/loadavg)
{
  echo "# Performance"
  echo
  echo "Written by \`bench/run_all.sh $build\` on $(date -u '+%Y-%m-%d %H:%M UTC') in $minutes minutes: $(nproc) cores"
  echo "($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')), $(free -g | awk '/Mem:/ { print $2 }') GiB,"
  echo "load average $load_start at the start and $load_end at the end. Figures of a machine"
  echo "shared with other work are noisy; rerun on an idle machine before comparing small"
  echo "differences. Commands run from the repository's top folder."
  echo
  echo "| Figure | Target | Measured | Compared with | Command |"
  echo "|---|---|---|---|---|"
  cat "$work/summary"
  echo
  echo "Each section below gives the target, the command and all it printed."
  cat "$work/sections"
  echo
  cat bench/where_the_time_goes.md
} > "$work/report"

mkdir -p "$(dirname "$out")"
cp "$work/report" "$out"
echo "wrote $out in $minutes minutes; load average $load_start at the start, $load_end at the end" >&2
