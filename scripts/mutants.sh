#!/bin/bash
# Mutation run: plants each fault of scripts/mutants/faults.txt in a scratch copy of the tree, one at a
# time, builds what the fault's tests need, runs those tests, and reports whether they caught it.
#
#   scripts/mutants.sh [FILTER]     run the faults whose name matches the regex FILTER (default: all)
#   scripts/mutants.sh --list [FILTER]   list the faults, their files, tests and reasons
#   scripts/mutants.sh --check [FILTER]  only check that every anchor still occurs exactly once
#   scripts/mutants.sh --matrix [FILTER] run the whole suite against each fault, not only the fault's
#                                        tests, and list every test that fails (logs/matrix.txt): a
#                                        fault caught by many tests, or a test that catches nothing
#                                        no other test catches, shows where the suite repeats itself
#
# Per fault it prints: name, killed | survived | anchor lost | build failed, seconds. Then killed/total
# and the score, killed / (killed + survived). Exit status: 0 when every anchor was found and every
# fault built, 1 when an anchor is lost, 2 when a fault failed to build. The score does not change it.
#
# Environment: MUTANTS_DIR (scratch directory, default build-mutants/ at the top of the tree; it holds
# the copy in tree/, its build in build/ and one log per fault in logs/), MUTANTS_FACTOR (test timeout
# as a multiple of the tests' unmutated time, plus 30 s; default 3), MUTANTS_LIST (the fault list),
# MUTANTS_REBASE=1 (measure the unmutated times again).
# Needs root, like the tests themselves.
set -u -o pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
helper=$top/scripts/mutants/fault.py
list=${MUTANTS_LIST:-$top/scripts/mutants/faults.txt}
work=${MUTANTS_DIR:-$top/build-mutants}
factor=${MUTANTS_FACTOR:-3}
tree=$work/tree
build=$work/build
logs=$work/logs

mode=run
case ${1:-} in
  --list) mode=list; shift ;;
  --check) mode=check; shift ;;
  --matrix) mode=matrix; shift ;;
  -h|--help) sed -n '2,21p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  -*) echo "mutants.sh: unknown option $1" >&2; exit 64 ;;
esac
filter=${1:-}

mapfile -t names < <(python3 "$helper" names "$list" "$filter") || exit 64
if [ ${#names[@]} -eq 0 ]; then
  echo "mutants.sh: no fault matches '$filter'" >&2
  exit 64
fi
if [ $mode = list ]; then
  exec python3 "$helper" list "$list" "$filter"
fi

# The scratch copy: the files git knows of (tracked, or new and not ignored), copied only when they
# differ so that the build directory stays warm between runs.
sync_tree() {
  mkdir -p "$tree" "$logs"
  local f
  (cd "$top" && git ls-files -z --cached --others --exclude-standard) |
    while IFS= read -r -d '' f; do
      [ -f "$top/$f" ] || continue
      if ! cmp -s "$top/$f" "$tree/$f"; then
        mkdir -p "$(dirname "$tree/$f")"
        cp "$top/$f" "$tree/$f"  # a fresh time: make rebuilds what depended on the old text
      fi
    done
  # Files removed from the worktree leave the copy too (the CMake globs would still see them).
  (cd "$tree" && find . -type f -printf '%P\n') | while IFS= read -r f; do
    [ -e "$top/$f" ] || rm -f "$tree/$f"
  done
}

lost=0
check_anchor() {  # name [tree] -> 0 when the anchor occurs once in the clean tree
  local msg
  if ! msg=$(python3 "$helper" check "$list" "$1" "${2:-$tree}"); then
    printf '%-36s %-12s %4ds  (%s)\n' "$1" "anchor lost" 0 "$msg"
    lost=$((lost + 1))
    return 1
  fi
}

if [ $mode = check ]; then
  for n in "${names[@]}"; do check_anchor "$n" "$top" && printf '%-36s %s\n' "$n" "anchor found"; done
  echo "anchors lost: $lost of ${#names[@]}"
  [ $lost -eq 0 ]
  exit
fi

if [ "$(id -u)" != 0 ]; then
  echo "mutants.sh: the tests enter their sandbox as root; run as root" >&2
  exit 64
fi

# One run at a time per scratch directory: a second one would rewrite the copy under the first.
mkdir -p "$work"
exec 9>"$work/lock"
if ! flock -n 9; then
  echo "mutants.sh: another run uses $work" >&2
  exit 64
fi
sync_tree

if [ ! -f "$build/CMakeCache.txt" ]; then
  # A program picks up a changed libkiv.so when it runs: relinking every test program after each
  # library fault would only cost time.
  cmake -S "$tree" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_LINK_DEPENDS_NO_SHARED=ON \
    -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache >"$logs/configure.log" 2>&1 ||
    { echo "mutants.sh: configure failed, see $logs/configure.log" >&2; exit 64; }
fi

build_targets() {  # log targets...
  local log=$1; shift
  cmake --build "$build" -j2 --target "$@" >>"$log" 2>&1
}

run_tests() {  # log regex seconds [fail fast]
  # A planted fault needs one failing test: GoogleTest and ctest stop at the first. The matrix
  # wants every failing test instead, and the whole suite, in parallel.
  local fast=()
  [ -n "${4:-}" ] && fast=(--stop-on-failure)
  [ $mode = matrix ] && fast=(-j2)
  # KILL, not TERM: the sandbox's outer process ignores SIGTERM and would outlive ctest; killed, it takes
  # its sandbox along (PR_SET_PDEATHSIG), and timeout signals ctest's whole process group.
  (cd "$build" && GTEST_FAIL_FAST=${4:-0} timeout -s KILL "$3" ctest -R "$2" --output-on-failure "${fast[@]}") >>"$1" 2>&1
}

# Whatever happens, the copy gets its original file back.
current=
restore() {
  if [ -n "$current" ]; then
    cp "$work/original" "$tree/$current"  # a fresh time, so that the next build drops the mutant
    current=
  fi
}
trap 'restore; exit 130' INT TERM
trap restore EXIT

# Unmutated time of each test module the selected faults use: the base of their timeouts. A module
# that fails unmutated cannot judge a fault. The times are kept in the scratch directory for as long
# as the copy of the tree is byte for byte the same (MUTANTS_REBASE=1 measures again).
tree_sum=$(cd "$tree" && find . -type f ! -path "./scripts/mutants*" -print0 | sort -z | xargs -0 md5sum | md5sum | cut -d' ' -f1)
cache=$work/baseline.times
[ "${MUTANTS_REBASE:-0}" = 1 ] && rm -f "$cache"
declare -A base_secs
if [ -f "$cache" ]; then
  while read -r sum m secs; do
    [ "$sum" = "$tree_sum" ] && base_secs[$m]=$secs
  done <"$cache"
fi
module_targets() {  # module -> what its ctest entries need
  case $1 in kiv_*) echo "${1}_test" ;; *) echo all ;; esac
}
fault_modules() {  # fault -> the test modules it is judged by
  if [ $mode = matrix ]; then echo all; else python3 "$helper" modules "$list" "$1"; fi
}
for n in "${names[@]}"; do
  check_anchor "$n" >/dev/null || continue
  for m in $(fault_modules "$n"); do
    [ -n "${base_secs[$m]:-}" ] && continue
    log=$logs/baseline.$m.log
    : >"$log"
    # shellcheck disable=SC2046
    if ! build_targets "$log" $(module_targets "$m"); then
      echo "mutants.sh: the unmutated tree does not build, see $log" >&2
      exit 64
    fi
    start=$SECONDS
    rx_m="^($m)(_|\$)"
    [ $m = all ] && rx_m=.
    if run_tests "$log" "$rx_m" 1800 "" ; then
      base_secs[$m]=$((SECONDS - start))
      echo "baseline $m: passed in ${base_secs[$m]}s"
    else
      base_secs[$m]=failed
      echo "baseline $m: FAILED unmutated (see $log); its faults are not judged"
    fi
    echo "$tree_sum $m ${base_secs[$m]}" >>"$cache"
  done
