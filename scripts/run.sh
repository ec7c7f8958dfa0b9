#!/bin/bash
# Sets up the machine, builds Orva and runs the backend from its installation folder
# (build/bin) on http://127.0.0.1:8080/. Stop it with Ctrl-C.
#
# For a try-out (as root, unless ORVA_SIMULATORS=0) two simulated Mira amplifiers and a
# simulated Tesira server hosting two more run in a private network namespace
# "orva-demo" joined to this machine by a virtual cable (orva-demo0 10.99.7.1 here,
# orva-demo1 10.99.7.2 there; the Tesira server listens on 10.99.7.2:23). Once the
# backend is up it is asked to discover amplifiers on 10.99.7.1, so the demo's broadcasts
# stay on that cable and never reach a real network. The Tesira-hosted amplifiers join
# the project when imported or associated (README.md shows how).
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
bin="$(pwd)/${ORVA_BUILD_DIR:-build}/bin"
demo_ns=orva-demo
demo_address=10.99.7.1

cleanup() {
  [ -n "${sim_pid:-}" ] && kill "$sim_pid" 2>/dev/null || true
  [ -n "${tesira_pid:-}" ] && kill "$tesira_pid" 2>/dev/null || true
  [ -n "${demo_up:-}" ] && ip netns del "$demo_ns" 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Sends one HTTP request to the backend with bash's /dev/tcp; prints the reply.
http() { # method path body
  exec 3<>/dev/tcp/127.0.0.1/8080 || return 1
  printf '%s %s HTTP/1.0\r\nContent-Type: application/json\r\nContent-Length: %s\r\n\r\n%s' \
    "$1" "$2" "${#3}" "$3" >&3
  cat <&3
  exec 3>&-
}

start_demo() {
  ip netns del "$demo_ns" 2>/dev/null || true
  ip netns add "$demo_ns"
  demo_up=1
  ip link add orva-demo0 type veth peer name orva-demo1 netns "$demo_ns"
  ip addr add "$demo_address/24" dev orva-demo0
  ip link set orva-demo0 up
  ip netns exec "$demo_ns" ip link set lo up
  ip netns exec "$demo_ns" ip addr add 10.99.7.2/24 dev orva-demo1
  ip netns exec "$demo_ns" ip link set orva-demo1 up
  ip netns exec "$demo_ns" "$bin/orva_mira_sim" --demo &
  sim_pid=$!
  ip netns exec "$demo_ns" "$bin/orva_tesira_sim" --demo --bind 10.99.7.2 >/dev/null &
  tesira_pid=$!
  echo "Simulated amplifiers answer on $demo_address (network namespace $demo_ns)."
  echo "A simulated Tesira server hosts AmpBlock1 and AmpBlock2 on 10.99.7.2."
  # Once the backend answers, have it discover the simulated amplifiers.
  (
    for _ in $(seq 1 100); do
      if http GET / "" >/dev/null 2>&1; then
        http POST /requests "{\"method\":\"refresh\",\"network_interface\":\"$demo_address\"}" >/dev/null
        echo "Asked the backend to discover amplifiers on $demo_address."
        exit 0
      fi
      sleep 0.2
    done
  ) &
}

if [ "${ORVA_SIMULATORS:-1}" != 0 ] && [ "$(id -u)" -eq 0 ]; then
  start_demo
fi
echo "Orva backend: http://127.0.0.1:8080/"
"$bin/orva_backend"
