#!/bin/sh
# Monitoring in the real orva_backend process: AMPS simulated Mira amplifiers in one
# simulator process, a project with one associated frame per amplifier, the backend left
# to monitor them for SECONDS. Prints the backend's processor use (its own utime + stime),
# its resident memory, the monitoring cycles it completed and the log's growth.
#
#   scripts/sandbox.sh bench/monitor/backend_monitor.sh [build] [amps] [seconds] [silent] [warm-up]
#
# The measurement starts once the backend has begun monitoring and then `warm-up` more
# seconds (default 5) have passed: with silent amplifiers the start-up takes a few
# seconds per silent amplifier while their devices are built.
#
# Must run inside the network sandbox (the amplifiers answer on 10.99.0.1).
set -eu
build=${1:-build}
amps=${2:-64}
seconds=${3:-30}
silent=${4:-0}
warmup=${5:-5}
bin=$(cd "$build/bin" && pwd)

home=$(mktemp -d /tmp/orva-backend-monitor.XXXXXX)
data="$home/Orva"
mkdir -p "$data"
cleanup() {
  [ -n "${backend:-}" ] && kill "$backend" 2>/dev/null || true
  [ -n "${sim_pid:-}" ] && kill "$sim_pid" 2>/dev/null || true
  if [ -n "${KEEP_LOG:-}" ]; then cp "$data/orva.log" "$KEEP_LOG"; fi
  rm -rf "$home"
}
trap cleanup EXIT INT TERM

id_of() { printf '00000000:%08x' "$1"; }

# The project: one Mira frame with four channels per amplifier, the sandbox interface chosen.
{
  printf '<?xml version="1.0" encoding="utf-8"?>\n<configuration>'
  printf '<settings><setting><id>1</id><selected_interface>10.99.0.1</selected_interface></setting></settings>'
  printf '<frames>'
  i=1
  while [ "$i" -le "$amps" ]; do
    c=$(( (i - 1) * 4 + 1 ))
    printf '<frame><id>%d</id><frame_type>mira</frame_type><name>Amp %d</name><device_id>%s</device_id>' "$i" "$i" "$(id_of "$i")"
    printf '<module_class>2</module_class><channels>%d %d %d %d</channels></frame>' "$c" $((c + 1)) $((c + 2)) $((c + 3))
    i=$((i + 1))
  done
  printf '</frames><channels>'
  i=1
  while [ "$i" -le "$amps" ]; do
    k=0
    while [ "$k" -lt 4 ]; do
      printf '<channel><id>%d</id><frame_id>%d</frame_id><frame_type>mira</frame_type><device_id>%s</device_id><name>Ch%d</name></channel>' \
        $(( (i - 1) * 4 + k + 1 )) "$i" "$(id_of "$i")" $((k + 1))
      k=$((k + 1))
    done
    i=$((i + 1))
  done
  printf '</channels></configuration>\n'
} > "$data/configuration_orva.xml"

# The simulator, fed its control commands through a pipe that stays open.
sim_args=""
i=1
while [ "$i" -le "$amps" ]; do sim_args="$sim_args --amp $(id_of "$i")"; i=$((i + 1)); done
fifo="$home/sim.in"
mkfifo "$fifo"
# shellcheck disable=SC2086
"$bin/orva_mira_sim" --control $sim_args < "$fifo" > "$home/sim.out" 2>&1 &
sim_pid=$!
exec 3> "$fifo"
i=1
while [ "$i" -le "$silent" ]; do echo "fault $(id_of "$i") silent" >&3; i=$((i + 1)); done

# No rotation during the run, so that the log's growth is its size difference.
ORVA_LOG_MAX_BYTES=4294967296 XDG_DATA_HOME="$home" "$bin/orva_backend" > "$home/backend.out" 2>&1 &
backend=$!
# Start-up: wait for the first monitoring read, then the warm-up.
i=0
while [ "$i" -lt 600 ] && ! grep -q 'Fetching monitor data' "$data/orva.log" 2>/dev/null; do
  sleep 0.5; i=$((i + 1))
done
sleep "$warmup"

ticks=$(getconf CLK_TCK)
cpu() { awk '{ print $14 + $15 }' "/proc/$backend/stat"; }
cycles() { grep -c 'Fetching monitor data' "$data/orva.log" || true; }
log_size() { stat -c %s "$data/orva.log" 2>/dev/null || echo 0; }
cpu0=$(cpu); reads0=$(cycles); log0=$(log_size); t0=$(date +%s.%N)
sleep "$seconds"
cpu1=$(cpu); reads1=$(cycles); log1=$(log_size); t1=$(date +%s.%N)
rss=$(awk '/VmRSS/ { print $2 }' "/proc/$backend/status")

awk -v c0="$cpu0" -v c1="$cpu1" -v t0="$t0" -v t1="$t1" -v hz="$ticks" -v r0="$reads0" -v r1="$reads1" \
    -v amps="$amps" -v silent="$silent" -v rss="$rss" -v l0="$log0" -v l1="$log1" 'BEGIN {
  wall = t1 - t0; cpu = (c1 - c0) / hz;
  printf "orva_backend monitoring %d amplifiers (%d silent) for %.1f s\n", amps, silent, wall;
  printf "  processor use: %.2f%% of one core (%.2f s)\n", 100 * cpu / wall, cpu;
  printf "  resident memory: %d KiB\n", rss;
  printf "  frame reads: %d, %.2f cycles per second\n", r1 - r0, (r1 - r0) / amps / wall;
  if (r1 > r0) printf "  cycle period: %.3f s\n", amps * wall / (r1 - r0);
  printf "  log growth: %.1f KiB/s\n", (l1 - l0) / 1024 / wall;
}'
t_stop=$(date +%s.%N)
kill -TERM "$backend"
wait "$backend" 2>/dev/null || true
awk -v a="$t_stop" -v b="$(date +%s.%N)" 'BEGIN { printf "  shutdown took %.2f s\n", b - a }'
backend=""
