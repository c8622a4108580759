#!/usr/bin/env bash
# Mutation check: how many deliberate faults does the test suite catch? Slow (one rebuild and one
# suite run per mutant), so it is for developers and not part of CI.
#
# It clones the repository's HEAD (committed work only) into a scratch folder, so the developer's
# tree is never mutated, configures one native build tree there, builds it and checks that the
# unmutated suite passes. Then for each mutant of the list (scripts/mutants.txt, read from the
# developer's tree so new mutants can be tried before they are committed) it applies the mutant
# (an exact search-and-replace whose search text must occur exactly once in its file), rebuilds,
# runs the native suite with ctest until the first failure, and restores the file. A mutant the
# suite fails on is caught; one it passes survives; one that does not build is reported as
# caught by the compiler; one whose search text is not found exactly once did not apply.
# At the end it prints a table and the line
#   N mutants: K caught, S survived, C did not compile, A did not apply
# and writes results.tsv, survivors.txt and one log per mutant to the output folder.
# For each mutant the tests that were quickest in the unmutated run go first, so a caught mutant
# costs its rebuild and a few seconds of tests, a survivor its rebuild and the whole suite.
#
# Usage: scripts/mutation-check.sh [options] [MUTANT_ID...]
#   MUTANT_ID...          run only these mutants (also MUTANTS="id1 id2"); a trailing * matches a
#                         prefix, e.g. 'ipc-*'
#   -R REGEX, -E REGEX    only / not the ctest tests matching REGEX (also MUTATION_TESTS_R,
#                         MUTATION_TESTS_E)
#   --list FILE           the mutant list (default scripts/mutants.txt; also MUTATION_LIST)
#   --workdir DIR         scratch folder to use and keep; a later run with the same folder
#                         reuses its build tree (also MUTATION_WORKDIR). Without it a temporary
#                         folder is made and removed at the end.
#   --out DIR             output folder (default build/mutation; also MUTATION_OUT)
#   --check-only          only check that every selected mutant applies to HEAD; no build
#   --compile-check       after the unmutated build, compile each selected mutant's file alone
#                         (a header: one source that includes it) with -fsyntax-only; no link,
#                         no tests. Finds mutants that would only count as "did not compile".
#   --skip-baseline       do not run the unmutated suite first (the build still happens)
#   --windows             run the mutants marked "stage: windows" with the windows preset
#                         (cross build, suite under Wine) instead of the native ones
# Environment: MUTATION_JOBS (build jobs, default 2), MUTATION_TEST_JOBS (ctest jobs, default 2),
#   MUTATION_TEST_TIMEOUT (seconds per test, default 180), MUTATION_NICE (default 19).
# ccache is used through CMAKE_CXX_COMPILER_LAUNCHER when it is installed. The test sources carry
# the build tree's absolute path, so keep one --workdir for repeated runs: its build tree then
# rebuilds only what changed since the last run.
#
# Example: scripts/mutation-check.sh --workdir /tmp/orvo-mut 'store-*' ipc-03
set -uo pipefail
# The whole script is read before it runs, so editing it during a long run cannot break that run.
{

here=$(cd "$(dirname "$0")" && pwd)
repo=$(git -C "$here" rev-parse --show-toplevel) || exit 2
list=${MUTATION_LIST:-$repo/scripts/mutants.txt}
workdir=${MUTATION_WORKDIR:-}
out=${MUTATION_OUT:-$repo/build/mutation}
tests_r=${MUTATION_TESTS_R:-}
tests_e=${MUTATION_TESTS_E:-}
jobs=${MUTATION_JOBS:-2}
test_jobs=${MUTATION_TEST_JOBS:-2}
test_timeout=${MUTATION_TEST_TIMEOUT:-180}
nice_level=${MUTATION_NICE:-19}
check_only=0
compile_check=0
skip_baseline=0
stage=native
read -r -a selected <<<"${MUTANTS:-}"

while [ $# -gt 0 ]; do
  case $1 in
    -R) tests_r=$2; shift 2 ;;
    -E) tests_e=$2; shift 2 ;;
    --list) list=$2; shift 2 ;;
    --workdir) workdir=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --check-only) check_only=1; shift ;;
    --compile-check) compile_check=1; shift ;;
    --skip-baseline) skip_baseline=1; shift ;;
    --windows) stage=windows; shift ;;
    -h | --help) sed -n '2,/^set -uo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    -*) echo "mutation-check: unknown option $1 (see --help)" >&2; exit 2 ;;
    *) selected+=("$1"); shift ;;
  esac
done

