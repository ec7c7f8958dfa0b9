#!/bin/sh
# Sets up the machine, builds Orva and runs the backend from its installation folder
# (build/bin). With simulated amplifiers available (ORVA_SIMULATORS=0 turns them off),
# they are started beside it for a try-out. Stop with Ctrl-C.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
bin="$(pwd)/${ORVA_BUILD_DIR:-build}/bin"
pids=""
cleanup() { for p in $pids; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT INT TERM
if [ "${ORVA_SIMULATORS:-1}" != 0 ] && [ -x "$bin/orva_mira_sim" ]; then
  "$bin/orva_mira_sim" --demo &
  pids="$pids $!"
fi
echo "Orva backend: http://127.0.0.1:8080/"
"$bin/orva_backend"
