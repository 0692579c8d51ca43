#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (AddressSanitizer + UndefinedBehaviorSanitizer) into
# build-fuzz and runs each for SECONDS (default 60), one after the other, on a scratch copy of its committed
# corpus with fuzz/doip.dict. Installs what is missing (Debian). Prints one line per target and exits
# non-zero on any crash, leak, timeout or out-of-memory; the input that caused it stays in
# build-fuzz/fuzz-findings/<target>/ and the path is printed.
# Usage: scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
case "$seconds" in
  '' | *[!0-9]*) echo "usage: scripts/fuzz.sh [SECONDS]" >&2; exit 2 ;;
esac

scripts/install-deps.sh --only cmake make clang libclang-rt-14-dev

build=build-fuzz
# The fuzzers need neither TLS nor the image reader: without them the packages above are all it takes.
CC=clang CXX=clang++ cmake -S . -B "$build" -DDOIP_BUILD_FUZZ=ON -DDOIP_BUILD_TESTS=OFF \
  -DDOIP_WITH_TLS=OFF -DDOIP_WITH_SRECORD=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target doip_fuzzers -j"$(nproc)"

failed=0
for program in "$build"/fuzz/fuzz_*; do
  target=${program##*/fuzz_}
  scratch="$build/fuzz-corpus/$target"
  findings="$build/fuzz-findings/$target"
  log="$build/fuzz-findings/$target.log"
  rm -rf "$scratch" "$findings"
  mkdir -p "$scratch" "$findings"
  cp fuzz/corpus/"$target"/* "$scratch"/
  rc=0
  "$program" "$scratch" -dict=fuzz/doip.dict -max_total_time="$seconds" -timeout=10 -max_len=4096 \
    -print_final_stats=1 -artifact_prefix="$findings/" >"$log" 2>&1 || rc=$?
  final_stat() { sed -n "s/^stat::$1: *//p" "$log"; }
  last=$(grep -E '^#[0-9]+.*cov: ' "$log" | tail -n 1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
  printf '%-11s %10s runs %8s exec/s  cov: %-5s ft: %-6s %ss\n' "$target" "$(final_stat number_of_executed_units)" \
    "$(final_stat average_exec_per_sec)" "${cov:-?}" "${ft:-?}" "$seconds"
  artifacts=$(find "$findings" -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \))
  if [ "$rc" -ne 0 ] || [ -n "$artifacts" ]; then
    failed=1
    echo "FAILED: $target (exit $rc); log: $log" >&2
    grep -E 'check failed|ERROR|SUMMARY' "$log" | head -n 5 >&2 || true
    for artifact in $artifacts; do
      echo "  input: $artifact" >&2
    done
  fi
done
exit "$failed"
