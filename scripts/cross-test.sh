#!/bin/bash
# Builds libkiv, its tools and tests for the device (aarch64, glibc) with
# Debian's cross compiler and runs the tests under qemu-user. Run as root, like
# scripts/test.sh: the test binaries make the same throwaway sandbox.
#   scripts/cross-test.sh    build in build-aarch64/, then test
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh crossbuild-essential-arm64 qemu-user

dir=$PWD/build-aarch64
toolchain=$PWD/cmake/aarch64-linux-gnu.cmake

# GoogleTest for the target, built from Debian's source package (the
# libgtest-dev libraries are for the host only).
gtest=$dir/googletest
if [ ! -f "$gtest/install/lib/cmake/GTest/GTestConfig.cmake" ]; then
  echo "building GoogleTest for aarch64 from /usr/src/googletest"
  cmake -S /usr/src/googletest -B "$gtest/build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$gtest/install" -DCMAKE_INSTALL_LIBDIR=lib >/dev/null
  cmake --build "$gtest/build" -j "$(nproc)" >/dev/null
  cmake --install "$gtest/build" >/dev/null
fi

cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKIV_BUILD_TESTS=ON -DGTest_DIR="$gtest/install/lib/cmake/GTest" >/dev/null
cmake --build "$dir" -j "$(nproc)"

# Test binaries that cannot run under qemu-user, and why.
declare -A cannot=(
)
skip=()
for t in "${!cannot[@]}"; do
  echo "not run under qemu-user: $t: ${cannot[$t]}"
  skip+=("$t")
done
exclude=()
if [ ${#skip[@]} -gt 0 ]; then
  exclude=(-E "^($(IFS='|'; echo "${skip[*]}"))\$")
fi
cd "$dir"
ctest -j 2 --output-on-failure "${exclude[@]}"
