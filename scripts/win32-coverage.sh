#!/usr/bin/env bash
# Line coverage of src/platform/win32/ under Wine: builds the windows-coverage preset (a Debug
# cross build with mingw's --coverage, linked statically like the others, in
# build/windows-coverage), runs its tests under Wine, and reads the counts with mingw's gcov.
# Prints "percent executed/lines file" for each file and the total. Not part of check.sh.
#
# Each instrumented program writes its counts at exit to the object file's absolute Unix path,
# which Wine resolves on the program's current drive: a program running from C: (a scratch
# directory, or a service started by Wine's service manager) would write them into the Wine
# prefix, removed after the run. GCOV_PREFIX puts every path on Z:, Wine's view of /.
#
# Usage: scripts/win32-coverage.sh [ctest arguments, e.g. -R orvo_windows_tests]
# Exits with ctest's status, so a failed test shows even though the figures are printed.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=$root/build/windows-coverage
gcov=x86_64-w64-mingw32-gcov

cmake --preset windows-coverage >/dev/null && cmake --build --preset windows-coverage -j "$(nproc)" ||
  { echo "win32-coverage: build failed"; exit 1; }
# Counts add up from run to run; start from none.
find "$build" -name '*.gcda' -delete
status=0
GCOV_PREFIX='Z:\' ctest --preset windows-coverage "$@" || status=$?

# Every translation unit's annotated lines; a line counts as run when any unit ran it (inline
# code and templates appear in several).
find "$build" -name '*.gcno' -print0 |
  (cd "$build" && xargs -0 "$gcov" --stdout 2>/dev/null) |
  awk '
    # Sources are named absolutely, or relative to the build tree where ccache made them so.
    /^ *-: *0:Source:/ {
      source = match($0, /(^|\/)src\/platform\/win32\//) ? substr($0, RSTART + RLENGTH) : ""
      next
    }
    source == "" { next }
    match($0, /^ *([0-9]+\*?|#####|=====): *[0-9]+:/) {
      split(substr($0, 1, RLENGTH), field, ":")
      gsub(/ /, "", field[1]); gsub(/ /, "", field[2])
      key = source SUBSEP field[2]
      known[key] = 1
      if (field[1] ~ /^[0-9]/ && field[1] + 0 > 0) ran[key] = 1
    }
    END {
      for (key in known) {
        split(key, part, SUBSEP)
        lines[part[1]]++; all++
        if (key in ran) { hit[part[1]]++; hits++ }
      }
      sorted = "sort -b -k4"
      for (file in lines) {
        printf "%6.1f %% %5d/%-5d %s\n", 100 * hit[file] / lines[file], hit[file], lines[file],
               file | sorted
      }
      close(sorted)
      if (all) printf "%6.1f %% %5d/%-5d src/platform/win32/ in all\n", 100 * hits / all, hits, all
    }'
exit "$status"
