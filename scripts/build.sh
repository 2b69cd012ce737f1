#!/usr/bin/env bash
# Configures and builds one configuration: scripts/build.sh [normal|sanitize|fuzz]
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:-normal}
case "$kind" in
  normal)   dir=build;          flags=() ;;
  sanitize) dir=build-sanitize; flags=(-DQP_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug) ;;
  fuzz)     dir=build-fuzz;     flags=(-DQP_FUZZ=ON -DQP_GUI=OFF -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++) ;;
  *) echo "usage: scripts/build.sh [normal|sanitize|fuzz]" >&2; exit 2 ;;
esac
cmake -S . -B "$dir" -G Ninja "${flags[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)"
