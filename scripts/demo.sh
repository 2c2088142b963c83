#!/usr/bin/env bash
# Demo: the device simulator on a private bus, a local job server and korvad doing real cycles
# with two connections; shows what was fetched and posted, then stops everything it started.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
scripts/deps.sh demo
echo "== building korvad and the device simulator"
cmake -S . -B build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/native -j "$(nproc)" --target korvad korvad-sim >/dev/null

# No '-' before the random part: korvad takes "-v", "-h" or "-m" anywhere in its argument
# as an option.
work=$(mktemp -d /tmp/korvad_demo_XXXXXX)
pids=()
cleanup() {
  local status=$?
  local i
  # Newest first: the simulator, and with it the bus, goes last.
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[$i]}" 2>/dev/null || true
    wait "${pids[$i]}" 2>/dev/null || true
  done
  if [ $status -ne 0 ]; then
    echo "== the demo failed; what korvad and the simulator wrote:" >&2
    tail -n 20 "$work/korvad.out" "$work/korvad.log" "$work/sim.log" >&2 2>/dev/null || true
  fi
  [ -n "${KEEP_DEMO:-}" ] || rm -rf "$work"
}
trap cleanup EXIT
wait_for() {  # <seconds> <command...>: polls until the command succeeds
  local deadline=$((SECONDS + $1)); shift
  until "$@" 2>/dev/null; do
    [ $SECONDS -lt $deadline ] || { echo "timed out waiting for: $*" >&2; return 1; }
    sleep 0.2
  done
}
show_file() {  # text files as lines (CR shown as \r), anything binary as a hex dump
  if LC_ALL=C grep -q '[^[:print:][:space:]]' "$1"; then xxd "$1"; else sed 's/\r$/\\r/' "$1"; fi
}

echo "== device simulator on a private bus of its own: hodrad (watchdog), wenlod (network),"
echo "   target (the daemon that the DBUS lines of the first job address), serkad (the"
echo "   datapool service, with the lists of examples/datapool/ in shared memory) and"
echo "   tulvad_engine (the logger service of the logger \"engine\": a LoggerFile of four"
echo "   numbered 24-byte blocks per request)"
# The datapool lives in the working folder: its segments' keys come from the list files' paths.
mkdir -p "$work/datapool" "$work/logger"
cp -r examples/datapool/engine "$work/datapool/"
mkfifo "$work/sim.in"
build/native/sim/korvad-sim --own-bus hodrad wenlod target serkad tulvad_engine --log "$work/sim.log" \
  --set "tulvad_engine.dir=$work/logger" --set tulvad_engine.blocks=4 --set tulvad_engine.size=24 \
  --answer "target.GetStatus=ready, 2 jobs queued" --answer-u32 target.GetCount=7 \
  --set "serkad.dir=$work/datapool" --script examples/datapool/values.sim \
  <"$work/sim.in" 2>"$work/sim.err" &
pids+=($!)
exec 3>"$work/sim.in"  # the simulator's commands
wait_for 5 grep -q "sim: ready" "$work/sim.log"
export DBUS_SYSTEM_BUS_ADDRESS=$(sed -n 's/^sim: bus //p' "$work/sim.log")
echo "   $DBUS_SYSTEM_BUS_ADDRESS"

echo "== certificates of a demo fleet, made with openssl: a fleet CA, the job server's"
echo "   certificate (127.0.0.1) and a device certificate"
sim/jobserver/make-certs.sh "$work/certs"
echo "   server key pin (SHA-256 of its public key): $(cat "$work/certs/server.pin")"

echo "== job server on 127.0.0.1, plain HTTP and HTTPS (device certificates demanded)"
python3 sim/jobserver/korvad-server serve --db "sqlite://$work/server.db" --listen 127.0.0.1:0 \
  --test-root "$work/www" > "$work/jobserver.out" 2>&1 &
pids+=($!)
python3 sim/jobserver/korvad-server serve --db "sqlite://$work/server-tls.db" --listen 127.0.0.1:0 \
  --test-root "$work/www" --tls-cert "$work/certs/server.pem" --tls-key "$work/certs/server.key" \
  --tls-client-ca "$work/certs/ca.pem" > "$work/jobserver-tls.out" 2>&1 &
pids+=($!)
wait_for 20 grep -q "listening on" "$work/jobserver.out"
wait_for 20 grep -q "listening on" "$work/jobserver-tls.out"
port=$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$work/jobserver.out")
tls_port=$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$work/jobserver-tls.out")
mkdir -p "$work/www/jobs/unit7_0" "$work/www/jobs/unit7_1" "$work/connections"
cp examples/jobs/server1-job.txt "$work/www/jobs/unit7_0/job.txt"
cp examples/jobs/server2-job.txt "$work/www/jobs/unit7_1/job.txt"
echo "   port $port (HTTP), port $tls_port (HTTPS)"

