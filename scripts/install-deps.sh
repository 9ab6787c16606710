#!/bin/bash
# Installs the Debian packages that building and testing libkiv need, when
# they are missing. Run as root.
set -euo pipefail

packages=(g++ make cmake libgtest-dev libgmock-dev googletest libbenchmark-dev
          strace iproute2 debianutils procps util-linux systemd python3 groff-base)
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
