#!/bin/bash
# Builds libkiv and runs every test. Run as root: the tests make throwaway
# namespaces and cgroups and touch nothing on the host.
#   scripts/test.sh              optimised build in build/
#   scripts/test.sh --sanitize   AddressSanitizer + UBSan build in build-asan/
set -euo pipefail
cd "$(dirname "$0")/.."

"$(dirname "$0")/install-deps.sh"

dir=build
flags=()
exclude=()
if [ "${1:-}" = "--sanitize" ]; then
  dir=build-asan
  flags=(-DKIV_SANITIZE=ON -DKIV_BUILD_BENCH=OFF)
  # A sanitized library depends on the sanitizer runtimes by design.
  exclude=(-E '^exports$')
fi

cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${flags[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)"
cd "$dir"
ctest -j 2 --output-on-failure "${exclude[@]}"
