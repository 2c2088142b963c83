#!/usr/bin/env bash
# Builds and runs the whole test suite: natively, under ASan+UBSan, cross-built for 32-bit
# big-endian PowerPC under qemu-ppc, and the fuzz targets for a bounded time.
# Usage: scripts/test.sh [native|asan|ppc|fuzz]...   (no argument: all of them)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
jobs=$(nproc)
configs=("$@")
[ ${#configs[@]} -gt 0 ] || configs=(native asan ppc fuzz)

scripts/deps.sh

run_ctest() {  # <build folder>
  ctest --test-dir "$1" --output-on-failure -j "$jobs" --timeout 600
}

for config in "${configs[@]}"; do
  echo "== $config"
  case "$config" in
    native)
      cmake -S . -B build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo
      cmake --build build/native -j "$jobs"
      run_ctest build/native
      ;;
    asan)
      cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVAD_SANITIZE=ON \
        -DKORVAD_BENCH=OFF
      cmake --build build/asan -j "$jobs"
      ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1 \
      UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        run_ctest build/asan
      ;;
    ppc)
      prefix="$top/build/ppc-deps"
      scripts/ppc-libdbus.sh "$prefix"
      scripts/ppc-mbedtls.sh "$prefix"
      PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig" cmake -S . -B build/ppc \
        -DCMAKE_TOOLCHAIN_FILE="$top/cmake/powerpc-linux-gnu.cmake" \
        -DKORVAD_PPC_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVAD_BENCH=OFF
      cmake --build build/ppc -j "$jobs"
      run_ctest build/ppc
      ;;
    fuzz)
      CC=clang CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DKORVAD_FUZZ=ON -DKORVAD_TESTS=OFF -DKORVAD_BENCH=OFF
      cmake --build build/fuzz -j "$jobs"
      seconds=${KORVAD_FUZZ_SECONDS:-30}
      for fuzzer in build/fuzz/fuzz/*/fuzz_*; do
        [ -x "$fuzzer" ] || continue
        name=$(basename "$fuzzer")
        corpus="build/fuzz/corpus/$name"
        mkdir -p "$corpus"
        seeds="fuzz/${name#fuzz_}/corpus"
        echo "-- $name for ${seconds}s"
        (cd build/fuzz && "$top/$fuzzer" -max_total_time="$seconds" -print_final_stats=1 \
          "$top/$corpus" $( [ -d "$top/$seeds" ] && echo "$top/$seeds" ) 2>&1 | tail -n 15)
      done
      ;;
    *) echo "unknown configuration: $config" >&2; exit 2 ;;
  esac
done
echo "== all requested configurations passed: ${configs[*]}"
