#!/usr/bin/env bash
# Installs the Debian packages the project needs, when any is missing. Idempotent and quiet
# when everything is there. Run as root (or with sudo available).
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev googletest libgtest-dev libgmock-dev
  libbenchmark-dev libfltk1.3-dev unixodbc unixodbc-dev odbcinst libsqliteodbc
  odbc-postgresql postgresql sqlite3 xvfb xauth imagemagick x11-apps x11-utils xdotool fonts-dejavu-core
  libxml2-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
