#!/usr/bin/env bash
# Installs what is missing (Debian), configures, builds and runs the whole test suite with CTest.
# Usage: scripts/test.sh [--sanitize address|thread] [--build-dir DIR]
# Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=""
build_dir=""
while [ $# -gt 0 ]; do
  case "$1" in
    --sanitize) sanitize="$2"; shift 2 ;;
    --build-dir) build_dir="$2"; shift 2 ;;
    -h|--help) sed -n '2,4p' "$0"; exit 0 ;;
    *) echo "unknown option: $1 (see --help)" >&2; exit 2 ;;
  esac
done
build_dir=${build_dir:-build${sanitize:+-$sanitize}}

scripts/install-deps.sh

# Benchmarks measure speed: they are built and given a short smoke run in the plain build only.
bench=OFF
if [ -z "$sanitize" ]; then
  bench=ON
fi
cmake -S . -B "$build_dir" -DDOIP_SANITIZE="$sanitize" -DDOIP_BUILD_TESTS=ON -DDOIP_BUILD_BENCH="$bench"
cmake --build "$build_dir" -j"$(nproc)"
ctest --test-dir "$build_dir" --output-on-failure --no-tests=error -j2

if [ "$bench" = ON ]; then
  for program in "$build_dir"/bench/*_bench; do
    echo "smoke run: $program"
    "$program" --benchmark_min_time=0.01 >/dev/null
  done
fi
