#!/bin/sh
# Runs a command inside a private network namespace with a veth pair
#   orva0 10.99.0.1/24  <->  orva1 10.99.0.2/24
# and its own loopback. Amplifier traffic of tests (UDP broadcast to 6016, telnet to 23)
# and the ports 8080, 27027 and 27028 never reach or collide with the real machine.
# As a non-root user the namespace is entered through a user namespace mapped to root.
if [ "$#" -eq 0 ]; then echo "usage: $0 command [args...]" >&2; exit 2; fi
if [ "$(id -u)" -eq 0 ]; then
  ns_options="--net"
else
  ns_options="--user --map-root-user --net"
fi
# shellcheck disable=SC2086
exec unshare $ns_options sh -c '
  set -e
  ip link set lo up
  ip link add orva0 type veth peer name orva1
  ip addr add 10.99.0.1/24 dev orva0
  ip addr add 10.99.0.2/24 dev orva1
  ip link set orva0 up
  ip link set orva1 up
  set +e
  exec "$@"' sandbox "$@"
