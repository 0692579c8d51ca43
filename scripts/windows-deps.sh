#!/usr/bin/env bash
# Installs what the Windows cross builds and their test run need on Debian 12, only what is missing:
# the MinGW-w64 cross compilers (posix thread model) and Wine. Non-interactive.
#
# 32-bit Wine (wine32) needs the i386 architecture. Unless --no-wine32 is given (or DOIP_WINE32=0 is set),
# this adds the architecture and installs wine32:i386 when they are missing; if that fails, the run goes
# on and the 32-bit Windows build is compiled and linked but not run.
# Usage: scripts/windows-deps.sh [--no-wine32]
set -euo pipefail
cd "$(dirname "$0")/.."

want_wine32=${DOIP_WINE32:-1}
while [ $# -gt 0 ]; do
  case "$1" in
    --no-wine32) want_wine32=0; shift ;;
    -h|--help) sed -n '2,8p' "$0"; exit 0 ;;
    *) echo "unknown option: $1 (see --help)" >&2; exit 2 ;;
  esac
done

# The native toolchain, GoogleTest's sources (libgtest-dev) and the rest of the native build.
scripts/install-deps.sh g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine64

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

if [ "$want_wine32" = "0" ] || installed wine32:i386; then
  exit 0
fi

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "installing wine32:i386 (32-bit Wine); on failure the 32-bit tests are only built" >&2
added_i386=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386 || { echo "cannot add the i386 architecture" >&2; exit 0; }
  added_i386=1
fi
$sudo apt-get update || echo "apt-get update failed; trying with the package lists already present" >&2
if ! DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends wine32:i386; then
  echo "wine32:i386 could not be installed; the 32-bit Windows tests will be built but not run" >&2
  # Leave the machine's package setup as it was.
  [ "$added_i386" = 1 ] && { $sudo dpkg --remove-architecture i386 || true; }
fi
exit 0
