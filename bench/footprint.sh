#!/usr/bin/env bash
# The daemon's footprint on the device and in memory:
#  1. the release build for the device: korvad cross-built for powerpc-linux-gnu, optimised
#     for size, linked against a shared libdbus (built from Debian's dbus source package)
#     with -Wl,-z,max-page-size=0x1000, stripped, with and without the hardening flags; its
#     size, sections, hardening and the libraries it needs with theirs. It fails when the
#     daemon needs a library other than libc, libdbus (and mbedTLS);
#  2. the idle memory of the supervisor and of one worker, natively, on a private bus with
#     the device simulator and the job server: RSS and private dirty memory.
# Usage: bench/footprint.sh        (installs what is missing, like the test command)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
scripts/deps.sh >/dev/null

# The daemon throws no exceptions and links no C++ runtime: the unwind tables would only
# serve a debugger, which gets them from the unstripped binary's debug information.
unwind="-fno-asynchronous-unwind-tables -fno-unwind-tables"
# release_build <folder> <hardening ON|OFF>: the stripped daemon of that build.
release_build() {
  PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig" cmake -S . -B "$1" \
    -DCMAKE_TOOLCHAIN_FILE="$top/cmake/powerpc-linux-gnu.cmake" -DKORVAD_PPC_PREFIX="$prefix" \
    -DCMAKE_BUILD_TYPE=MinSizeRel -DKORVAD_TESTS=OFF -DKORVAD_BENCH=OFF -DKORVAD_HARDEN="$2" \
    -DCMAKE_CXX_FLAGS="-ffunction-sections -fdata-sections $unwind" \
    -DCMAKE_EXE_LINKER_FLAGS="-Wl,-z,max-page-size=0x1000 -Wl,--gc-sections -Wl,--as-needed" \
    >/dev/null
  cmake --build "$1" -j "$(nproc)" --target korvad >/dev/null
  powerpc-linux-gnu-strip -o "$1/korvad.stripped" "$1/src/daemon/korvad"
}

echo "== release build for the device (powerpc-linux-gnu, shared libdbus)"
prefix="$top/build/ppc-deps-shared"
scripts/ppc-libdbus.sh "$prefix" shared
scripts/ppc-mbedtls.sh "$prefix" shared
release_build build/ppc-release-plain OFF
release_build build/ppc-release ON
plain=$(stat -c %s build/ppc-release-plain/korvad.stripped)
stripped=$(stat -c %s build/ppc-release/korvad.stripped)
awk -v b="$plain" 'BEGIN { printf "   korvad stripped, without hardening: %d bytes (%.1f KB; with TLS, goal at most 110 KB)\n", b, b / 1024 }'
awk -v b="$stripped" 'BEGIN { printf "   korvad stripped, hardened:          %d bytes (%.1f KB; goal at most 120 KB)\n", b, b / 1024 }'
powerpc-linux-gnu-size build/ppc-release/korvad.stripped | sed 's/^/   /'
powerpc-linux-gnu-readelf -h -d -l build/ppc-release/korvad.stripped |
  awk '/Type:/ && /EXEC|DYN/ {t = $2} /GNU_RELRO/ {r = 1} /BIND_NOW|FLAGS.*NOW/ {n = 1}
       END { printf "   hardening: type %s, RELRO %s, immediate binding %s\n", t, r ? "yes" : "no", n ? "yes" : "no" }'
if powerpc-linux-gnu-nm -D build/ppc-release/korvad.stripped 2>/dev/null | grep -q __stack_chk_fail; then
  echo "   stack protector: yes"
fi
if powerpc-linux-gnu-nm -D build/ppc-release/korvad.stripped 2>/dev/null | grep -q '__[a-z_]*_chk@'; then
  echo "   checked libc calls (_FORTIFY_SOURCE): yes"
fi
echo "   libraries it needs (stripped sizes):"
unexpected=()
for lib in $(powerpc-linux-gnu-readelf -d build/ppc-release/korvad.stripped |
             sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
  case "$lib" in
    libc.so.*|libdbus-1.so.*|libmbed*.so.*) ;;
    *) unexpected+=("$lib") ;;
  esac
  path=$(find "$prefix/lib" /usr/powerpc-linux-gnu/lib -maxdepth 1 -name "$lib" | head -n 1)
  if [ -n "$path" ]; then
    powerpc-linux-gnu-strip -o "build/ppc-release/$lib" "$(realpath "$path")"
    printf '     %-16s %8d bytes\n' "$lib" "$(stat -c %s "build/ppc-release/$lib")"
    case "$lib" in libmbed*) mbed=$((${mbed:-0} + $(stat -c %s "build/ppc-release/$lib"))) ;; esac
  else
    printf '     %-16s (not found)\n' "$lib"
  fi
done
if [ -n "${mbed:-}" ]; then
  awk -v b="$mbed" 'BEGIN { printf "     mbedTLS together %8d bytes (%.1f KB; goal at most 450 KB)\n", b, b / 1024 }'
fi
if [ ${#unexpected[@]} -gt 0 ]; then
  echo "footprint: the daemon needs more than libc and libdbus (and mbedTLS): ${unexpected[*]}" >&2
  exit 1
fi

echo "== idle memory, natively, on a private bus with the simulator"
source bench/world.sh
world_start 'FWLO\r\nFWSW;3600\r\n' hodrad wenlod
sleep 2  # the worker is back in its idle wait
worker=$(world_worker)
memory "$korvad" supervisor
memory "$worker" worker
# The same with the connection over HTTPS and a device certificate, in a world of its own.
(
  world_tls=1
  source bench/world.sh
  world_start 'FWLO\r\nFWSW;3600\r\n' hodrad wenlod
  sleep 2
  memory "$(world_worker)" "TLS worker"
)
