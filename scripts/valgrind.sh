#!/usr/bin/env bash
# Runs every test program of a native build, and the tester's demo (simulator and tester in one process),
# under valgrind's memcheck: any invalid read or write, use of an uninitialised value or definite leak fails
# the run. Installs valgrind if missing.
# Usage: scripts/valgrind.sh [BUILD_DIR]   (default: build, as scripts/test.sh leaves it)
# Exits non-zero on any finding or failed test.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build}
case "$build_dir" in -h|--help) sed -n '2,5p' "$0"; exit 0 ;; esac

scripts/install-deps.sh valgrind
runs=("$build_dir"/tests/doip_*_tests "$build_dir"/tests/doip_c_api_test "$build_dir"/tools/doip_e2e_tests
  "$build_dir/tools/doip-tester demo")
failed=0
for run in "${runs[@]}"; do
  read -r -a command <<<"$run"
  [ -x "${command[0]}" ] || { echo "missing: ${command[0]} (build with scripts/test.sh first)" >&2; exit 2; }
  log="${command[0]}.memcheck.log"
  started=$(date +%s)
  if valgrind --quiet --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite \
    "${command[@]}" >"$log" 2>&1; then
    echo "memcheck clean: $run ($(($(date +%s) - started)) s)"
  else
    echo "memcheck FAILED: $run (exit $?); its output:" >&2
    cat "$log" >&2
    failed=1
  fi
done
exit $failed
