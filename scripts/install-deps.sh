#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when run as root and any is
# missing. As another user it only reports what is missing.
set -euo pipefail
packages=(cmake g++ make libgtest-dev libgmock-dev googletest
          g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64 clang-14 libfuzzer-14-dev libclang-rt-14-dev
          pkgconf dpkg-dev file libsqlite3-dev liblmdb-dev)  # the last two: make bench only
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: not root; missing packages: ${missing[*]} (the checks that need them will say they skipped)"
  exit 0
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null