# The list's parser and the search-and-replace, in one place. Format: see the top of the list.
mutants_tool() {
  python3 - "$@" <<'PY'
import os, sys

def parse(path):
    mutants, cur, field = [], None, None
    with open(path, encoding="utf-8") as f:
        for number, raw in enumerate(f, 1):
            line = raw.rstrip("\n")
            if line.startswith("|"):
                if cur is None or field not in ("search", "replace"):
                    sys.exit(f"{path}:{number}: a '|' line belongs under 'search:' or 'replace:'")
                cur[field].append(line[2:] if line.startswith("| ") else line[1:])
                continue
            field = None
            if not line.strip() or line.startswith("#"):
                continue
            key, sep, value = line.partition(":")
            if not sep:
                sys.exit(f"{path}:{number}: expected 'key: value'")
            value = value[1:] if value.startswith(" ") else value
            if key == "id":
                cur = {"id": value, "stage": "native", "line": number}
                mutants.append(cur)
            elif cur is None:
                sys.exit(f"{path}:{number}: a mutant starts with 'id:'")
            elif key in ("search", "replace"):
                cur[key] = [value] if value else []
                field = key
            elif key in ("file", "fault", "stage"):
                cur[key] = value
            else:
                sys.exit(f"{path}:{number}: unknown key '{key}'")
    seen = set()
    for m in mutants:
        for key in ("file", "fault", "search", "replace"):
            if key not in m:
                sys.exit(f"{path}:{m['line']}: mutant {m['id']} lacks '{key}'")
        if m["id"] in seen:
            sys.exit(f"{path}:{m['line']}: mutant id {m['id']} used twice")
        seen.add(m["id"])
        m["search"], m["replace"] = "\n".join(m["search"]), "\n".join(m["replace"])
        if not m["search"]:
            sys.exit(f"{path}:{m['line']}: mutant {m['id']} has an empty search text")
    return mutants

def chosen(mutants, stage, patterns):
    def match(mid):
        return not patterns or any(
            mid.startswith(p[:-1]) if p.endswith("*") else mid == p for p in patterns)
    unknown = [p for p in patterns if not any(
        (m["id"].startswith(p[:-1]) if p.endswith("*") else m["id"] == p) for m in mutants)]
    if unknown:
        sys.exit("no mutant matches: " + " ".join(unknown))
    return [m for m in mutants if match(m["id"])]

def apply(m, root, write):
    path = os.path.join(root, m["file"])
    try:
        text = open(path, encoding="utf-8").read()
    except OSError as e:
        return f"does not apply: {m['file']}: {e.strerror}"
    count = text.count(m["search"])
    if count != 1:
        return f"does not apply: search text found {count} times in {m['file']}"
    if write:
        with open(path, "w", encoding="utf-8") as f:
            f.write(text.replace(m["search"], m["replace"]))
    return ""

def compile_check(m, root, build):
    """Compiles the mutated file (a header: a source that includes it) without an object."""
    import json, shlex, subprocess
    os.nice(max(0, int(os.environ.get("MUTATION_NICE", "0")) - os.nice(0)))
    commands = {os.path.realpath(c["file"]): c for c in
                json.load(open(os.path.join(build, "compile_commands.json")))}
    target = os.path.realpath(os.path.join(root, m["file"]))
    if target not in commands:
        name = "/" + os.path.basename(m["file"])
        target = next((f for f in sorted(commands) if any(
            line.startswith("#include") and name + '"' in line
            for line in open(f, encoding="utf-8", errors="replace"))), None)
    if target is None:
        return "no source file compiles it"
    path = os.path.join(root, m["file"])
    original, times = open(path, encoding="utf-8").read(), os.stat(path)
    problem = apply(m, root, True)
    if problem:
        return problem
    try:
        words, kept, skip = shlex.split(commands[target]["command"]), [], False
        for word in words[1 if words[0].endswith("ccache") else 0:]:
            if skip:
                skip = False
            elif word in ("-o", "-MF", "-MT", "-MQ"):
                skip = True
            elif word not in ("-MD", "-MMD", "-c"):
                kept.append(word)
        run = subprocess.run(kept + ["-fsyntax-only"], cwd=commands[target]["directory"],
                             capture_output=True, text=True)
        errors = [l for l in run.stderr.splitlines() if "error" in l]
        return "" if run.returncode == 0 else "does not compile: " + (errors or ["?"])[0][:160]
    finally:
        # Back as it was, time included, so the build tree does not take it for changed.
        with open(path, "w", encoding="utf-8") as f:
            f.write(original)
        os.utime(path, ns=(times.st_atime_ns, times.st_mtime_ns))

command, path, stage, root, *patterns = sys.argv[1:]
build = None
if command == "compile":
    build, *patterns = patterns
mutants = chosen(parse(path), stage, patterns)
if command == "list":
    for m in mutants:
        print("\t".join((m["id"], m["stage"], m["file"], m["fault"])))
elif command == "check":
    bad = 0
    for m in mutants:
        problem = apply(m, root, False)
        if problem:
            bad += 1
            print(f"{m['id']}: {problem}")
    print(f"{len(mutants)} mutants checked, {bad} do not apply")
    sys.exit(1 if bad else 0)
elif command == "compile":
    bad = checked = 0
    for m in mutants:
        if m["stage"] != stage:
            print(f"{m['id']}: skipped, needs the {m['stage']} stage")
            continue
        problem = compile_check(m, root, build)
        print(f"{m['id']}: {problem or 'compiles'}", flush=True)
        bad += bool(problem)
        checked += 1
    print(f"{checked} mutants compiled, {bad} do not apply or do not compile")
    sys.exit(1 if bad else 0)
elif command == "apply":
    problem = apply(mutants[0], root, True)
    if problem:
        print(problem)
        sys.exit(3)
PY
}

