#!/usr/bin/env bash
# Builds the benchmark programs of bench/ (Release), runs each, and writes docs/PERFORMANCE.md: the machine,
# the date and a table of every figure beside its floor, the ratio and the goal.
# Usage: scripts/bench.sh [BUILD-DIR]   (default build-bench; the JSON results go to BUILD-DIR/bench-results)
# Exits non-zero when a program fails; a goal missed is reported in the table, not as a failure.
set -euo pipefail
cd "$(dirname "$0")/.."

case "${1:-}" in
  -h|--help) sed -n '2,5p' "$0"; exit 0 ;;
esac
build_dir=${1:-build-bench}

scripts/install-deps.sh python3

cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DDOIP_BUILD_BENCH=ON -DDOIP_BUILD_TOOLS=ON -DDOIP_BUILD_TESTS=OFF
cmake --build "$build_dir" -j2

results="$build_dir/bench-results"
rm -rf "$results"
mkdir -p "$results"

# The quick programs run five times and report the median; the others take their samples in one run.
repeated="codec_bench cache_bench"
for program in "$build_dir"/bench/*_bench; do
  name=$(basename "$program")
  args=()
  if [[ " $repeated " == *" $name "* ]]; then
    args=(--benchmark_repetitions=5 --benchmark_report_aggregates_only=true --benchmark_min_time=0.2)
  fi
  echo "== $name"
  "$program" "${args[@]}" --benchmark_format=json --benchmark_out_format=json \
    --benchmark_out="$results/$name.json" >/dev/null
done

command="scripts/bench.sh"
if [ "$build_dir" != build-bench ]; then
  command="scripts/bench.sh $build_dir"
fi
python3 scripts/bench_report.py "$results" docs/PERFORMANCE.md "$command"
cat docs/PERFORMANCE.md
