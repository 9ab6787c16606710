#!/bin/bash
# Builds the fuzz targets (clang, libFuzzer, ASan + UBSan) in build-fuzz/
# and runs each for a fixed time, one after the other. Run as root: the
# database scan's target works in a private mount namespace.
#   scripts/fuzz.sh                 every target, 15 s each
#   scripts/fuzz.sh 600 smaps       the smaps reader for ten minutes
# New inputs go to build-fuzz/corpus/NAME/ (the seeds in fuzz/NAME/corpus/
# are only read); a crashing input is written to build-fuzz/crash/.
set -euo pipefail
cd "$(dirname "$0")/.."

"$(dirname "$0")/install-deps.sh" fuzz

seconds=${1:-15}
shift || true
CC=clang CXX=clang++ cmake -S fuzz -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j "$(nproc)"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for d in fuzz/*/corpus; do targets+=("$(basename "$(dirname "$d")")"); done
fi
mkdir -p build-fuzz/crash
for t in "${targets[@]}"; do
  mkdir -p "build-fuzz/corpus/$t"
  echo "== fuzz_$t: $seconds s"
  # -timeout: an input that takes two seconds is a hang.
  if ! "build-fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=2 -max_len=65536 -rss_limit_mb=2048 \
      -artifact_prefix="build-fuzz/crash/$t-" -print_final_stats=1 \
      "build-fuzz/corpus/$t" "fuzz/$t/corpus" >"build-fuzz/$t.log" 2>&1; then
    tail -n 60 "build-fuzz/$t.log"
    echo "fuzz_$t failed; the input is in build-fuzz/crash/"
    exit 1
  fi
  grep -E '^stat::(number_of_executed_units|new_units_added)' "build-fuzz/$t.log"
done
