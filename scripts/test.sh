#!/usr/bin/env bash
# Sets everything up and runs every test: the Release build, the sanitizer build and the
# fuzz targets for a bounded time. Exits non-zero on any failure.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/install-deps.sh || exit 1
source scripts/services.sh
start_xvfb || exit 1
start_postgres
start_mariadb

# Tests never touch the user's own registry or rename list.
scratch=$(mktemp -d)
trap 'put_back_unlistable; stop_services; rm -rf "$scratch"' EXIT
export REGISTRY_FILE="$scratch/registry" QP_PENDING_RENAMES="$scratch/pending-renames"
export WINDIR="$scratch/windows" XDG_RUNTIME_DIR="$scratch/run"
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"

status=0
total_pass=0
total_fail=0
count_failure() {
  status=1
  total_fail=$((total_fail + 1))
}
build_kind() {
  local kind=$1
  echo "=== $kind build"
  if ! scripts/build.sh "$kind"; then
    echo "=== $kind build FAILED"
    count_failure
    return 1
  fi
}
run_suite() {
  local kind=$1 dir=$2
  echo "=== $kind tests"
  # The window tests' screenshots, for people to look at.
  export QP_SCREENSHOTS="$root/$dir/screenshots"
  set_aside_unlistable "$dir"
  # Window tests share one display, so they run one at a time after the rest.
  run_ctest "$kind" "$dir" parallel -j"$(nproc)" -E "$gui_tests"
  run_ctest "$kind" "$dir" windows -j1 -R "$gui_tests"
  put_back_unlistable
  run_from_another_folder "$root/$dir/tests/transfer_tests"
}

# The number of tests a test program lists; fails when it cannot list them.
listed_tests() {
  local listing
  listing=$("$1" --gtest_list_tests 2>/dev/null) || return 1
  grep -c '^  ' <<<"$listing"
}
# How many tests a program has that cannot list its own: as many as the same program of the
# other build lists (the same sources make the same tests), else 1.
reference_count() {
  local program=$1 other count
  for other in build-release build-sanitize; do
    other="$root/$other/tests/$(basename "$program")"
    if [ "$other" != "$program" ] && [ -x "$other" ] && count=$(listed_tests "$other"); then
      echo "$count"
      return
    fi
  done
  echo 1
}
# ctest runs no test at all when one program cannot list its tests, so such a program is set
# aside while ctest runs the others (ctest then counts it as one test, not built) and all of its
# tests are counted as failed.
set_aside=()
extra_tests=0
set_aside_unlistable() {
  local dir=$1 program count
  set_aside=()
  extra_tests=0
  for program in "$root/$dir"/tests/*_tests; do
    [ -x "$program" ] || continue
    listed_tests "$program" >/dev/null && continue
    count=$(reference_count "$program")
    echo "=== $program cannot list its tests: counted as $count failed tests"
    "$program" --gtest_list_tests 2>&1 | tail -n 5
    mv "$program" "$program.unlistable"
    set_aside+=("$program")
    extra_tests=$((extra_tests + count - 1))
  done
}
put_back_unlistable() {
  local program
  for program in "${set_aside[@]}"; do mv "$program.unlistable" "$program"; done
  set_aside=()
}

# Each test of a program alone, as ctest runs it, but from a working folder of another name
# and length than ctest's: a test must pass wherever it runs, and what the heap holds (so what
# the leak checker meets) depends on path lengths. transfer_tests holds every test that
# HotSyncs through the built conduit library.
run_from_another_folder() {
  local program=$1 folder="$scratch/another-working-folder" log="$scratch/another-folder.log"
  local names name
  echo "=== $(basename "$program"), each test alone, from $folder"
  mkdir -p "$folder"
  if ! names=$("$program" --gtest_list_tests | awk '/^[^ ]/ {suite = $1} /^  / {print suite $1}'); then
    local count
    count=$(reference_count "$program")
    echo "=== cannot list the tests of $program: counted as $count failed tests"
    status=1
    total_fail=$((total_fail + count))
    return
  fi
  for name in $names; do
    if (cd "$folder" && "$program" --gtest_filter="$name") >"$log" 2>&1; then
      total_pass=$((total_pass + 1))
    else
      cat "$log"
      echo "=== FAILED from $folder: $name"
      count_failure
    fi
  done
}

gui_tests='(Window|Gui)'
run_ctest() {
  local kind=$1 dir=$2 part=$3
  shift 3
  local log="$scratch/ctest-$kind-$part.log"
  (cd "$dir" && ctest --output-on-failure --timeout 600 "$@") 2>&1 | tee "$log"
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
  if [ -n "$line" ]; then
    local failed all
    failed=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
    all=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")
    # The programs set aside: each counted by ctest as one failed test, and all of theirs failed.
    if [ "$part" = parallel ]; then
      failed=$((failed + extra_tests))
      all=$((all + extra_tests))
    fi
    total_pass=$((total_pass + all - failed))
    total_fail=$((total_fail + failed))
  elif ! grep -q 'No tests were found' "$log"; then
    total_fail=$((total_fail + 1))
  fi
}

# The optimised build as a user makes it (Release), then the sanitizer build (whose leak
# checker suppressions are built into every program, cmake/sanitizer_defaults.cpp). Both are
# built first, so that a program of one that cannot list its tests is counted by the other's.
build_kind release && release_built=1 || release_built=0
build_kind sanitize && sanitize_built=1 || sanitize_built=0
[ "$release_built" = 1 ] && run_suite release build-release
[ "$sanitize_built" = 1 ] && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1 run_suite sanitize build-sanitize

if [ -x scripts/fuzz.sh ]; then
  echo "=== fuzz targets"
  if scripts/fuzz.sh; then total_pass=$((total_pass + 1)); else count_failure; fi
fi

echo
echo "$total_pass passed, $total_fail failed"
exit $status
