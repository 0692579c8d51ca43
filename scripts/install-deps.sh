#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those that are missing.
# Extra package names may be given as arguments; after --only, just the packages named.
set -euo pipefail

# libsrecord-dev (with Boost's headers, which its headers include) reads the tester's flash images; srec_cat
# (srecord) makes the tests' Intel HEX and S-record files.
packages=(cmake make g++ libgtest-dev libgmock-dev libbenchmark-dev libssl-dev openssl tshark libsrecord-dev
  libboost-dev srecord)
if [ "${1:-}" = "--only" ]; then
  shift
  packages=()
fi
packages+=("$@")
missing=()
for pkg in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
# A failed index refresh is not fatal: the packages may still install from the lists already present.
$sudo apt-get update || echo "apt-get update failed; trying with the package lists already present" >&2
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
