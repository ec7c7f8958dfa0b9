#!/bin/bash
# The Debian package, end to end: cpack builds it from the build tree; its file list
# must hold every program, web file and example of the installation folder (build/bin),
# the links in /usr/bin and the user unit; its control fields name the package, version,
# architecture and runtime libraries; the unit passes `systemd-analyze verify`; and the
# backend unpacked into a scratch root (dpkg -x) starts through its /usr/bin link, answers
# GET / with the web UI and stops in order, then serves HTTPS with the installed OpenSSL
# adapters.
#
# Usage: package_test.sh BUILD_DIR VERSION   (inside the network sandbox: it uses 8080)
set -u
build_dir=$1
version=$2
bin_dir=$build_dir/bin
scratch=$(mktemp -d /tmp/orva-package-test.XXXXXX)
backend_pid=
cleanup() {
  [ -n "$backend_pid" ] && kill -KILL "$backend_pid" 2>/dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
check() { # description command...
  local what=$1; shift
  "$@" || fail "$what"
}

# --- Build ---------------------------------------------------------------------------
if ! cpack --config "$build_dir/CPackConfig.cmake" -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1; then
  cat "$scratch/cpack.log"; echo "FAIL: cpack"; exit 1
fi
arch=$(dpkg --print-architecture)
deb=$scratch/out/orva_${version}_${arch}.deb
[ -f "$deb" ] || { ls "$scratch/out"; echo "FAIL: no $deb"; exit 1; }

# --- File list -----------------------------------------------------------------------
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's#^\./#/#' >"$scratch/files"
listed() { grep -qx "$1" "$scratch/files"; }
for f in "$bin_dir"/*; do
  name=$(basename "$f")
  if [ -f "$f" ] && [ -x "$f" ]; then
    check "program $name in /usr/lib/orva" listed "/usr/lib/orva/$name"
    check "link /usr/bin/$name" listed "/usr/bin/$name"
  fi
done
for f in $(cd "$bin_dir" && find html examples lib template_configuration_orva.xml -type f); do
  check "$f in the installation folder" listed "/usr/lib/orva/$f"
done
for f in /usr/lib/orva/orva_backend /usr/lib/orva/orva_mira_sim /usr/lib/orva/html/index.html \
         /usr/lib/systemd/user/orva.service /usr/share/doc/orva/README.md; do
  check "$f" listed "$f"
done
if grep -v -e '^/usr/lib/orva/' -e '^/usr/bin/' -e '^/usr/lib/systemd/user/' -e '^/usr/share/doc/orva/' \
    -e '^/$' -e '^/usr/$' -e '^/usr/lib/$' -e '^/usr/lib/systemd/$' -e '^/usr/share/$' -e '^/usr/share/doc/$' \
    "$scratch/files"; then
  fail "files outside the package's folders (above)"
fi
dpkg-deb -c "$deb" | grep ' ./usr/bin/.' | grep -v -- '-> ../lib/orva/' && fail "a /usr/bin entry that is not a link into /usr/lib/orva"

# --- Control fields ------------------------------------------------------------------
field() { dpkg-deb -f "$deb" "$1"; }
check "Package" [ "$(field Package)" = orva ]
check "Version" [ "$(field Version)" = "$version" ]
check "Architecture" [ "$(field Architecture)" = "$arch" ]
check "Maintainer" [ -n "$(field Maintainer)" ]
check "Description" [ -n "$(field Description)" ]
depends=$(field Depends)
for library in libc6 libstdc++6 libcivetweb1 libprometheus-cpp-core1.0 libssl3; do
  case ", $depends" in *", $library "*|*", $library,"*|*", $library") ;; *) fail "Depends lacks $library: $depends" ;; esac
done

# --- Unpacked into a scratch root ----------------------------------------------------
root=$scratch/root
dpkg -x "$deb" "$root" || { echo "FAIL: dpkg -x"; exit 1; }
unit=$root/usr/lib/systemd/user/orva.service
grep -qx 'ExecStart=/usr/lib/orva/orva_backend' "$unit" || fail "ExecStart names /usr/lib/orva/orva_backend"
grep -qx 'KillSignal=SIGINT' "$unit" || fail "stopped with SIGINT"
grep -qx 'Restart=on-failure' "$unit" || fail "restarted on failure"
# The unit as it would run from the scratch root: its command must exist and be executable
# there, and systemd must find nothing to say about it.
mkdir -p "$scratch/runtime" && chmod 700 "$scratch/runtime"
sed "s#^ExecStart=#ExecStart=$root#" "$unit" >"$scratch/orva.service"
verify=$(XDG_RUNTIME_DIR=$scratch/runtime systemd-analyze --user --man=no verify "$scratch/orva.service" 2>&1)
[ $? -eq 0 ] && [ -z "$verify" ] || fail "systemd-analyze verify: $verify"

http_get() { # path -> the whole answer
  exec 3<>/dev/tcp/127.0.0.1/8080 || return 1
  printf 'GET %s HTTP/1.0\r\nHost: 127.0.0.1:8080\r\n\r\n' "$1" >&3
  timeout 5 cat <&3
  exec 3>&-
}

mkdir -p "$scratch/data"
XDG_DATA_HOME=$scratch/data "$root/usr/bin/orva_backend" >"$scratch/backend.out" 2>&1 &
backend_pid=$!
for _ in $(seq 1 150); do
  grep -q "started webserver" "$scratch/data/Orva/orva.log" 2>/dev/null && break
  sleep 0.1
done
answer=$(http_get /)
case "$answer" in
  "HTTP/1.1 200 OK"*"<html"*|"HTTP/1.0 200 OK"*"<html"*) ;;
  *) fail "GET / from the installed backend: ${answer:0:200}"; cat "$scratch/backend.out" "$scratch/data/Orva/orva.log" 2>/dev/null ;;
esac
grep -q "Writing configuration and logs to: $scratch/data/Orva" "$scratch/backend.out" || fail "data folder line"
reply=$(exec 3<>/dev/tcp/127.0.0.1/27027 && printf SIGINT >&3 && timeout 5 cat <&3)
[ "$reply" = "+OK" ] || fail "quit port answered '$reply'"
wait "$backend_pid"
status=$?
backend_pid=
[ "$status" -eq 0 ] || fail "the installed backend ended with $status"
grep -q "KTHXBAI!" "$scratch/data/Orva/orva.log" || fail "orderly shutdown in the log"

# Once more with TLS: the installed OpenSSL adapters (/usr/lib/orva/lib) let the web
# server speak HTTPS; a user is set with the installed program.
echo "secret" | XDG_DATA_HOME=$scratch/data "$root/usr/bin/orva_backend" --set-password alice >/dev/null ||
  fail "--set-password of the installed backend"
grep -q '^alice:Orva:' "$scratch/data/Orva/passwords" || fail "the password file holds alice"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 -keyout "$scratch/key.pem" \
  -out "$scratch/cert.pem" >/dev/null 2>&1 && cat "$scratch/cert.pem" "$scratch/key.pem" >"$scratch/both.pem"
rm -f "$scratch/data/Orva/orva.log"  # the wait below looks for this run's start line
ORVA_TLS_CERT=$scratch/both.pem XDG_DATA_HOME=$scratch/data "$root/usr/bin/orva_backend" >"$scratch/backend.out" 2>&1 &
backend_pid=$!
for _ in $(seq 1 150); do
  grep -q "started webserver" "$scratch/data/Orva/orva.log" 2>/dev/null && break
  sleep 0.1
done
answer=$(printf 'GET /api/version/ HTTP/1.0\r\nHost: 127.0.0.1:8080\r\n\r\n' |
  timeout 10 openssl s_client -quiet -ign_eof -connect 127.0.0.1:8080 2>/dev/null)
case "$answer" in
  *"200 OK"*version_str*) ;;
  *) fail "HTTPS GET from the installed backend: ${answer:0:200}"; cat "$scratch/backend.out" ;;
esac
kill -INT "$backend_pid"
wait "$backend_pid"
status=$?
backend_pid=
[ "$status" -eq 0 ] || fail "the installed backend with TLS ended with $status"

if [ "$failures" -ne 0 ]; then echo "$failures failure(s)"; exit 1; fi
echo "package $deb: all checks passed"
