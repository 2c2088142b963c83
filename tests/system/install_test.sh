#!/usr/bin/env bash
# What a device gets: the files of the daemon component (and no simulator or server tool),
# a unit that systemd-analyze finds clean, a man page that renders without warnings, and the
# init script starting, reporting and stopping korvad on a private bus with the simulator.
# Usage: install_test.sh <build folder>
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d /tmp/korvad_install_XXXXXX)
sim=""
cleanup() {
  [ -z "$sim" ] || { kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null || true; }
  [ -r "$work/korvad.pid" ] && kill -9 "$(cat "$work/korvad.pid")" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
wait_for() {  # <seconds> <command...>
  local deadline=$((SECONDS + $1)); shift
  until "$@" 2>/dev/null; do
    [ $SECONDS -lt $deadline ] || fail "timed out waiting for: $*"
    sleep 0.2
  done
}

echo "== the daemon component, stripped"
DESTDIR="$work/root" cmake --install "$build" --component daemon --strip >/dev/null
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
(cd "$work/root" && find . -type f | sort) | tee "$work/files"
for file in sbin/korvad share/dbus-1/system.d/vel.kem.korvad.conf lib/systemd/system/korvad.service \
            share/man/man8/korvad.8 share/korvad/examples/korvad.config; do
  grep -qx "\./${prefix#/}/$file" "$work/files" || fail "not installed: $file"
done
grep -q '/init.d/korvad$' "$work/files" || fail "no init script"
grep -q '/logrotate.d/korvad$' "$work/files" || fail "no logrotate snippet"
! grep -q 'korvad-sim\|jobtool\|jobserver' "$work/files" || fail "tools installed with the daemon"

echo "== the unit and the man page"
unit="$work/korvad.service"  # verified with the daemon where it is built
sed "s|^ExecStart=[^ ]*|ExecStart=$build/src/daemon/korvad|" \
  "$work/root/$prefix/lib/systemd/system/korvad.service" >"$unit"
systemd-analyze verify --man=no "$unit" 2>&1 | tee "$work/verify"
[ ! -s "$work/verify" ] || fail "systemd-analyze verify is not clean"
MANWIDTH=80 man --warnings -l "$work/root/$prefix/share/man/man8/korvad.8" 2>"$work/man.err" >"$work/man.out"
[ ! -s "$work/man.err" ] || { cat "$work/man.err"; fail "man page warnings"; }
grep -q "RequestNextJobNow" "$work/man.out" || fail "man page not rendered"

echo "== the init script on a private bus"
"$build/sim/korvad-sim" --own-bus hodrad wenlod --log "$work/sim.log" 2>/dev/null &
sim=$!
wait_for 5 grep -q "sim: ready" "$work/sim.log"
export DBUS_SYSTEM_BUS_ADDRESS=$(sed -n 's/^sim: bus //p' "$work/sim.log")
mkdir -p "$work/connections"
printf 'Log_File %s\nConfigFileFolderPath %s\n' "$work/korvad.log" "$work/connections" >"$work/korvad.config"
printf 'KORVAD=%s\nKORVAD_CONFIG=%s\nPIDFILE=%s\nSTATE_DIR=%s\n' "$build/src/daemon/korvad" \
  "$work/korvad.config" "$work/korvad.pid" "$work/state" >"$work/defaults"
init=$(find "$work/root" -path '*/init.d/korvad')
export KORVAD_DEFAULTS="$work/defaults"
"$init" status && fail "status 0 before the start" || [ $? -eq 3 ] || fail "status not 3 when stopped"
"$init" start
pid=$(cat "$work/korvad.pid")
[ -d "$work/state" ] || fail "no state folder"
"$init" status | grep -q "running (pid $pid)" || fail "not running after start"
wait_for 10 grep -q "$pid: Korvad started" "$work/korvad.log"
"$init" start | grep -q "already running" || fail "a second start"
"$init" restart
[ "$(cat "$work/korvad.pid")" != "$pid" ] || fail "restart kept the old process"
grep -q "hodrad: signal vel.kem.broadcast.GOODBYE" "$work/sim.log" || fail "no orderly stop at restart"
"$init" stop
"$init" status && fail "still running after stop" || true
[ ! -e "$work/korvad.pid" ] || fail "pid file left"
echo "== install test passed"
