#!/usr/bin/env bash
# Every check, from a fresh Debian machine: installs what is missing, then builds and tests
# natively, with AddressSanitizer and UndefinedBehaviorSanitizer, as a Windows cross build under
# Wine, and runs each fuzzer for a bounded time. Ends with one "N passed, N failed" line.
#
# Environment: FUZZ_SECONDS (default 60) per fuzzer; CHECK_STAGES to pick stages
# (default "native asan windows fuzz").
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

install_started=$SECONDS
scripts/install-deps.sh all || { echo "check: could not install the dependencies"; exit 1; }

stages=${CHECK_STAGES:-native asan windows fuzz}
fuzz_seconds=${FUZZ_SECONDS:-60}
jobs=$(nproc)
passed=0
failed=0
failures=()

note_failure() { failed=$((failed + 1)); failures+=("$1"); }

# Adds the counts of one ctest run (its summary line) to the totals.
count_ctest() {
  local stage=$1 log=$2 line total bad
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
  if [ -z "$line" ]; then
    note_failure "$stage: ctest ran no tests"
    return
  fi
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
  bad=$(sed -E 's/.* ([0-9]+) tests failed.*/\1/' <<<"$line")
  passed=$((passed + total - bad))
  failed=$((failed + bad))
  [ "$bad" -eq 0 ] || failures+=("$stage: $bad ctest failures (see $log)")
}

build_and_test() {
  local preset=$1 log="$root/build/$1-ctest.log"
  echo "=== $preset: configure and build"
  if ! cmake --preset "$preset" >/dev/null || ! cmake --build --preset "$preset" -j "$jobs"; then
    note_failure "$preset: build failed"
    return
  fi
  echo "=== $preset: test"
  ctest --preset "$preset" 2>&1 | tee "$log"
  count_ctest "$preset" "$log"
}

run_fuzzers() {
  echo "=== fuzz: configure and build"
  if ! cmake --preset fuzz >/dev/null || ! cmake --build --preset fuzz -j "$jobs"; then
    note_failure "fuzz: build failed"
    return
  fi
  local fuzzer name work
  for fuzzer in build/fuzz/tests/fuzz/*_fuzzer; do
    [ -x "$fuzzer" ] || continue
    name=$(basename "$fuzzer")
    # Work on a copy of the seeds so the committed corpus stays as it is.
    work=$(mktemp -d)
    cp -r "tests/fuzz/corpus/$name/." "$work/" 2>/dev/null || true
    echo "=== fuzz: $name for ${fuzz_seconds}s"
    if "$fuzzer" -max_total_time="$fuzz_seconds" -print_final_stats=1 \
         -artifact_prefix="build/fuzz/$name-" "$work" >"build/fuzz/$name.log" 2>&1; then
      passed=$((passed + 1))
      grep -E 'stat::number_of_executed_units|Done [0-9]+ runs' "build/fuzz/$name.log" | tail -n 2
    else
      tail -n 40 "build/fuzz/$name.log"
      note_failure "fuzz: $name found a fault (see build/fuzz/$name.log)"
    fi
    rm -rf "$work"
  done
}

mkdir -p build
started=$SECONDS
timings=()
for stage in $stages; do
  stage_started=$SECONDS
  case $stage in
    native) build_and_test native ;;
    asan) build_and_test native-asan ;;
    windows) build_and_test windows ;;
    fuzz) run_fuzzers ;;
    *) note_failure "unknown stage $stage" ;;
  esac
  timings+=("$stage $((SECONDS - stage_started)) s")
done

# Where the time went, so a slower suite shows in every run's log.
echo "time: installing dependencies $((started - install_started)) s"
for timing in "${timings[@]}"; do
  echo "time: $timing"
done
echo "time: all stages $((SECONDS - started)) s"

for failure in "${failures[@]}"; do
  echo "FAILED: $failure"
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