segments_before=$(ipcs -m | grep -c '^0x' || true)
echo "== korvad with two connections: server1 over HTTP, server2 over HTTPS with the device"
echo "   certificate and the server's key pinned"
for f in server1 server2; do
  p=$port
  [ $f = server2 ] && p=$tls_port
  sed -e "s|^port_no .*|port_no $p|" -e "s|^ServerExchangeFolder .*|ServerExchangeFolder $work/exchange|" \
    "examples/connections/$f.config" > "$work/connections/$f.config"
done
{
  echo "tls_ca_file $work/certs/ca.pem"
  echo "tls_client_cert $work/certs/device.pem"
  echo "tls_client_key $work/certs/device.key"
  echo "tls_pin_sha256 $(cat "$work/certs/server.pin")"
} >> "$work/connections/server2.config"
grep '^tls_' "$work/connections/server2.config" | sed 's/^/   /'
# Fixed identities, so that the job paths do not depend on the directory order; without a
# client_id line korvad would generate one from HOSTNAME and append it to the file.
echo "client_id unit7_0" >> "$work/connections/server1.config"
echo "client_id unit7_1" >> "$work/connections/server2.config"
sed -e "s|^Log_File .*|Log_File $work/korvad.log|" \
    -e "s|^ConfigFileFolderPath .*|ConfigFileFolderPath $work/connections|" \
    examples/korvad.config > "$work/korvad.config"
build/native/src/daemon/korvad "$work/korvad.config" > "$work/korvad.out" 2>&1 &
korvad=$!
pids+=($korvad)
fetches() { grep -c "\"method\": \"GET\", \"path\": \"/jobs/$1/" "$work/www/requests.log"; }
fetched() { [ "$(fetches "$1")" -ge "$2" ]; }  # <client_id> <count>
wait_for 15 fetched unit7_0 1
wait_for 15 fetched unit7_1 1
wait_for 15 grep -q "results/unit7_1/result.txt.00001.end" "$work/www/requests.log"
echo "   first cycle of both connections done"

echo "== RequestNextJobNow from another daemon (dbus-send): one extra cycle of every connection"
dbus-send --system --type=signal /vel/kem/demo/Object vel.kem.korvad.RequestNextJobNow
wait_for 10 fetched unit7_1 2
wait_for 10 fetched unit7_0 2
echo "   both connections fetched again; the second one now waits for its hour (FWSW;3600)"
requested=$SECONDS

echo "== waiting for the first connection's next cycle, 10 s after the last (FWSW;10)"
wait_for 20 fetched unit7_0 3
echo "   first connection fetched a third time, $((SECONDS - requested)) s later; second: $(fetches unit7_1) fetches"

echo "== stopping korvad with SIGTERM"
kill -TERM "$korvad"
status=0; wait "$korvad" || status=$?
echo "   exit status $status"
sleep 0.5

echo
echo "== requests the job server received"
python3 - "$work/www/requests.log" <<'PY'
import json, sys
for line in open(sys.argv[1]):
    r = json.loads(line)
    auth = " (Basic authorization)" if "Authorization" in r["headers"] else ""
    body = f'  body {r["length"]} bytes' if r["method"] == "POST" else ""
    over = "HTTPS" if r.get("tls") else "HTTP "
    print(f'   {over} {r["method"]:4} {r["path"]}{body}{auth}')
PY
echo
echo "== TLS handshakes the HTTPS job server saw (one full, then the session resumed)"
python3 - "$work/www/tls.log" <<'PY'
import json, sys
for line in open(sys.argv[1]):
    h = json.loads(line)
    print(f'   {h["handshake"]:8} {h.get("version", "")}  device certificate: {h.get("client")}')
PY
echo
echo "== fetched JobFile of the first connection"
show_file "$work/www/jobs/unit7_0/job.txt" | sed 's/^/   /'
for id in unit7_0 unit7_1; do
  for part in "$work/www/posted/results/$id/"*; do
    echo "== posted $(basename "$part") of $id"
    show_file "$part" | sed 's/^/   /'
  done
done
# -- decoded results: the server side's view of the same parts, through korvad-jobtool
echo
echo "== the posted results decoded with korvad-jobtool (sim/jobserver/korvad-jobtool decode)"
for id in unit7_0 unit7_1; do
  echo "   -- $id (its last upload)"
  sim/jobserver/korvad-jobtool decode "$work/www/posted/results/$id" 2>&1 | sed 's/^/   /' ||
    echo "   (the decoder refused these parts)"
done
echo "   the job server decoded $(grep -c '^== upload' "$work/www/uploads.log" || true) uploads" \
  "as they arrived; its first entry in uploads.log:"
