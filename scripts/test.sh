#!/bin/sh
# Sets up the machine, builds Orva and runs every test. Tests that open amplifier sockets
# or start a backend run each in their own network namespace (scripts/sandbox.sh).
#
# The run is made of stages, all of them by default. ORVA_TEST_STAGES (a blank-separated
# list) runs only some of them, for a quicker check during development:
#   main   the release build and every CTest test
# Extra arguments are passed to ctest in the main stage.
set -eu
cd "$(dirname "$0")/.."
stages="${ORVA_TEST_STAGES:-all}"
wants() { case " $stages " in *" all "*|*" $1 "*) return 0 ;; *) return 1 ;; esac; }

scripts/setup.sh

if wants main; then
  scripts/build.sh
  build_dir="${ORVA_BUILD_DIR:-build}"
  (cd "$build_dir" && ctest --output-on-failure -j "$(nproc)" "$@")
fi
