#!/bin/sh
# Resident memory of an idle backend: starts build/bin/orva_backend inside the network
# sandbox with a fresh data folder, waits until it has settled, prints VmRSS and VmHWM,
# and stops it through its quit port.
#
#   bench/core/idle_rss.sh [build-folder] [project-file]
# With a project file, the backend starts with that project loaded.
set -eu
here="$(cd "$(dirname "$0")/../.." && pwd)"
bin="${1:-$here/build}/bin"
project="${2:-}"
data="$(mktemp -d)"
trap 'rm -rf "$data"' EXIT
mkdir -p "$data/Orva"
[ -n "$project" ] && cp "$project" "$data/Orva/configuration_orva.xml"
XDG_DATA_HOME="$data" "$here/scripts/sandbox.sh" sh -c '
  "$1/orva_backend" >/dev/null &
  pid=$!
  sleep 3
  grep -E "VmRSS|VmHWM|Threads" /proc/$pid/status
  python3 -c "import socket; s=socket.create_connection((\"127.0.0.1\",27027)); s.sendall(b\"SIGINT\"); print(\"quit port:\", s.recv(16).decode())"
  wait $pid' sh "$bin"
