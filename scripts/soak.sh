#!/usr/bin/env bash
# The soak: installs what is missing (Debian), builds the soak driver with AddressSanitizer and
# UndefinedBehaviorSanitizer into build-soak and runs it for MINUTES (default 2): testers on several
# connections against simulators that inject every fault. Prints a summary; exits non-zero when a check
# fails, a sanitizer reports an error or LeakSanitizer finds a leak at exit.
# Usage: scripts/soak.sh [MINUTES] [--sanitize address|thread] [--build-dir DIR]
set -euo pipefail
cd "$(dirname "$0")/.."

minutes=2
sanitize=address
build_dir=""
while [ $# -gt 0 ]; do
  case "$1" in
    --sanitize) sanitize="$2"; shift 2 ;;
    --build-dir) build_dir="$2"; shift 2 ;;
    -h|--help) sed -n '2,6p' "$0"; exit 0 ;;
    [0-9]*) minutes="$1"; shift ;;
    *) echo "unknown argument: $1 (see --help)" >&2; exit 2 ;;
  esac
done
case "$sanitize" in
  address) build_dir=${build_dir:-build-soak} ;;
  thread) build_dir=${build_dir:-build-soak-thread} ;;
  *) echo "--sanitize takes address or thread, not '$sanitize'" >&2; exit 2 ;;
esac
seconds=$(awk -v m="$minutes" 'BEGIN { s = int(m * 60); if (s < 1) s = 1; print s }')

scripts/install-deps.sh

cmake -S . -B "$build_dir" -DDOIP_SANITIZE="$sanitize" -DDOIP_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build_dir" --target doip_soak -j2

# Small quarantines (the global one, and each thread's) keep freed memory from looking like growth; leaks
# are reported at exit.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=1:quarantine_size_mb=16:thread_local_quarantine_size_kb=64"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:+$UBSAN_OPTIONS:}print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="${TSAN_OPTIONS:+$TSAN_OPTIONS:}halt_on_error=1:second_deadlock_stack=1"
echo "soak: $seconds s ($sanitize sanitizer, $build_dir)"
"$build_dir/tools/doip_soak" --seconds "$seconds"
