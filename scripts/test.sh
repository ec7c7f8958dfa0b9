#!/bin/sh
# Sets up the machine, builds Orva and runs every test. Tests that open amplifier sockets
# or start a backend run each in their own network namespace (scripts/sandbox.sh).
#
# The run is made of stages, all of them by default, in this order. ORVA_TEST_STAGES (a
# blank-separated list) runs only some of them, for a quicker check during development:
#   main   the release build (build/) and every CTest test, the corpus replays of the
#          fuzz targets included
#   crash  the backend killed with SIGKILL 20 times during a stream of writes and saves
#          (ORVA_CRASH_KILLS); the project file and lock file are checked after each kill
#   load   30 seconds of WebSocket clients and REST requests against a backend that
#          monitors 32 simulated amplifiers (ORVA_LOAD_SECONDS); fails when a goal is missed
#   asan   every CTest test again, built with clang under AddressSanitizer and
#          UndefinedBehaviorSanitizer (build-asan/)
#   tsan   the tests that exercise threads under ThreadSanitizer (build-tsan/)
#   fuzz   every fuzz target for ORVA_FUZZ_SECONDS (15) seconds from its seed corpus with
#          the fixed seed ORVA_FUZZ_SEED (1),
#          built with clang, libFuzzer, ASan and UBSan (build-fuzz/)
#   tsa    the programs and their libraries compiled by clang with its thread-safety
#          analysis, warnings as errors (-Wthread-safety -Werror, build-tsa/; nothing runs)
# Extra arguments are passed to ctest in the main stage. Each stage prints its duration.
set -eu
cd "$(dirname "$0")/.."
stages="${ORVA_TEST_STAGES:-all}"
wants() { case " $stages " in *" all "*|*" $1 "*) return 0 ;; *) return 1 ;; esac; }
jobs="$(nproc)"

stage_started=0
begin_stage() {
  stage_started=$(date +%s)
  echo "=== stage $1"
}
end_stage() {
  echo "=== stage $1 passed in $(( $(date +%s) - stage_started )) s"
}

# configure_sanitized <build folder> <sanitizers> [more cmake arguments...]: a clang build
# with line tables only, so that reports name files and lines while the build stays quick.
configure_sanitized() {
  folder="$1"
  sanitizers="$2"
  shift 2
  CC=clang-14 CXX=clang++-14 cmake -S . -B "$folder" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -gline-tables-only" \
    "-DORVA_SANITIZE=$sanitizers" "$@" >/dev/null
}

export ASAN_SYMBOLIZER_PATH=/usr/bin/llvm-symbolizer-14
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}"

scripts/setup.sh

build_dir="${ORVA_BUILD_DIR:-build}"
if wants main || wants crash || wants load; then
  begin_stage build
  scripts/build.sh
  end_stage build
fi

if wants main; then
  begin_stage main
  (cd "$build_dir" && ctest --output-on-failure -j "$jobs" "$@")
  end_stage main
fi

if wants crash; then
  begin_stage crash
  ORVA_BIN_DIR="$PWD/$build_dir/bin" scripts/sandbox.sh "$build_dir/tests/crash_safety_test" \
    --kills "${ORVA_CRASH_KILLS:-20}"
  end_stage crash
fi

if wants load; then
  begin_stage load
  ORVA_BIN_DIR="$PWD/$build_dir/bin" scripts/sandbox.sh "$build_dir/bench/orva_load" \
    --seconds "${ORVA_LOAD_SECONDS:-30}" --check
  end_stage load
fi

if wants asan; then
  begin_stage asan
  configure_sanitized build-asan address,undefined -DORVA_BENCH=OFF
  cmake --build build-asan -j "$jobs"
  (cd build-asan && ctest --output-on-failure -j "$jobs")
  end_stage asan
fi

if wants tsan; then
  begin_stage tsan
  # The request engine and transactor, the monitor thread, the WebSocket hub and
  # notifier, the registry rebuild and the synchronisation handlers.
  tsan_tests="requests_unit_test monitor_unit_test api_unit_test model_test sync_unit_test handlers_unit_test"
  configure_sanitized build-tsan thread
  # shellcheck disable=SC2086
  cmake --build build-tsan -j "$jobs" --target $tsan_tests
  (cd build-tsan && ctest --output-on-failure -j "$jobs" -R "^($(echo $tsan_tests | tr ' ' '|'))\$")
  end_stage tsan
fi

if wants fuzz; then
  begin_stage fuzz
  configure_sanitized build-fuzz address,undefined -DORVA_FUZZ=ON
  cmake --build build-fuzz -j "$jobs" --target orva_fuzz_targets
  ORVA_FUZZ_SEED="${ORVA_FUZZ_SEED:-1}" scripts/fuzz.sh "${ORVA_FUZZ_SECONDS:-15}"
  end_stage fuzz
fi

if wants tsa; then
  begin_stage tsa
  # The lock annotations (common/platform/thread_annotations.h) mean something to clang
  # only: every guarded member used without its lock, every function called without the
  # lock it requires (or with one it excludes) fails the build.
  CC=clang-14 CXX=clang++-14 cmake -S . -B build-tsa -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-O0 \
    "-DCMAKE_CXX_FLAGS=-Wthread-safety -Werror" >/dev/null
  cmake --build build-tsa -j "$jobs" --target orva_backend orva_cmdline orva_ui orva_mira_sim orva_tesira_sim
  end_stage tsa
fi
