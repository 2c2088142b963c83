#!/bin/bash
# Cross-builds mbedTLS for the powerpc-linux-gnu device from Debian's own mbedtls source
# package, in the client-only configuration of scripts/ppc-mbedtls-config.h, and installs
# the headers (that configuration as mbedtls/config.h) and the three libraries into
# <prefix>: static for the tests, or with "shared" the .so files that the device's release
# build links against. Does nothing when they are already there.
#
#   scripts/ppc-mbedtls.sh <prefix> [shared]
#
# Needs the deb-src entry that scripts/ppc-libdbus.sh adds (run that one first).
set -euo pipefail

if [ $# -lt 1 ] || [ $# -gt 2 ] || { [ $# -eq 2 ] && [ "$2" != shared ]; }; then
    echo "usage: $0 <prefix> [shared]" >&2
    exit 2
fi
kind=${2:-static}
shared=OFF
library=libmbedtls.a
if [ "$kind" = shared ]; then
    shared=ON
    library=libmbedtls.so
fi
host=powerpc-linux-gnu
here=$(cd "$(dirname "$0")" && pwd)
config="$here/ppc-mbedtls-config.h"
prefix=$(realpath -m "$1")
work="${prefix}.work"
say() { echo "ppc-mbedtls: $*"; }

# The libraries are rebuilt when the configuration changed since they were built.
if [ -e "$prefix/lib/$library" ] && cmp -s "$config" "$prefix/include/mbedtls/config.h"; then
    exit 0
fi
command -v "$host-gcc" >/dev/null || { echo "ppc-mbedtls: $host-gcc not found" >&2; exit 1; }

mkdir -p "$work"
cd "$work"
src=$(find . -maxdepth 1 -type d -name 'mbedtls-2.28.*' | sort | tail -n 1)
if [ -z "$src" ]; then
    say "fetching the mbedtls source package"
    if ! apt-get source -qq mbedtls >/dev/null 2>apt-source.log; then
        apt-get update -qq
        apt-get source -qq mbedtls >/dev/null 2>apt-source.log || {
            cat apt-source.log >&2
            echo "ppc-mbedtls: no source package (scripts/ppc-libdbus.sh adds the deb-src entry)" >&2
            exit 1
        }
    fi
    src=$(find . -maxdepth 1 -type d -name 'mbedtls-2.28.*' | sort | tail -n 1)
    [ -n "$src" ] || { echo "ppc-mbedtls: apt-get source gave no mbedtls 2.28 tree" >&2; exit 1; }
fi
src=$(realpath "$src")
say "building $(basename "$src") ($kind) for $host into $prefix"
cp "$config" "$src/include/mbedtls/config.h"

build="$work/build-$kind"
rm -rf "$build"
cmake -S "$src" -B "$build" \
    -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=powerpc \
    -DCMAKE_C_COMPILER="$host-gcc" -DCMAKE_BUILD_TYPE=MinSizeRel \
    -DCMAKE_C_FLAGS="-ffunction-sections -fdata-sections" \
    -DCMAKE_SHARED_LINKER_FLAGS="-Wl,-z,max-page-size=0x1000 -Wl,--gc-sections" \
    -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib \
    -DUSE_SHARED_MBEDTLS_LIBRARY="$shared" \
    -DUSE_STATIC_MBEDTLS_LIBRARY="$([ "$shared" = ON ] && echo OFF || echo ON)" \
    -DENABLE_PROGRAMS=OFF -DENABLE_TESTING=OFF -DGEN_FILES=OFF -DMBEDTLS_FATAL_WARNINGS=OFF \
    >"$work/configure-$kind.log" 2>&1 || { tail -n 30 "$work/configure-$kind.log" >&2; exit 1; }
jobs=$(nproc 2>/dev/null || echo 2)
[ "$jobs" -gt 2 ] && jobs=2
cmake --build "$build" -j "$jobs" >"$work/make-$kind.log" 2>&1 || {
    tail -n 30 "$work/make-$kind.log" >&2
    exit 1
}
cmake --install "$build" >"$work/install-$kind.log" 2>&1 || {
    tail -n 30 "$work/install-$kind.log" >&2
    exit 1
}
test -e "$prefix/lib/$library"
say "installed $prefix/lib/$library"
