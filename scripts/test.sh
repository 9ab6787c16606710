#!/bin/bash
# Builds libkiv and runs every test. Run as root: the tests make throwaway
# namespaces and cgroups and touch nothing on the host.
#   scripts/test.sh              optimised build in build/
#   scripts/test.sh --sanitize   AddressSanitizer + UBSan build in build-asan/
#   scripts/test.sh --tsan       ThreadSanitizer build in build-tsan/
set -euo pipefail
cd "$(dirname "$0")/.."

"$(dirname "$0")/install-deps.sh"

dir=build
flags=()
exclude=()
case "${1:-}" in
  --sanitize) dir=build-asan; flags=(-DKIV_SANITIZE=address -DKIV_BUILD_BENCH=OFF) ;;
  --tsan) dir=build-tsan; flags=(-DKIV_SANITIZE=thread -DKIV_BUILD_BENCH=OFF)
    # Every report fails the run; the suppressions name their reasons.
    export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp" ;;
esac
# A sanitized library depends on the sanitizer runtimes by design.
[ "$dir" = build ] || exclude=(-E '^exports$')

cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${flags[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)"
cd "$dir"
# Most entries wait on real time (retry loops, timeouts) more than they
# compute, so three per CPU keep the machine busy without starving them.
start=$(date +%s%N)
ctest -j "$(($(nproc) * 3))" --output-on-failure "${exclude[@]}"
echo "test time: $((($(date +%s%N) - start) / 1000000)) ms"