done
lost=0

killed=0 survived=0 broken=0 unjudged=0 total=0
rm -f "$logs/matrix.txt.new"
survivors=()
for n in "${names[@]}"; do
  total=$((total + 1))
  check_anchor "$n" || continue
  file=$(python3 "$helper" file "$list" "$n")
  rx=$(python3 "$helper" regex "$list" "$n")
  log=$logs/$n.log
  start=$SECONDS
  base=0
  for m in $(fault_modules "$n"); do
    if [ "${base_secs[$m]}" = failed ]; then base=failed; break; fi
    base=$((base + base_secs[$m]))
  done
  if [ $base = failed ]; then
    printf '%-36s %-12s %4ds\n' "$n" "not judged" 0
    unjudged=$((unjudged + 1))
    continue
  fi
  cp -p "$tree/$file" "$work/original"
  current=$file
  python3 "$helper" apply "$list" "$n" "$tree" >"$log" 2>&1
  # shellcheck disable=SC2046
  targets=$(python3 "$helper" targets "$list" "$n")
  if [ $mode = matrix ]; then targets=all; rx=.; fi
  # shellcheck disable=SC2086
  if ! build_targets "$log" $targets; then
    status="build failed"
    broken=$((broken + 1))
  else
    limit=$((base * factor + 30))
    fast=1
    [ $mode = matrix ] && fast=
    if { run_tests "$log" "$rx" "$limit" $fast; } 2>/dev/null; then  # no "Killed" notice from the shell
      status=survived
      survived=$((survived + 1))
      survivors+=("$n")
    else
      status=killed
      killed=$((killed + 1))
    fi
  fi
  restore
  if [ $mode = matrix ]; then
    # GoogleTest names its failed tests; a ctest entry of another kind (a shell test) counts whole.
    # A test that crashed or hung has a RUN line and neither an OK nor a FAILED one.
    caught=$( { awk '/^\[ RUN      \] /{open[$4]=1} /^\[       OK \] /{delete open[$4]}
                     /^\[  FAILED  \] [A-Za-z]/{print $4; delete open[$4]} END {for (t in open) print t}' "$log"
                grep -E '^[[:space:]]*[0-9]+ - [^ ]+ \((Failed|Timeout|SEGFAULT|Subprocess aborted)\)' "$log" |
                  awk '{print "ctest:" $3}'; } | sort -u | tr '\n' ' ')
    echo "$n: ${caught:-(none)}" >>"$logs/matrix.txt.new"
  fi
  printf '%-36s %-12s %4ds\n' "$n" "$status" $((SECONDS - start))
done

[ $mode = matrix ] && [ -f "$logs/matrix.txt.new" ] && mv "$logs/matrix.txt.new" "$logs/matrix.txt" &&
  echo "every failing test per fault: $logs/matrix.txt"
judged=$((killed + survived))
echo "killed $killed / total $total (survived $survived, anchor lost $lost, build failed $broken, not judged $unjudged)"
if [ $judged -gt 0 ]; then
  echo "score: $((killed * 100 / judged))% of the faults that built were caught"
fi
[ ${#survivors[@]} -gt 0 ] && echo "survivors: ${survivors[*]}"
# Leave the build matching the clean copy.
[ $lost -gt 0 ] && exit 1
[ $broken -gt 0 ] && exit 2
exit 0
