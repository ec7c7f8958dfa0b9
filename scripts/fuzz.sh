#!/bin/sh
# Runs the fuzz targets of a libFuzzer build (scripts/test.sh's fuzz stage builds one in
# build-fuzz/), each for a given time, starting from a scratch copy of its seed corpus so
# that what it adds stays out of the source tree. A target that crashes, times out or runs
# out of memory fails the run; its input is kept in <build>/fuzz-findings/.
#
#   scripts/fuzz.sh [seconds per target (15)] [target ...]     default: every target
#
# ORVA_FUZZ_BUILD_DIR (build-fuzz) names the build; ORVA_FUZZ_JOBS (the number of cores)
# how many targets run at once. Each target's log is <build>/fuzz-work/<target>.log.
# ORVA_FUZZ_SEED fixes libFuzzer's random seed (0, the default, lets it choose one): the
# test suite's short runs use a fixed seed, so that they try the same inputs on every
# run and a failure there is a regression, not a new finding; long runs explore with a
# new seed each time.
set -eu
cd "$(dirname "$0")/.."
seconds="${1:-15}"
[ $# -gt 0 ] && shift
build="${ORVA_FUZZ_BUILD_DIR:-build-fuzz}"
jobs="${ORVA_FUZZ_JOBS:-$(nproc)}"
targets="$*"
[ -n "$targets" ] || targets="$(ls "$build/fuzz" | grep '_fuzz$')"

mkdir -p "$build/fuzz-work" "$build/fuzz-findings"

run_one() {
  target="$1"
  work="$build/fuzz-work/$target"
  rm -rf "$work"
  mkdir -p "$work"
  cp tests/fuzz/corpus/"$target"/* "$work"/
  # 4 GiB: the WebSocket target's server may reserve (not fill) a buffer of up to 2 GiB
  # for a frame a client announces.
  # In the network sandbox: some targets play an amplifier or a server on a loopback port.
  if scripts/sandbox.sh "$build/fuzz/$target" -max_total_time="$seconds" -seed="${ORVA_FUZZ_SEED:-0}" -timeout=10 -rss_limit_mb=4096 \
      -malloc_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$build/fuzz-findings/$target-" \
      "$work" > "$work.log" 2>&1; then
    runs=$(grep -m1 'stat::number_of_executed_units' "$work.log" | awk '{print $2}')
    echo "$target: passed, $runs runs in ${seconds} s, corpus $(ls "$work" | wc -l) inputs"
  else
    echo "$target: FAILED (log: $work.log)"
    tail -n 40 "$work.log"
    return 1
  fi
}

failed=0
running=0
pids=""
for target in $targets; do
  run_one "$target" &
  pids="$pids $!"
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    for pid in $pids; do wait "$pid" || failed=1; done
    pids=""
    running=0
  fi
done
for pid in $pids; do wait "$pid" || failed=1; done
exit "$failed"
