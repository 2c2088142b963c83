#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing and the demo need, when missing.
set -euo pipefail

packages=(build-essential cmake pkg-config git libdbus-1-dev dbus-daemon dbus-bin
          libgtest-dev libgmock-dev googletest libbenchmark-dev
          g++-powerpc-linux-gnu qemu-user dpkg-dev
          clang libclang-rt-14-dev libfaketime curl libcurl4-openssl-dev python3 xxd procps
          systemd man-db libmbedtls-dev
          postgresql python3-psycopg2 openssl nginx-light)  # the server side's tests and recipe
case "${1:-all}" in
  demo) packages=(build-essential cmake pkg-config libdbus-1-dev dbus-daemon dbus-bin
                  libgtest-dev libgmock-dev googletest python3 xxd procps
                  libmbedtls-dev openssl) ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
