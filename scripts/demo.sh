#!/usr/bin/env bash
# Demo: builds korvad and starts it on the example configuration, showing its start-up.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
scripts/deps.sh demo
cmake -S . -B build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/native -j "$(nproc)" --target korvad >/dev/null

work=$(mktemp -d /tmp/korvad-demo-XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/connections"
cp examples/connections/*.config "$work/connections/"
sed -e "s|^Log_File .*|Log_File $work/korvad.log|" \
    -e "s|^ConfigFileFolderPath .*|ConfigFileFolderPath $work/connections|" \
    examples/korvad.config > "$work/korvad.config"

echo "== korvad -v"; build/native/src/daemon/korvad -v
echo "== korvad $work/korvad.config"
status=0; build/native/src/daemon/korvad "$work/korvad.config" || status=$?
echo "== exit status $status; log:"; cat "$work/korvad.log"
echo "== connection file after the first start (generated client_id appended):"
cat "$work/connections/server1.config"