awk 'NR > 1 && /^== upload/ {exit} {print "   " $0}' "$work/www/uploads.log"
# -- end of the decoded results
echo
echo "== korvad's log"
sed 's/^/   /' "$work/korvad.log"
echo
echo "== korvad's presence signals, as the simulator received them"
echo "   HELLO: $(grep -c 'hodrad: signal vel.kem.broadcast.HELLO (s "korvad"' "$work/sim.log") (at its start, and in answer to each worker's WhoIsThere)"
grep 'hodrad: signal vel.kem.broadcast.GOODBYE' "$work/sim.log" | sed 's/^hodrad: signal /   /'
grep 'hodrad: signal vel.kem.broadcast.WhoIsThere' "$work/sim.log" | sed 's/^hodrad: signal /   /' 
echo
echo "== DBUS lines of the first job's first cycle, as the target stand-in received them"
grep -m 6 -E '^target: (method|answered|signal vel.kem.target|signal vel.kem.broadcast.Wakeup)' \
  "$work/sim.log" | sed 's/^/   /'
echo
echo "== datapool lines of the first job's last cycle (KFGV answers decoded with the list file;"
echo "   vin and setpoint hold what the KFSV lines of the cycles before wrote)"
python3 - "$work/www/posted/results/unit7_0" examples/datapool/engine/status.dpl <<'PY'
import os, struct, sys
parts = sorted(os.listdir(sys.argv[1]))
data = open(os.path.join(sys.argv[1], parts[0]), "rb").read()
vars, cur = [], None
for line in open(sys.argv[2]):
    key, _, value = line.strip().partition("=")
    if line.startswith("[VARIABLE"): cur = {}; vars.append(cur)
    elif cur is not None: cur[key] = value
fmt = {"UINT16": "<H", "SINT16": "<h", "UINT32": "<I", "SINT32": "<i", "FLOAT32": "<f",
       "UINT8": "<B", "SINT8": "<b"}
at = data.find(b"KFGV;DAT[VL1")
while at >= 0:
    header = data[at + 14:at + 30]
    stamp, d = struct.unpack_from("<I", data, at + 34)[0], struct.unpack_from("<H", data, at + 38)[0]
    body = data[at + 40:at + 40 + d]
    print(f"   KFGV answer to request {header.decode()!r}: time {stamp}, {d} bytes of entries")
    print("     " + body.hex(" "))
    i = 0
    while i + 2 <= len(body):
        var, lst = body[i], body[i + 1]
        v = vars[var] if lst == 0 and var < len(vars) else {"NAME": "?", "TYPE": "AOBYTE", "SIZE": "0"}
        size = int(v["SIZE"]); raw = body[i + 2:i + 2 + size]
        value = struct.unpack(fmt[v["TYPE"]], raw)[0] if v["TYPE"] in fmt else raw.rstrip(b"\0").decode()
        if isinstance(value, float): value = round(value, 3)
        print(f"     ref 0x{lst:02x}{var:02x} {v['NAME']:9} {v['TYPE']:8} {value!s:>10} {v.get('UNIT', '')}")
        i += 2 + size
    at = data.find(b"KFGV;DAT[VL1", at + 1)
for line in data.split(b"\r\n"):
    if line.startswith(b"KFSV;"): print(f"   {line.decode()}")
PY
echo "set serkad.show engine/status/setpoint" >&3
echo "set serkad.show engine/status/vin" >&3
wait_for 5 grep -q "serkad: engine/status/vin = " "$work/sim.log"
echo "   what KFSV wrote, as the datapool service reads it (native byte order):"
grep -E "^serkad: engine/status/(setpoint|vin) = " "$work/sim.log" | sed 's/^serkad: /     /'
echo "   GetBasePath calls answered by serkad: $(grep -c 'serkad: answered GetBasePath' "$work/sim.log")"
echo
echo "== logger lines of the first job's last cycle: DLGN took a new LoggerFile (the one before"
echo "   was finished), DLCN cleared it; the DataBlock as posted (after ';DAT[DLN': the 16-byte"
echo "   logger name piece, then per block its piece length, block length and data):"
python3 - "$work/www/posted/results/unit7_0" <<'PY'
import os, sys
data = b"".join(open(os.path.join(sys.argv[1], p), "rb").read() for p in sorted(os.listdir(sys.argv[1])))
start = data.find(b"DLGN;")
end = data.find(b"\r\n", data.find(b"\0\0]", start)) + 2
for at in range(start, end, 16):
    row = data[at:min(at + 16, end)]
    text = "".join(chr(c) if 32 <= c < 127 else "." for c in row)
    print(f"   {at - start:04x}: {row.hex(' '):47}  {text}")
print("   " + data[end:data.find(b"\r\n", end)].decode())
PY
echo "   what the logger service stand-in was asked:"
grep -E "^tulvad_engine: (method|wrote|deleted)" "$work/sim.log" | sed 's/^/     /'
echo
echo "== watchdog traffic seen by the simulator"
grep -cE "TriggerWatchdog" "$work/sim.log" | sed 's/^/   TriggerWatchdog signals: /'
grep -E "method (RegisterWatchdog|CancelWatchdog)" "$work/sim.log" | sed 's/^/   /'
remaining=$(pgrep -f "$work/korvad.config" || true)
echo "== korvad processes left: ${remaining:-none}; shared-memory segments before and after: $segments_before, $(ipcs -m | grep -c '^0x' || true)"
