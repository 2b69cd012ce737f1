#!/usr/bin/env bash
# Configures and builds one configuration: scripts/build.sh [normal|release|sanitize|fuzz]
# The project's own builds treat warnings as errors; a plain cmake build does not.
# CMAKE_BUILD_PARALLEL_LEVEL sets how many jobs build at once (default: every core).
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:-normal}
case "$kind" in
  normal)   dir=build;          flags=() ;;
  release)  dir=build-release;  flags=(-DCMAKE_BUILD_TYPE=Release) ;;
  sanitize) dir=build-sanitize; flags=(-DQP_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug) ;;
  fuzz)     dir=build-fuzz;     flags=(-DQP_FUZZ=ON -DQP_GUI=OFF -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++) ;;
  -h|--help) echo "usage: scripts/build.sh [normal|release|sanitize|fuzz]"; exit 0 ;;
  *) echo "usage: scripts/build.sh [normal|release|sanitize|fuzz]" >&2; exit 2 ;;
esac
args=(-G Ninja -DQP_WERROR=ON "${flags[@]}")
# Configured once per set of arguments: after that the build itself runs CMake again when a
# CMakeLists.txt changes, so a build with nothing changed configures and links nothing.
stamp=$dir/.qp-configure-args
if [ ! -f "$dir/build.ninja" ] || [ "$(cat "$stamp" 2>/dev/null)" != "${args[*]}" ]; then
  cmake -S . -B "$dir" "${args[@]}" >/dev/null
  printf '%s\n' "${args[*]}" >"$stamp"
fi
cmake --build "$dir" -j"${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
