#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time (FUZZ_SECONDS,
# default 30). Exits non-zero when any target finds a crash.
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-30}
scripts/build.sh fuzz >/dev/null || { echo "fuzz build FAILED"; exit 1; }
shopt -s nullglob
targets=(build-fuzz/fuzz/*)
[ ${#targets[@]} -eq 0 ] && { echo "no fuzz targets"; exit 0; }
status=0
for t in "${targets[@]}"; do
  name=$(basename "$t")
  corpus="build-fuzz/corpus/$name"
  mkdir -p "$corpus"
  seeds=()
  [ -d "fuzz-seeds/$name" ] && seeds=("fuzz-seeds/$name")
  if "$t" -max_total_time="$seconds" -rss_limit_mb=2048 -artifact_prefix="build-fuzz/$name-" \
       "$corpus" "${seeds[@]}" >"build-fuzz/$name.log" 2>&1; then
    echo "fuzz $name: clean for ${seconds}s ($(grep -c '' "build-fuzz/$name.log") log lines)"
  else
    echo "fuzz $name: FAILED"; tail -n 40 "build-fuzz/$name.log"; status=1
  fi
done
exit $status
