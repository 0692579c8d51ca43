#!/usr/bin/env bash
# Installs the library from a build to a temporary prefix, then builds a C and a C++ program against the
# installed copy only (find_package(doip), tests/install/) and runs them: the path an application takes.
# Usage: scripts/install-check.sh [BUILD-DIR]   (default build; configured and built when missing)
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${1:-build}
if [ ! -f "$build_dir/CMakeCache.txt" ]; then
  cmake -S . -B "$build_dir" >/dev/null
fi
cmake --build "$build_dir" -j"$(nproc)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
cmake -S tests/install -B "$work/consumers" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/consumers" -j"$(nproc)" >/dev/null
# The installed library must be found by the installed package alone, not from the build tree.
"$work/consumers/c_consumer"
"$work/consumers/cpp_consumer"
echo "install check: the installed library serves a C and a C++ program"
