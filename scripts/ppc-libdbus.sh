#!/bin/bash
# Cross-builds the libdbus client library for the powerpc-linux-gnu device from Debian's
# own dbus source package and installs headers, the library and dbus-1.pc into <prefix>:
# a static libdbus-1.a for the tests, or with "shared" the libdbus-1.so that the device's
# release build links against. Does nothing when the library is already there.
#
#   scripts/ppc-libdbus.sh <prefix> [shared]
#
# Needs root the first time on a fresh machine (adds a deb-src entry, installs dpkg-dev).
set -euo pipefail

if [ $# -lt 1 ] || [ $# -gt 2 ] || { [ $# -eq 2 ] && [ "$2" != shared ]; }; then
    echo "usage: $0 <prefix> [shared]" >&2
    exit 2
fi
kind=${2:-static}
library=libdbus-1.a
linking=(--enable-static --disable-shared)
if [ "$kind" = shared ]; then
    library=libdbus-1.so
    linking=(--enable-shared --disable-static)
fi

host=powerpc-linux-gnu
prefix=$(realpath -m "$1")
work="${prefix}.work"

if [ -e "$prefix/lib/$library" ] && [ -f "$prefix/lib/pkgconfig/dbus-1.pc" ]; then
    exit 0
fi

say() { echo "ppc-libdbus: $*"; }

if ! command -v "$host-gcc" >/dev/null; then
    echo "ppc-libdbus: $host-gcc not found (install gcc-$host)" >&2
    exit 1
fi

# apt-get source needs a deb-src line for the suite and dpkg-source to unpack.
if ! command -v dpkg-source >/dev/null; then
    say "installing dpkg-dev"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq dpkg-dev >/dev/null
fi
have_src() {
    grep -Eqs '^[[:space:]]*deb-src[[:space:]].*[[:space:]]bookworm([[:space:]]|$)' \
        /etc/apt/sources.list /etc/apt/sources.list.d/*.list ||
        grep -Eqs '^Types:.*deb-src' /etc/apt/sources.list.d/*.sources
}
# The new entry copies the mirror and the Signed-By of the existing bookworm entry: apt
# refuses two entries for one mirror and suite with different keys.
add_src() {
    local deb822=/etc/apt/sources.list.d/debian.sources uri key line
    if [ -f "$deb822" ]; then
        uri=$(awk '/^URIs:/ { print $2; exit }' "$deb822")
        key=$(awk '/^Signed-By:/ { print $2; exit }' "$deb822")
        {
            echo "Types: deb-src"
            echo "URIs: ${uri:-http://deb.debian.org/debian}"
            echo "Suites: bookworm"
            echo "Components: main"
            if [ -n "$key" ]; then echo "Signed-By: $key"; fi
        } >/etc/apt/sources.list.d/korvad-deb-src.sources
    else
        line=$(grep -Ehs '^[[:space:]]*deb[[:space:]].*[[:space:]]bookworm[[:space:]]' \
            /etc/apt/sources.list /etc/apt/sources.list.d/*.list | head -n 1 || true)
        if [ -n "$line" ]; then
            line=$(echo "$line" | sed -E 's/^[[:space:]]*deb[[:space:]]/deb-src /')
        else
            line="deb-src http://deb.debian.org/debian bookworm main"
        fi
        echo "$line" >/etc/apt/sources.list.d/korvad-deb-src.list
    fi
}
if ! have_src; then
    say "adding a deb-src entry for bookworm"
    add_src
    apt-get update -qq
fi

mkdir -p "$work"
cd "$work"
src=$(find . -maxdepth 1 -type d -name 'dbus-1.14.*' | sort | tail -n 1)
if [ -z "$src" ]; then
    say "fetching the dbus source package"
    if ! apt-get source -qq dbus >/dev/null 2>apt-source.log; then
        # The package lists may predate the deb-src entry: refresh once and retry.
        apt-get update -qq
        apt-get source -qq dbus >/dev/null 2>apt-source.log || {
            cat apt-source.log >&2
            exit 1
        }
    fi
    src=$(find . -maxdepth 1 -type d -name 'dbus-1.14.*' | sort | tail -n 1)
    if [ -z "$src" ]; then
        echo "ppc-libdbus: apt-get source did not give a dbus 1.14 tree" >&2
        ls >&2
        exit 1
    fi
fi
say "building $src for $host into $prefix"

build="$work/build-$kind"
rm -rf "$build"
mkdir -p "$build"
cd "$build"

# Only the client library is built. The message bus daemon needs expat, which has no
# powerpc build here; setting the EXPAT_* variables satisfies configure's pkg-config test
# without it, and nothing that uses them is compiled. PKG_CONFIG_LIBDIR keeps the host's
# .pc files (systemd, glib, ...) out of the cross configuration.
PKG_CONFIG_LIBDIR="$build/no-pkgconfig" \
EXPAT_CFLAGS="-DKORVAD_NO_EXPAT" EXPAT_LIBS="-lc" \
    "../${src#./}/configure" \
    --host="$host" --prefix="$prefix" \
    "${linking[@]}" --with-pic \
    --disable-tests --disable-embedded-tests --disable-modular-tests \
    --disable-installed-tests --disable-code-coverage \
    --disable-xml-docs --disable-doxygen-docs --disable-ducktype-docs \
    --disable-selinux --disable-apparmor --disable-libaudit --disable-systemd \
    --disable-inotify --disable-kqueue --disable-launchd \
    --disable-x11-autolaunch --without-x \
    --disable-user-session --disable-stats \
    --disable-verbose-mode --disable-asserts \
    --with-system-socket=/run/dbus/system_bus_socket \
    --disable-maintainer-mode --disable-silent-rules \
    >configure.log 2>&1 || {
    tail -n 40 configure.log >&2
    exit 1
}

jobs=$(nproc 2>/dev/null || echo 2)
[ "$jobs" -gt 2 ] && jobs=2
make -j"$jobs" -C dbus libdbus-1.la >make.log 2>&1 || {
    tail -n 40 make.log >&2
    exit 1
}
make -C dbus install-libLTLIBRARIES install-dbusincludeHEADERS \
    install-nodist_dbusarchincludeHEADERS >install.log 2>&1 &&
    make install-pkgconfigDATA >>install.log 2>&1 || {
    tail -n 40 install.log >&2
    exit 1
}
# libtool leaves a .la next to the archive; nothing here uses it.
rm -f "$prefix/lib/libdbus-1.la"
test -e "$prefix/lib/$library"
say "installed $prefix/lib/$library"
