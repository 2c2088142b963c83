#!/usr/bin/env bash
# The fleet through a front web server, once: Debian's nginx in front of two korvad-server
# instances that share one PostgreSQL database (SQLite when PostgreSQL is not at hand), with
# plain HTTP for korvad and HTTPS (TLS ended by nginx) for a device that speaks it. One korvad
# with DEVICES connections (default 50) behind a fleet account: each device gets two queued
# jobs (the second as a follow-up) and then the park job; every upload must be stored once.
# Usage: scripts/nginx-fleet.sh [DEVICES]
set -euo pipefail
cd "$(dirname "$0")/.."
devices=${1:-50}
python=/usr/bin/python3
[ -x "$python" ] || python=python3
server() { "$python" -B sim/jobserver/korvad-server "$@"; }
command -v nginx >/dev/null || { echo "nginx is not installed: scripts/deps.sh" >&2; exit 1; }

cmake -S . -B build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/native -j 2 --target korvad korvad-sim >/dev/null
work=$(mktemp -d /tmp/korvad_nginx_XXXXXX)
chmod 755 "$work"  # PostgreSQL and nginx's workers run as nobody when this runs as root
pids=()
cleanup() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[$i]}" 2>/dev/null || true
    wait "${pids[$i]}" 2>/dev/null || true
  done
  [ ! -d "$work/pg" ] || "$python" tests/support/pg_cluster.py stop "$work/pg"
  rm -rf "$work"
}
trap cleanup EXIT
wait_for() {  # <seconds> <command...>
  local deadline=$((SECONDS + $1)); shift
  until "$@" 2>/dev/null; do
    [ $SECONDS -lt $deadline ] || { echo "timed out waiting for: $*" >&2; exit 1; }
    sleep 1
  done
}
free_port() { "$python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

echo "== the database"
if db=$("$python" tests/support/pg_cluster.py start "$work/pg"); then
  echo "   PostgreSQL, a throw-away cluster in $work/pg"
else
  echo "   $db; SQLite instead"
  db="sqlite://$work/server.db"
fi

echo "== two korvad-server instances on 127.0.0.1, behind a fleet account"
printf 'fleet-secret\n' | server passwd --users "$work/users" --devices '*' fleet
upstreams=""
for i in 1 2; do
  server serve --db "$db" --listen 127.0.0.1:0 --users "$work/users" \
    >"$work/server$i.out" 2>"$work/server$i.log" &
  pids+=($!)
  wait_for 20 grep -q "listening on" "$work/server$i.out"
  port=$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$work/server$i.out")
  upstreams+="server 127.0.0.1:$port; "
  echo "   instance $i on 127.0.0.1:$port"
done

echo "== nginx: plain HTTP and HTTPS, from sim/jobserver/nginx/"
plain=$(free_port)
tls=$(free_port)
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
  -keyout "$work/server.key" -out "$work/server.pem" -subj /CN=fleet.example \
  -addext subjectAltName=IP:127.0.0.1 2>/dev/null
mkdir -p "$work/nginx/logs"
cp sim/jobserver/nginx/korvad-server-locations.conf "$work/nginx/"
sed -e "s|@PLAIN@|127.0.0.1:$plain|" -e "s|@TLS@|127.0.0.1:$tls|" \
    -e "s|@UPSTREAMS@|$upstreams|" -e "s|@CERT@|$work/server.pem|" \
    -e "s|@KEY@|$work/server.key|" sim/jobserver/nginx/korvad-server.conf >"$work/nginx/site.conf"
cat >"$work/nginx/nginx.conf" <<EOF
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/logs/error.log;
events { worker_connections 512; }
http {
    access_log $work/nginx/logs/access.log;
    client_body_temp_path $work/nginx/body;
    proxy_temp_path $work/nginx/proxy;
    include $work/nginx/site.conf;
}
EOF
nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -g 'daemon off;' &
pids+=($!)
wait_for 10 "$python" -c "import socket; socket.create_connection(('127.0.0.1', $plain), 1)"
echo "   http on 127.0.0.1:$plain, https on 127.0.0.1:$tls"

echo "== korvad with $devices connections to nginx's plain port"
build/native/sim/korvad-sim --own-bus hodrad wenlod slow --silent slow.Wait \
  --log "$work/sim.log" 2>/dev/null </dev/null &
pids+=($!)
wait_for 5 grep -q "sim: ready" "$work/sim.log"
export DBUS_SYSTEM_BUS_ADDRESS=$(sed -n 's/^sim: bus //p' "$work/sim.log")
# A job's DBUS call to a silent daemon holds the cycle for 7 s: the next cycle (FWSW;0) is
# then due when the last part is answered, so the device takes the next job as a follow-up.
printf 'FWSW;0\r\nAPLI;\r\nDBUS;1;slow;Wait;0;\r\n' >"$work/job1"
printf 'FWSW;0\r\nAPLI;\r\nAPLI;\r\nDBUS;1;slow;Wait;0;\r\n' >"$work/job2"
printf 'FWSW;3600\r\n' >"$work/park"
mkdir -p "$work/connections"
ids=()
for ((i = 0; i < devices; i++)); do
  ids+=("n$i")
  printf 'client_id n%d\ncom_server_url 127.0.0.1\nport_no %d\ncom_server_path_get jobs/<client_id>\ncom_server_path_put results/<client_id>\nsrv_cmd_file job.txt\nusr_cmd_file result.txt\nhttp_user fleet\nhttp_passwd fleet-secret\nconnection_cycle_timeout 60\nServerExchangeFolder %s/\n' \
    "$i" "$plain" "$work" >"$work/connections/n$i.config"
done
server queue --db "$db" "$(IFS=,; echo "${ids[*]}")" "$work/job1" "$work/job2" >/dev/null
server park --db "$db" --fleet "$work/park"
printf 'Log_File %s/korvad.log\nConfigFileFolderPath %s/connections\n' "$work" "$work" \
  >"$work/korvad.config"
started=$SECONDS
build/native/src/daemon/korvad "$work/korvad.config" >"$work/korvad.out" 2>&1 &
pids+=($!)
all_done() {
  server results --db "$db" --json | "$python" -c '
import json, sys
uploads = json.load(sys.stdin)
done = {}
for u in uploads:
    done.setdefault(u["device"], []).append(u)
sys.exit(0 if len(done) == int(sys.argv[1]) and all(len(v) >= 3 for v in done.values()) else 1)
' "$devices"
}
wait_for 240 all_done
echo "   every device has three uploads after $((SECONDS - started)) s"

echo "== the check: each device's uploads in order, stored once, decoded"
server results --db "$db" --json | "$python" -c '
import json, sys
uploads = json.load(sys.stdin)
by_device = {}
for u in uploads:
    by_device.setdefault(u["device"], []).append(u)
bad = []
for device, got in sorted(by_device.items()):
    aplis = [sum(r["keyword"] == "APLI" for r in u["decoded"]["results"]) for u in got]
    states = [u["state"] for u in got]
    if aplis != [1, 2, 0] or states != ["complete"] * 3:
        bad.append((device, aplis, states))
print("   %d devices, %d uploads, %d not as expected %s" % (len(by_device), len(uploads), len(bad), bad[:3]))
sys.exit(1 if bad else 0)
'
server status --db "$db" --json | "$python" -c '
import json, sys
devices = json.load(sys.stdin)
gets = sorted({d["gets"] for d in devices})
print("   GETs per device: %s (the second job came as a follow-up); refusals: %d"
      % (gets, sum(d["refusals"] for d in devices)))
'
echo "   nginx: $(grep -c '"POST http://' "$work/nginx/logs/access.log") absolute-form POSTs," \
  "$(grep -c '"GET /jobs/' "$work/nginx/logs/access.log") GETs; instance 1 answered" \
  "$(grep -c '"POST /results/\|"GET /jobs/' "$work/server1.log" || true)," \
  "instance 2 $(grep -c '"POST /results/\|"GET /jobs/' "$work/server2.log" || true)"
! grep -q "ERROR" "$work/korvad.log" || { grep "ERROR" "$work/korvad.log" | head; exit 1; }

echo "== HTTPS through nginx, with the bytes a device sends"
"$python" - "$tls" "$work/server.pem" <<'PY'
import sys
sys.path.insert(0, "sim/jobserver")
from korvad_server.device import Device, tls_client
dev = Device("127.0.0.1", int(sys.argv[1]), user="fleet", password="fleet-secret",
             tls=tls_client(sys.argv[2]))
job = dev.get("jobs/tls1/job.txt")
post = dev.post("results/tls1/result.txt.00001.end", b"FWSW;0\r\n")
unauthorized = Device("127.0.0.1", int(sys.argv[1]), tls=tls_client(sys.argv[2])).get("jobs/tls1/job.txt")
print("   GET %d %r, POST %d %r, without credentials %d" % (job.status, job.body, post.status,
                                                          post.body, unauthorized.status))
sys.exit(0 if (job.status, post.status, post.body, unauthorized.status) == (200, 200, b"OK\r\n", 401) else 1)
PY
echo "== nginx-fleet: passed"
