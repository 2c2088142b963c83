# Sourced by the bench scripts: a private bus with the device simulator, the job server and
# korvad with one connection, natively, in a scratch folder that is removed at exit.
#   world_start <job text> <stand-in>...   sets work, korvad (supervisor pid), port and
#                                          DBUS_SYSTEM_BUS_ADDRESS; the simulator reads
#                                          commands from the file descriptor sim_in
#                                          (world_tls=1: over HTTPS with a device
#                                          certificate, on certificates made at start)
#   world_worker                           prints the pid of the connection's worker
#   memory <pid> <role>                    prints its RSS and private dirty memory
cmake -S . -B build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/native -j "$(nproc)" --target korvad korvad-sim >/dev/null
work=$(mktemp -d /tmp/korvad_bench_XXXXXX)
pids=()
world_cleanup() {
  local i
  exec {sim_in}>&- 2>/dev/null || true
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[$i]}" 2>/dev/null || true
    wait "${pids[$i]}" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap world_cleanup EXIT
wait_for() {  # <seconds> <command...>
  local deadline=$((SECONDS + $1)); shift
  until "$@" 2>/dev/null; do
    [ $SECONDS -lt $deadline ] || { echo "timed out waiting for: $*" >&2; return 1; }
    sleep 0.2
  done
}
world_start() {
  local job=$1; shift
  mkfifo "$work/sim.in"
  build/native/sim/korvad-sim --own-bus "$@" --log "$work/sim.log" <"$work/sim.in" 2>/dev/null &
  pids+=($!)
  exec {sim_in}>"$work/sim.in"
  wait_for 5 grep -q "sim: ready" "$work/sim.log"
  export DBUS_SYSTEM_BUS_ADDRESS=$(sed -n 's/^sim: bus //p' "$work/sim.log")
  local tls=()
  if [ "${world_tls:-0}" = 1 ]; then
    sim/jobserver/make-certs.sh "$work/certs" >/dev/null
    tls=(--tls-cert "$work/certs/server.pem" --tls-key "$work/certs/server.key"
         --tls-client-ca "$work/certs/ca.pem")
  fi
  python3 sim/jobserver/korvad-server serve --db "sqlite://$work/server.db" --listen 127.0.0.1:0 \
    --test-root "$work/www" "${tls[@]}" >"$work/jobserver.out" 2>&1 &
  pids+=($!)
  wait_for 20 grep -q "listening on" "$work/jobserver.out"
  port=$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$work/jobserver.out")
  mkdir -p "$work/www/jobs/unit7_0" "$work/connections"
  printf '%b' "$job" >"$work/www/jobs/unit7_0/job.txt"
  sed -e "s|^port_no .*|port_no $port|" examples/connections/server1.config \
    >"$work/connections/server1.config"
  echo "client_id unit7_0" >>"$work/connections/server1.config"
  if [ ${#tls[@]} -gt 0 ]; then
    printf 'tls_ca_file %s/ca.pem\ntls_client_cert %s/device.pem\ntls_client_key %s/device.key\n' \
      "$work/certs" "$work/certs" "$work/certs" >>"$work/connections/server1.config"
  fi
  sed -e "s|^Log_File .*|Log_File $work/korvad.log|" \
      -e "s|^ConfigFileFolderPath .*|ConfigFileFolderPath $work/connections|" \
      examples/korvad.config >"$work/korvad.config"
  build/native/src/daemon/korvad "$work/korvad.config" >"$work/korvad.out" 2>&1 &
  korvad=$!
  pids+=($korvad)
  wait_for 15 grep -q "result.txt.00001.end" "$work/www/requests.log"
}
world_worker() { pgrep -P "$korvad" | head -n 1; }
memory() {  # <pid> <role>
  local rss dirty
  rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$1/status")
  dirty=$(awk '/^Private_Dirty:/ {s += $2} END {print s}' "/proc/$1/smaps_rollup")
  printf '   %-10s pid %-7d RSS %5d KB, private dirty %5d KB\n' "$2" "$1" "$rss" "$dirty"
}
