#!/usr/bin/env bash
# Installs what is missing (Debian), builds the tester and runs its demo: a DoIP entity simulator started
# in-process on an ephemeral 127.0.0.1 port, and a transcript of a tester session against it.
# Usage: scripts/demo.sh [--build-dir DIR]
# Exits non-zero when a step of the demo does not go as expected.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir="build-demo"
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build_dir="$2"; shift 2 ;;
    -h|--help) sed -n '2,5p' "$0"; exit 0 ;;
    *) echo "unknown option: $1 (see --help)" >&2; exit 2 ;;
  esac
done

scripts/install-deps.sh

cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DDOIP_BUILD_TESTS=OFF -DDOIP_BUILD_TOOLS=ON >/dev/null
cmake --build "$build_dir" --target doip-tester -j"$(nproc)" >/dev/null
exec "$build_dir/tools/doip-tester" demo
