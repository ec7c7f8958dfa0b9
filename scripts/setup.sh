#!/bin/sh
# Installs the Debian packages that Orva's build, tests and benchmarks need.
# Idempotent: when everything is present it only checks and returns at once.
set -eu
packages="cmake make g++ pkg-config libboost-dev libboost-thread-dev libboost-date-time-dev
civetweb libcivetweb-dev libgtest-dev libgmock-dev libbenchmark-dev iproute2 util-linux procps xdg-utils
dpkg-dev file systemd"
missing=""
for p in $packages; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done
if [ -n "$missing" ]; then
  echo "Installing:$missing"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
fi
