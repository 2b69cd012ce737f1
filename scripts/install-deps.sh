#!/usr/bin/env bash
# Installs the Debian packages the project needs, when any is missing. Idempotent and quiet
# when everything is there. Run as root (or with sudo available).
set -euo pipefail

# Recommended packages are not installed, so every package whose files the build, the tests,
# the demo, the benchmark or the fuzzers use is named here (or comes with the base system).
packages=(
  # compilers and build tools; clang and its runtime build the fuzz targets
  cmake ninja-build g++ clang libclang-rt-14-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  # FLTK's headers and libraries (found directly: FLTK's CMake package would need fluid)
  libfltk1.3-dev
  # unixODBC, the SQLite, PostgreSQL and MariaDB drivers, the demo's sqlite3, the tests'
  # PostgreSQL and MariaDB servers
  unixodbc unixodbc-dev odbcinst libsqliteodbc odbc-postgresql postgresql sqlite3
  odbc-mariadb mariadb-server
  # window tests: Xvfb, xdpyinfo (x11-utils), xdotool, ImageMagick's import and convert, a font
  xvfb xauth imagemagick x11-apps x11-utils xdotool fonts-dejavu-core
  # the transfer tests read the XML and HTML layouts back with libxml2's parsers
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
