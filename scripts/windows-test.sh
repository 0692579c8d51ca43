#!/usr/bin/env bash
# Cross-builds doip.dll, the test suite and the tools for 64-bit (x86_64) and 32-bit (i686) Windows with
# MinGW-w64 and runs the tests under Wine: the x86_64 build under 64-bit Wine, the i686 build under
# 32-bit Wine when it is installed (else it is compiled and linked, and its export table checked). The
# Windows tester also runs against the native simulator over 127.0.0.1. Installs what is missing first.
# Usage: scripts/windows-test.sh [--no-wine32] [--native-simulator PATH]
# Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

deps_options=()
native_simulator=""
while [ $# -gt 0 ]; do
  case "$1" in
    --no-wine32) deps_options+=(--no-wine32); shift ;;
    --native-simulator) native_simulator="$2"; shift 2 ;;
    -h|--help) sed -n '2,7p' "$0"; exit 0 ;;
    *) echo "unknown option: $1 (see --help)" >&2; exit 2 ;;
  esac
done

started=$(date +%s)
step() {
  echo "== [$(($(date +%s) - started)) s] $*"
}

step "installing what is missing"
scripts/windows-deps.sh "${deps_options[@]}"

# Wine's own diagnostics would drown the test output.
export WINEDEBUG=-all
wine64=/usr/lib/wine/wine64
[ -x "$wine64" ] || wine64=$(command -v wine64 || command -v wine)
wineserver=/usr/lib/wine/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver)

step "preparing the Wine prefix"
# One persistent server for the whole run, instead of one started and stopped around every test program
# (unless a server runs already). It only needs the prefix folder; the first program creates the prefix.
mkdir -p "${WINEPREFIX:-$HOME/.wine}"
if "$wineserver" -p 2>/dev/null; then
  trap '"$wineserver" -k 2>/dev/null || true' EXIT
fi
"$wine64" wineboot --init >/dev/null 2>&1 || true

if [ -z "$native_simulator" ]; then
  native_simulator=build/tools/doip-sim
  if [ ! -x "$native_simulator" ]; then
    step "building the native simulator"
    cmake -S . -B build-native-tools -DCMAKE_BUILD_TYPE=Release -DDOIP_BUILD_TESTS=OFF >/dev/null
    cmake --build build-native-tools --target doip-sim -j2 >/dev/null
    native_simulator=build-native-tools/tools/doip-sim
  fi
fi
native_simulator=$(realpath "$native_simulator")

common=(-DCMAKE_BUILD_TYPE=Release -DDOIP_BUILD_TESTS=ON -DDOIP_BUILD_BENCH=OFF -DDOIP_BUILD_TOOLS=ON
  -DDOIP_NATIVE_SIMULATOR="$native_simulator")

step "x86_64: configuring and building"
cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/x86_64-w64-mingw32.cmake "${common[@]}" \
  -UCMAKE_CROSSCOMPILING_EMULATOR >/dev/null
cmake --build build-win64 -j2
step "x86_64: running the tests under 64-bit Wine"
ctest --test-dir build-win64 --output-on-failure --no-tests=error -j2

# Can this Wine run 32-bit programs (Debian: wine32:i386)? Ask it with a tiny program. Its output is what
# counts: without wine32, Wine may fail to start the program and still exit with 0.
probe_dir=$(mktemp -d)
printf '#include <stdio.h>\nint main(void) { puts("32-bit ok"); return 0; }\n' >"$probe_dir/probe.c"
wine32=0
if i686-w64-mingw32-gcc-posix "$probe_dir/probe.c" -o "$probe_dir/probe.exe" &&
  timeout 60 wine "$probe_dir/probe.exe" 2>/dev/null | grep -q "32-bit ok"; then
  wine32=1
fi
rm -rf "$probe_dir"

step "i686: configuring and building"
if [ "$wine32" = 1 ]; then
  emulator=(-UCMAKE_CROSSCOMPILING_EMULATOR)
else
  not_run="32-bit tests NOT run: this Wine cannot start a 32-bit program (Debian's wine32:i386 is missing or\
 unusable); the i686 build is compiled and linked and its export table is checked (scripts/i686-test.sh\
 runs the suite as 32-bit Linux programs)"
  echo "$not_run"
  emulator=(-DCMAKE_CROSSCOMPILING_EMULATOR=)
fi
cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/i686-w64-mingw32.cmake "${common[@]}" \
  "${emulator[@]}" >/dev/null
cmake --build build-win32 -j2
if [ "$wine32" = 1 ]; then
  step "i686: running the tests under 32-bit Wine"
else
  step "i686: checking the export table (the only test that needs no 32-bit Wine)"
fi
ctest --test-dir build-win32 --output-on-failure --no-tests=error -j2

step "done"
if [ "$wine32" = 0 ]; then
  echo "$not_run"
fi
