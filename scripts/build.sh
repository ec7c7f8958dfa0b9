#!/bin/sh
# Configures and builds Orva into build/ (build/bin is the installation folder).
set -eu
cd "$(dirname "$0")/.."
build_dir="${ORVA_BUILD_DIR:-build}"
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE="${ORVA_BUILD_TYPE:-RelWithDebInfo}" >/dev/null
cmake --build "$build_dir" -j "$(nproc)"
