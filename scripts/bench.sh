#!/bin/sh
# Builds the Release tree in build-release/ and prints the performance
# table: every row times a library call (or the Manager) against the system
# calls it is made of, alternately in one run. Needs root (the rows run in
# the throwaway sandbox). "client" or "manager" as the only argument runs
# one half of the rows.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD="$ROOT/build-release"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DKIV_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j2 --target kiv_bench >/dev/null
# The library's own log lines (the debug configuration turns them on) are
# not part of the table.
"$BUILD/bench/kiv_bench" "$@" | grep -v '^\[KIV'
