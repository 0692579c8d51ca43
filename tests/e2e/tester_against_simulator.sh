#!/usr/bin/env bash
# The tester program against a simulator program over 127.0.0.1, each possibly built for another system
# (the Windows doip-tester under Wine against the native doip-sim): routing activation, UDS over TCP,
# vehicle identification and entity status over UDP, and a refused activation.
# Usage: tester_against_simulator.sh SIMULATOR TESTER-COMMAND...
# (TESTER-COMMAND is the tester program, preceded by its emulator if it needs one.)
set -euo pipefail

if [ $# -lt 2 ]; then
  sed -n '5p' "$0" >&2
  exit 2
fi
simulator=$1
shift
tester=("$@")

work=$(mktemp -d)
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# Starts the simulator on an ephemeral port with the given options and sets $port.
start_simulator() {
  cleanup_sim
  "$simulator" --port 0 --quiet "$@" >"$work/sim.out" 2>&1 &
  sim_pid=$!
  port=""
  for _ in $(seq 1 100); do
    port=$(sed -n 's/^doip-sim listening on 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p' "$work/sim.out")
    [ -n "$port" ] && return 0
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "the simulator did not start:" >&2
  cat "$work/sim.out" >&2
  exit 1
}
cleanup_sim() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    sim_pid=""
  fi
}

failures=0
# expect NAME EXIT-CODE PATTERN TESTER-ARGUMENTS...: runs the tester and checks its exit code and output.
expect() {
  local name=$1 want=$2 pattern=$3
  shift 3
  local got=0
  "${tester[@]}" "$@" >"$work/out" 2>&1 || got=$?
  if [ "$got" -ne "$want" ] || ! grep -qE "$pattern" "$work/out"; then
    echo "FAIL $name: exit $got (want $want), output must match /$pattern/:" >&2
    cat "$work/out" >&2
    failures=$((failures + 1))
  else
    echo "ok   $name"
  fi
}

start_simulator
target=(--host 127.0.0.1 --port "$port")
expect activate 0 "code 0x10" activate "${target[@]}"
expect uds-vin 0 "WDOIPSIM000000001" uds 22F190 3E00 "${target[@]}"
expect uds-negative 3 "NRC 0x11" uds 1902FF "${target[@]}"
expect discover 0 "WDOIPSIM000000001" discover "${target[@]}"
expect status 0 "max sockets 255" status "${target[@]}"

start_simulator --activation-code 06
target=(--host 127.0.0.1 --port "$port")
expect activation-refused 1 "0x1007" activate "${target[@]}"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
