#!/bin/sh
# Sets up the machine, builds Orva and runs every test. Tests that open amplifier sockets
# or start a backend run each in their own network namespace (scripts/sandbox.sh).
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
build_dir="${ORVA_BUILD_DIR:-build}"
cd "$build_dir"
ctest --output-on-failure -j "$(nproc)" "$@"
