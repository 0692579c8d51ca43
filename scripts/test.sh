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

cmake -S . -B "$build_dir" -DDOIP_SANITIZE="$sanitize" -DDOIP_BUILD_TESTS=ON -DDOIP_BUILD_BENCH=ON
cmake --build "$build_dir" -j"$(nproc)"
ctest --test-dir "$build_dir" --output-on-failure -j2