[ -f "$list" ] || { echo "mutation-check: no mutant list at $list" >&2; exit 2; }
mapfile -t rows < <(mutants_tool list "$list" "$stage" / "${selected[@]}") || exit 2
[ ${#rows[@]} -gt 0 ] || { echo "mutation-check: no mutants selected" >&2; exit 2; }

sha=$(git -C "$repo" rev-parse HEAD) || exit 2
if [ -n "$workdir" ]; then
  mkdir -p "$workdir" && workdir=$(cd "$workdir" && pwd)
  keep=1
else
  workdir=$(mktemp -d "${TMPDIR:-/tmp}/orvo-mutation.XXXXXX")
  keep=0
fi
src=$workdir/src
current_file=""
# A copy of the list, so editing it during a long run changes nothing in that run.
cp "$list" "$workdir/mutants.txt" && list=$workdir/mutants.txt

cleanup() {
  # Never leave the scratch copy mutated, even when interrupted.
  [ -n "$current_file" ] && git -C "$src" checkout -q -- "$current_file" 2>/dev/null
  [ "$keep" = 1 ] || rm -rf "$workdir"
}
trap cleanup EXIT
# Written to the terminal the run started on, whatever command's output was redirected then.
exec 3>&1
trap 'echo >&3; echo "mutation-check: interrupted" >&3; exit 130' INT TERM

# A clone sharing the repository's objects; checking out again later rewrites only the files
# that differ, with fresh times, so a kept build tree rebuilds exactly what changed.
if [ ! -d "$src/.git" ]; then
  git clone -q --shared --no-checkout "$repo" "$src" || exit 2
fi
git -C "$src" checkout -q -f --detach "$sha" || exit 2
git -C "$src" clean -q -fd || exit 2
echo "mutation-check: HEAD $(git -C "$src" log -1 --format='%h %s' | cut -c1-70)"
echo "mutation-check: scratch copy $src"

if [ "$check_only" = 1 ]; then
  mutants_tool check "$list" "$stage" "$src" "${selected[@]}"
  exit $?
fi

if [ "$stage" = windows ]; then preset=windows; else preset=native; fi
build=$src/build/$preset
mkdir -p "$out/logs"
rm -f "$out"/logs/*.log

# Each discovered native test gets the chosen time limit (the suite's own is 300 s), so a mutant
# that makes a test hang costs less. Only the scratch copy is changed.
sed -i -E "s/(PROPERTIES TIMEOUT) [0-9]+\)/\1 $test_timeout)/" "$src/tests/CMakeLists.txt"
grep -q "TIMEOUT $test_timeout" "$src/tests/CMakeLists.txt" ||
  echo "mutation-check: warning: could not set the per-test time limit; the suite's own applies"

if command -v ccache >/dev/null; then
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache
  # Paths relative to the scratch copy, so a fresh scratch folder still hits the cache.
  export CCACHE_BASEDIR=$src CCACHE_NOHASHDIR=1
fi

# Descriptor 3 is the script's own; the build and the tests must not inherit it.
run_nice() { nice -n "$nice_level" "$@" 3>&-; }

build_tree() {
  run_nice cmake --build "$build" -j "$jobs" >"$1" 2>&1
}

# ctest starts the tests it recorded as costly first; for a mutant the quick tests should come
# first, since most faults fail one of them and the run stops there. So before each mutant's run
# the costs the unmutated run recorded are put back inverted.
cost_file=$build/Testing/Temporary/CTestCostData.txt
baseline_costs=$workdir/baseline-costs.txt
quick_tests_first() {
  [ -f "$baseline_costs" ] || return 0
  awk 'NF == 3 { printf "%s %s %.6f\n", $1, $2, 1 / ($3 + 0.001) } $0 == "---" { exit }' \
    "$baseline_costs" >"$cost_file"
  echo "---" >>"$cost_file"
}

# Runs the suite; prints the first failing test (or nothing) and returns ctest's status.
run_suite() {
  [ "${2:-}" = mutant ] && quick_tests_first
  local log=$1 args=(--test-dir "$build" --stop-on-failure -j "$test_jobs" --output-on-failure
    --timeout "$test_timeout")
  [ -n "$tests_r" ] && args+=(-R "$tests_r")
  [ -n "$tests_e" ] && args+=(-E "$tests_e")
  # Stand-in for a hang of ctest itself: the whole run may take at most ten test limits.
  run_nice timeout -k 30 $((test_timeout * 10)) ctest "${args[@]}" >>"$log" 2>&1
  local rc=$?
  if [ $rc -eq 124 ] || [ $rc -eq 137 ]; then
    echo "suite stopped after $((test_timeout * 10)) s"
  elif [ $rc -ne 0 ]; then
    # "The following tests FAILED:" then lines like "	 12 - Suite.Case (Failed)".
    awk '/The following tests FAILED/ { getline; sub(/^[ \t]*[0-9]+ - /, ""); print; exit }' "$log"
  fi
  return $rc
}

echo "mutation-check: configuring and building $build"
(cd "$src" && run_nice cmake --preset "$preset" -DORVO_BUILD_BENCH=OFF >"$out/logs/configure.log" 2>&1) || {
  echo "mutation-check: configure failed, see $out/logs/configure.log"
  exit 1
}
started=$(date +%s)
build_tree "$out/logs/baseline-build.log" || {
  echo "mutation-check: the unmutated tree does not build, see $out/logs/baseline-build.log"
  exit 1
}
echo "mutation-check: unmutated build took $(($(date +%s) - started)) s"
if [ "$compile_check" = 1 ]; then
  MUTATION_NICE=$nice_level mutants_tool compile "$list" "$stage" "$src" "$build" "${selected[@]}"
  exit $?
fi
if [ "$skip_baseline" = 0 ]; then
  started=$(date +%s)
  failure=$(run_suite "$out/logs/baseline-suite.log") || {
    echo "mutation-check: the unmutated suite fails (${failure:-see log}), see $out/logs/baseline-suite.log"
    exit 1
  }
  echo "mutation-check: unmutated suite passed in $(($(date +%s) - started)) s"
  cp "$cost_file" "$baseline_costs" 2>/dev/null
elif [ ! -f "$baseline_costs" ] && [ -f "$cost_file" ]; then
  cp "$cost_file" "$baseline_costs"  # the costs an earlier run in this folder recorded
fi

results=$out/results.tsv
printf 'id\tresult\tseconds\tdetail\tfault\tbuild_seconds\n' >"$results"
caught=0 survived=0 uncompiled=0 unapplied=0 skipped=0 total=0
for row in "${rows[@]}"; do
  IFS=$'\t' read -r id mstage file fault <<<"$row"
  if [ "$mstage" != "$stage" ]; then
    skipped=$((skipped + 1))
    continue
  fi
  total=$((total + 1))
  log=$out/logs/$id.log
  started=$(date +%s)
  built=$started
  detail=""
  if ! detail=$(mutants_tool apply "$list" "$stage" "$src" "$id"); then
    result="did not apply"
    unapplied=$((unapplied + 1))
  else
    current_file=$file
    if ! build_tree "$log"; then
      result="did not compile"
      built=$(date +%s)
      detail=$(grep -m1 -E 'error:' "$log" | cut -c1-100)
      uncompiled=$((uncompiled + 1))
    elif built=$(date +%s) && detail=$(run_suite "$log" mutant); then
      result=survived
      survived=$((survived + 1))
    else
      result=caught
      caught=$((caught + 1))
    fi
    git -C "$src" checkout -q -- "$file"
    current_file=""
  fi
  seconds=$(($(date +%s) - started))
  printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$id" "$result" "$seconds" "$detail" "$fault" \
    $((built - started)) >>"$results"
  printf '%-10s %-16s %5ss  %s\n' "$id" "$result" "$seconds" "${detail:0:70}"
done

echo
echo "mutation-check: results"
# The failing test for a caught mutant, the fault for a survivor, the reason for the others.
awk -F'\t' 'NR > 1 { printf "%-10s %-16s %5ss  %s\n", $1, $2, $3, ($2 == "survived" ? $5 : $4) }' \
  "$results"
awk -F'\t' 'NR > 1 && $2 == "survived" { print $1 "\t" $5 }' "$results" >"$out/survivors.txt"
echo
[ "$skipped" -gt 0 ] && echo "($skipped mutants of another stage skipped)"
echo "survivors: $out/survivors.txt"
awk -F'\t' 'NR > 1 { n++; t += $3 } END { if (n) printf "time: %d s for %d mutants, %d s each on average\n", t, n, t / n }' \
  "$results"
echo "$total mutants: $caught caught, $survived survived, $uncompiled did not compile, $unapplied did not apply"
exit
}
