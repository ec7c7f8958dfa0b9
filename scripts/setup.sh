#!/bin/sh
# Installs the Debian packages that Orva's build, tests and benchmarks need, and the npm
# packages of the browser tests (tests/browser/package-lock.json).
# Idempotent: when everything is present it only checks and returns at once.
set -eu
cd "$(dirname "$0")/.."
packages="cmake make g++ pkg-config libboost-dev libboost-thread-dev libboost-date-time-dev
civetweb libcivetweb-dev libgtest-dev libgmock-dev libbenchmark-dev iproute2 util-linux procps xdg-utils
dpkg-dev file systemd chromium prometheus-cpp-dev libssl-dev openssl
clang-14 libclang-rt-14-dev llvm-14"
missing=""
for p in $packages; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done
# Node and npm come from Debian only where no npm is installed: another installation's
# npm would conflict with Debian's package.
if ! command -v npm >/dev/null 2>&1; then
  missing="$missing nodejs npm"
fi
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
if [ -n "$missing" ]; then
  echo "Installing:$missing"
  $SUDO apt-get update -qq
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
fi
# The browser tests' npm packages, exactly as locked; skipped when already installed
# from the same lock file.
browser_tests=tests/browser
stamp="$browser_tests/node_modules/.orva-installed-lock"
if ! cmp -s "$browser_tests/package-lock.json" "$stamp" 2>/dev/null; then
  (cd "$browser_tests" && npm ci --no-audit --no-fund --loglevel=error)
  cp "$browser_tests/package-lock.json" "$stamp"
fi
