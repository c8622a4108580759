#!/usr/bin/env bash
# Every check, from a fresh Debian machine: installs what is missing, then builds and tests
# natively, with AddressSanitizer and UndefinedBehaviorSanitizer, as a Windows cross build under
# Wine, and runs each fuzzer for a bounded time. Ends with one "N passed, N failed, N skipped"
# line, counted in GoogleTest cases.
#
# Environment: FUZZ_SECONDS (default 60) per fuzzer; CHECK_STAGES to pick stages
# (default "native asan windows fuzz"); CI, when set, makes a skip for want of root, network
# namespaces, nf_tables or Wine (a test's "SKIPPED LOUDLY: needs ..." message) a failure, as CI
# runs as root on a machine that has them.
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
skipped=0
failures=()

note_failure() { failed=$((failed + 1)); failures+=("$1"); }

# Adds the counts of one ctest run (its JUnit report) to the totals. Natively each GoogleTest case
# is a ctest test, reported as skipped when the case skipped; a cross-built binary runs whole, so
# its own summary gives its cases. A test that failed without a failed case (a crash, a time-out,
# a missing executable, a binary that ran no case) counts as one failure more.
count_ctest() {
  local stage=$1 report=$2 kind name count p=0 f=0 s=0
  if [ ! -s "$report" ]; then
    note_failure "$stage: ctest wrote no report"
    return
  fi
  while read -r kind count name; do
    case $kind in
      passed) p=$((p + count)) ;;
      failed) f=$((f + count)); failures+=("$stage: $name: $count failed") ;;
      skipped) s=$((s + count)); echo "$stage: $name: $count skipped" ;;
      # Only a skip for want of what CI has carries the loud message.
      loud) if [ -n "${CI:-}" ]; then
              s=$((s - count)); f=$((f + count))
              failures+=("$stage: $name: $count skipped for want of root, namespaces, nf_tables or Wine, which CI has")
            fi ;;
    esac
  done < <(awk '
    function settle() {
      if (status == "notrun" && skip_reason ~ /^SKIP_/) { print "skipped 1", name; gs = 1 }
      else if (status == "notrun") { print "failed 1", name " (not run: " skip_reason ")"; gs = 0 }
      else if (ran != "") {
        if (gp) print "passed", gp, name
        if (gs) print "skipped", gs, name
        if (gf) print "failed", gf, name
        if (ran == 0) print "failed 1", name " (ran no test)"
        else if (status == "fail" && gf == 0) print "failed 1", name " (ended badly)"
      } else if (status == "fail") print "failed 1", name
      else print "passed 1", name
      if (loud && gs) print "loud", (loud < gs ? loud : gs), name
    }
    /<testcase / {
      if (name != "") settle()
      match($0, /name="[^"]*"/); name = substr($0, RSTART + 6, RLENGTH - 7)
      match($0, /status="[^"]*"/); status = substr($0, RSTART + 8, RLENGTH - 9)
      ran = skip_reason = ""; gp = gs = gf = loud = 0
    }
    /^\t*<skipped message="/ { match($0, /"[^"]*"/); skip_reason = substr($0, RSTART + 1, RLENGTH - 2) }
    /\[==========\] [0-9]+ tests? from .* ran\./ { ran = $2 }
    /\[  PASSED  \] [0-9]+ tests?\./ { gp = $4 }
    /\[  SKIPPED \] [0-9]+ tests?, listed below/ { gs = $4 }
    /\[  FAILED  \] [0-9]+ tests?, listed below/ { gf = $4 }
    /SKIPPED LOUDLY: needs / { loud++ }
    END { if (name != "") settle() }' "$report")
  passed=$((passed + p))
  failed=$((failed + f))
  skipped=$((skipped + s))
}

build_and_test() {
  local preset=$1 log="$root/build/$1-ctest.log"
  echo "=== $preset: configure and build"
  if ! cmake --preset "$preset" >/dev/null || ! cmake --build --preset "$preset" -j "$jobs"; then
    note_failure "$preset: build failed"
    return
  fi
  echo "=== $preset: test"
  # The report keeps each test's whole output: a cross-built binary's summary is at its end.
  rm -f "$log.xml"
  ctest --preset "$preset" --output-junit "$log.xml" --test-output-size-passed 50000000 \
    --test-output-size-failed 50000000 2>&1 | tee "$log"
  count_ctest "$preset" "$log.xml"
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
echo "$passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
