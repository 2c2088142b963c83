#!/usr/bin/env bash
# The supervisor under a flood of broadcasts it has no use for: 100 signals per second on
# vel.kem.broadcast for five minutes (FLOOD_SECONDS to change it), natively, on a private
# bus with the simulator and the job server. Every 10 seconds it prints the RSS of the
# supervisor and the worker, sends a WhoIsThere and measures the time until korvad's HELLO;
# every 30 seconds it sends a RequestNextJobNow, which must bring exactly one more GET.
# At the end: RSS at start and end, the slowest HELLO, and the HELLO and GET counts.
# Usage: bench/flood.sh        (installs what is missing, like the test command)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
scripts/deps.sh >/dev/null
seconds=${FLOOD_SECONDS:-300}

source bench/world.sh
world_start 'FWLO\r\nFWSW;3600\r\n' hodrad wenlod requester
sleep 2  # the worker is back in its idle wait
worker=$(world_worker)
hellos() { grep -c '^hodrad: signal vel.kem.broadcast.HELLO (s "korvad"' "$work/sim.log" || true; }
gets() { grep -c '"method": "GET"' "$work/www/requests.log" || true; }

(  # the flood: ten signals every 100 ms
  while :; do
    for _ in 1 2 3 4 5 6 7 8 9 10; do echo "emit hodrad vel.kem.broadcast Noise s:x"; done
    sleep 0.1
  done >&$sim_in
) &
pids+=($!)
flood_start=$(grep -c 'emitted vel.kem.broadcast.Noise' "$work/sim.log" || true)

echo "== $seconds s of broadcasts, natively"
rss0=$(awk '/^VmRSS:/ {print $2}' "/proc/$korvad/status")
asked=0 nudged=0 slowest=0 gets0=$(gets) hellos0=$(hellos)
for ((t = 10; t <= seconds; t += 10)); do
  sleep 9
  before=$(hellos)
  echo "emit hodrad vel.kem.broadcast WhoIsThere s:hodrad s: s: s:" >&$sim_in
  asked=$((asked + 1))
  sent=$(date +%s%N)
  until [ "$(hellos)" -gt "$before" ]; do
    [ $(( ($(date +%s%N) - sent) / 1000000 )) -lt 30000 ] || { echo "no HELLO within 30 s" >&2; exit 1; }
    sleep 0.01
  done
  ms=$(( ($(date +%s%N) - sent) / 1000000 ))
  [ "$ms" -le "$slowest" ] || slowest=$ms
  if [ $((t % 30)) -eq 0 ]; then
    echo "emit requester vel.kem.korvad RequestNextJobNow" >&$sim_in
    nudged=$((nudged + 1))
  fi
  printf '   %4d s: HELLO after %4d ms; ' "$t" "$ms"
  memory "$korvad" supervisor | sed 's/^ *//' | tr -d '\n'; printf '; '
  memory "$worker" worker | sed 's/^ *//'
done
sleep 5  # the last HELLO and GET have arrived
sent_noise=$(( $(grep -c 'emitted vel.kem.broadcast.Noise' "$work/sim.log") - flood_start ))
rss1=$(awk '/^VmRSS:/ {print $2}' "/proc/$korvad/status")
echo "== summary"
awk -v n="$sent_noise" -v s="$seconds" \
  'BEGIN { printf "   broadcasts sent: %d in %d s (%.0f per second)\n", n, s, n / s }'
echo "   supervisor RSS: $rss0 KB at start, $rss1 KB at the end"
echo "   slowest HELLO: $slowest ms"
echo "   WhoIsThere sent: $asked, HELLOs of korvad: $(( $(hellos) - hellos0 ))"
echo "   RequestNextJobNow sent: $nudged, GETs that followed: $(( $(gets) - gets0 ))"
