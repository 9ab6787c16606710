#!/bin/bash
# Installs the Debian packages that building and testing libkiv need, when
# they are missing, and those that the arguments name: "fuzz" for clang and
# its libFuzzer runtime (the fuzz targets), any other argument a package. Run
# as root.
set -euo pipefail

packages=(g++ make cmake libgtest-dev libgmock-dev googletest
          strace iproute2 debianutils procps util-linux python3 groff-base)
# The unit check (systemd-analyze verify).
packages+=(systemd)
# The install test: pkg-config clients, and cpack's Debian packages (dpkg-shlibdeps, file).
packages+=(pkgconf dpkg-dev file)
for arg in "$@"; do
  if [ "$arg" = fuzz ]; then packages+=(clang libclang-rt-dev); else packages+=("$arg"); fi
done
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
