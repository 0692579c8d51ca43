#!/usr/bin/env bash
# Real network faults between doip-tester and doip-sim, in two network namespaces joined by a veth pair:
# packet loss (nftables), a slow link (tbf), a link that goes down and up, delay and jitter
# (doip-delay-proxy). Every tester run has a hard time limit; results are checked against docs/tools.md.
# Usage: scripts/netfault.sh [--build-dir DIR]   (default build-address: an AddressSanitizer build, so that
# LeakSanitizer checks every process at its exit; built here when it is missing)
# Needs root. Where network namespaces cannot be made it says why and exits 0.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=build-address
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build_dir="$2"; shift 2 ;;
    -h|--help) sed -n '2,7p' "$0"; exit 0 ;;
    *) echo "unknown option: $1 (see --help)" >&2; exit 2 ;;
  esac
done

# Installs the Debian packages given that are missing (as install-deps.sh does).
install_missing() {
  local missing=() sudo=""
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "installing: ${missing[*]}"
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update || echo "apt-get update failed; trying with the package lists already present" >&2
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
}

command -v ip >/dev/null || install_missing iproute2
id=$$
ns_a=doipnf${id}a ns_b=doipnf${id}b   # A: the tester; B: the simulator (and the proxy)
veth_a=dnf${id}a veth_b=dnf${id}b
addr_a=10.213.7.1 addr_b=10.213.7.2
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}" $(ip netns pids "$ns_a" 2>/dev/null) $(ip netns pids "$ns_b" 2>/dev/null); do
    kill -9 "$pid" 2>/dev/null || true
  done
  ip netns del "$ns_a" 2>/dev/null || true
  ip netns del "$ns_b" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap "exit 130" INT TERM
if ! reason=$(ip netns add "$ns_a" 2>&1); then
  echo "network fault tests skipped: cannot make a network namespace ($(id -un)): $reason"
  exit 0
fi
install_missing iproute2 nftables cmake make g++

ip netns add "$ns_b"
ip link add "$veth_a" netns "$ns_a" type veth peer name "$veth_b" netns "$ns_b"
ip -n "$ns_a" addr add "$addr_a/24" dev "$veth_a"
ip -n "$ns_b" addr add "$addr_b/24" dev "$veth_b"
for ns in "$ns_a" "$ns_b"; do ip -n "$ns" link set lo up; done
ip -n "$ns_a" link set "$veth_a" up
ip -n "$ns_b" link set "$veth_b" up

if [ ! -f "$build_dir/CMakeCache.txt" ]; then
  cmake -S . -B "$build_dir" -DDOIP_SANITIZE=address -DDOIP_BUILD_TESTS=OFF
else
  # An existing build keeps its options; configuring again brings in targets added since.
  cmake -S . -B "$build_dir" >/dev/null
fi
cmake --build "$build_dir" -j2 --target doip-sim doip-tester doip-delay-proxy
bin=$(cd "$build_dir/tools" && pwd)
# A leak or a memory error ends a tool with status 23, which no check here expects.
export ASAN_OPTIONS=detect_leaks=1:exitcode=23

failures=0 passed=0 rows=()
fail() {
  echo "FAIL $scenario: $*" >&2
  [ -f "$work/out" ] && cut -c1-200 "$work/out" | sed 's/^/    | /' | tail -40 >&2
  scenario_failed=1
}
ms_now() { echo $(($(date +%s%N) / 1000000)); }

# start NAME PROGRAM ARGS...: starts a tool in namespace B; waits for its "listening on" line.
start() {
  local name=$1 program=$2
  shift 2
  ip netns exec "$ns_b" "$bin/$program" "$@" >"$work/$name.out" 2>&1 &
  pids+=($!)
  eval "${name}_pid=$!"
  for _ in $(seq 50); do
    grep -q "listening on" "$work/$name.out" && return 0
    sleep 0.1
  done
  echo "$program did not start: $(cat "$work/$name.out")" >&2
  exit 1
}
# stop NAME: interrupts a tool started by start; it must end within 10 s with status 0 (a leak report
# from LeakSanitizer makes it non-zero).
stop() {
  local pid
  pid=$(eval echo "\$${1}_pid")
  kill -INT "$pid" 2>/dev/null || true
  for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  local rc=0
  if kill -0 "$pid" 2>/dev/null; then
    kill -9 "$pid"
    fail "$1 did not end within 10 s of SIGINT"
  fi
  wait "$pid" || rc=$?
  [ "$rc" -eq 0 ] || fail "$1 ended with status $rc: $(tail -20 "$work/$1.out")"
}

# The answer the simulator gives to each request (UDS bytes, as the tester prints them).
answer_of() {
  case "$1" in
    22F190) echo "62 F1 90 57 44 4F 49 50 53 49 4D 30 30 30 30 30 30 30 30 31" ;;
    22F18C) echo "62 F1 8C 53 4E 30 43 45 31" ;;
    3E00) echo "7E 00" ;;
    *) echo "7F ${1:0:2} 11" ;;
  esac
}
# requests N: N requests, cycling through three that the simulator answers positively.
requests() {
  local all=(22F190 3E00 22F18C) i
  for ((i = 0; i < $1; i++)); do echo "${all[i % 3]}"; done
}

# tester LIMIT-S ARGS...: runs doip-tester in namespace A, killed after LIMIT-S seconds; sets rc and ms,
# then judges the output.
tester() {
  local limit=$1 start
  shift
  start=$(ms_now)
  rc=0
  # In the background, so that a signal to the script ends the run at once.
  timeout -k 2 "$limit" ip netns exec "$ns_a" "$bin/doip-tester" "$@" >"$work/out" 2>&1 &
  pids+=($!)
  wait $! || rc=$?
  ms=$(($(ms_now) - start))
  [ "$rc" -ne 124 ] && [ "$rc" -ne 137 ] || fail "ran past its limit of $limit s"
  judge "$@"
}
# judge ARGS...: sets attempted (UDS exchanges begun) and answered (answers received) from the output of
# the tester run with ARGS. Every diagnostic message printed must be the right answer to the request in
# turn, and no process may be left in namespace A.
judge() {
  attempted=$(grep -c '^UDS ' "$work/out" || true)
  local got want=() skip=0 arg
  mapfile -t got < <(sed -n 's/^    <- diagnostic message (0x8001) [^:]*: \([0-9A-F ]*[0-9A-F]\) (.*/\1/p' "$work/out")
  for arg in "$@"; do  # the requests: the arguments that are neither an option nor its value
    if [ "$skip" -eq 1 ]; then skip=0; elif [[ "$arg" == --* ]]; then skip=1; elif [[ "$arg" =~ ^[0-9A-F]+$ ]]; then
      want+=("$(answer_of "$arg")")
    fi
  done
  answered=${#got[@]}
  for ((i = 0; i < answered; i++)); do
    [ "${got[i]}" = "${want[i]:-none}" ] || fail "answer $((i + 1)) is '${got[i]}', expected '${want[i]:-none}'"
  done
  [ "$(ip netns pids "$ns_a" | wc -l)" -eq 0 ] || fail "processes left in namespace A"
}
# The tester's worst case: connect, activation, entity status (1 s), then per exchange the wait for the
# acknowledgement and then for the response (--timeout each), and 10 s for start, close and LeakSanitizer.
limit_s() { # EXCHANGES TIMEOUT-MS CONNECT-TIMEOUT-MS
  echo $((($3 + $2 + 1000 + $1 * 2 * $2) / 1000 + 10))
}
# expect_all N WANT-RC: every exchange of N answered, exit status WANT-RC.
expect_all() {
  [ "$rc" -eq "$2" ] || fail "exit status $rc, expected $2"
  [ "$attempted" -eq "$1" ] && [ "$answered" -eq "$1" ] || fail "$answered of $attempted of $1 exchanges answered"
  grep -q "code 0x10 routing successfully activated" "$work/out" || fail "no routing activation"
}
# Time in ms that the tester printed for the Nth acknowledgement or answer (ack|answer N); printed_ms:
# whole milliseconds.
printed() {
  local pattern='^    <- diagnostic message positive ACK'
  [ "$1" = answer ] && pattern='^    <- diagnostic message \(0x8001\)'
  grep -E "$pattern" "$work/out" | sed -n "${2}s/.*\[\([0-9.]*\) ms\]$/\1/p" || true
}
printed_ms() { printed "$@" | cut -d. -f1; }
# row OUTCOME NOTE: one line of the summary for the scenario just run.
row() {
  local lost=$((attempted - answered)) outcome=$1
  [ "$scenario_failed" -eq 0 ] || outcome="FAILED (expected: $1)"
  rows+=("$(printf '%-22s %5s %-40s %7s %5s  %s' "$scenario" "$answered/$attempted" "$outcome" \
    "$((ms / 1000)).$(printf %03d $((ms % 1000)))" "$lost" "$2")")
  if [ "$scenario_failed" -eq 0 ]; then passed=$((passed + 1)); else failures=$((failures + 1)); fi
}
begin() {
  scenario=$1 scenario_failed=0
  rm -f "$work/out"
  echo "== $scenario"
}
in_b() { ip netns exec "$ns_b" "$@"; }
# Bytes the simulator's end of the (single) connection has received.
received_by_sim() {
  in_b ss -Htin state established "( sport = :13400 )" | grep -o 'bytes_received:[0-9]*' | cut -d: -f2 | head -1 ||
    true
}
# The first UDS request (after activation request 19 bytes, entity status 8) has come: 19 + 8 + 15.
wait_first_request() {
  local n
  for _ in $(seq 500); do
    n=$(received_by_sim)
    [ "${n:-0}" -ge 42 ] && return 0
    sleep 0.02
  done
  return 1
}
# loss PERCENT: drops that share of the packets entering and leaving namespace B.
loss() {
  local threshold=$(($1 * 42949673))
  in_b nft -f - <<EOF
table inet netfault {
  chain in { type filter hook input priority 0; meta random < $threshold counter drop; counter; }
  chain out { type filter hook output priority 0; meta random < $threshold counter drop; counter; }
}
EOF
}
# "DROPPED PASSED": the packets the loss rules dropped and let pass.
counted() {
  in_b nft list table inet netfault | grep -o 'packets [0-9]*' | awk '{n[NR % 2] += $2} END {print n[1], n[0]}'
}
target=(--host "$addr_b" --port 13400)
sim=(--bind "$addr_b" --port 13400 --no-announce)

begin baseline
start sim doip-sim "${sim[@]}"
mapfile -t reqs < <(requests 30)
tester "$(limit_s 30 2000 2000)" uds "${reqs[@]}" "${target[@]}"
expect_all 30 0
rtt=$(printed answer 30)
start_ms=$ms
tester 10 discover "${target[@]}" --wait 2000
[ "$rc" -eq 0 ] && grep -q "WDOIPSIM000000001" "$work/out" || fail "discover over UDP: exit $rc"
attempted=30 answered=30 ms=$start_ms
stop sim
row "all answered; discover over UDP ok" "last RTT ${rtt} ms"

for percent in 5 30; do
  begin "loss $percent %"
  # Retransmissions under 30 % loss can hold the routing activation request back for longer than the
  # entity's default T_TCP_Initial_Inactivity (2 s), after which it rightly closes the socket: here the
  # entity waits as long as the tester does.
  start sim doip-sim "${sim[@]}" --initial-inactivity 10000 --read-timeout 10000
  loss "$percent"
  if [ "$percent" -eq 5 ]; then
    mapfile -t reqs < <(requests 50)
    tester "$(limit_s 50 5000 5000)" uds "${reqs[@]}" "${target[@]}" --timeout 5000 --connect-timeout 5000
    expect_all 50 0
    outcome="all answered (TCP retransmission)"
  else
    # Success, or a documented timeout within the limit; never a wrong answer (checked by tester).
    mapfile -t reqs < <(requests 20)
    tester "$(limit_s 20 8000 10000)" uds "${reqs[@]}" "${target[@]}" --timeout 8000 --connect-timeout 10000
    if [ "$rc" -eq 0 ]; then
      expect_all 20 0
      outcome="all answered (TCP retransmission)"
    else
      outcome=$(grep -m1 -oE 'error: .*|result -1005' "$work/out" || echo "exit $rc")
      [ "$rc" -eq 1 ] && grep -qE "error: (no acknowledgement|no response|no routing activation response within)|result -1005" \
        "$work/out" || fail "exit $rc without a documented timeout: $outcome"
    fi
  fi
  read -r drops passes < <(counted)
  [ "$percent" -eq 5 ] || [ "$drops" -gt 0 ] || fail "nftables dropped nothing"
  in_b nft delete table inet netfault
  stop sim
  row "$outcome" "nft dropped $drops of $((drops + passes)) packets"
done

begin "slow link 64 kbit/s"
start sim doip-sim "${sim[@]}" --ack-echo 4096
for ns in "$ns_a" "$ns_b"; do
  dev=$veth_a && [ "$ns" = "$ns_b" ] && dev=$veth_b
  ip netns exec "$ns" tc qdisc add dev "$dev" root tbf rate 64kbit burst 1600 latency 5s
done
big=3101$(printf 'A5%.0s' $(seq 3998))  # 4000 UDS bytes, 4012 with the DoIP header: echoed in the ACK
tester "$(limit_s 3 15000 5000)" uds 22F190 "$big" 3E00 "${target[@]}" --timeout 15000
expect_all 3 3
big_ms=$(printed_ms answer 2)
# 4012 bytes each way at 8000 bytes/s, less a burst of 1600 bytes each way: 603 ms at least.
[ "${big_ms:-0}" -ge 550 ] || fail "the 4000-byte exchange took ${big_ms} ms: the link was not slow"
grep -q "NRC 0x11 serviceNotSupported" "$work/out" || fail "no NRC 0x11 for the long request"
for ns in "$ns_a" "$ns_b"; do
  dev=$veth_a && [ "$ns" = "$ns_b" ] && dev=$veth_b
  ip netns exec "$ns" tc qdisc del dev "$dev" root
done
stop sim
row "all answered (exit 3: NRC 0x11 expected)" "4000-byte request, 4000-byte ACK echo: ${big_ms} ms"

# The link goes down right after the first UDS request reached the simulator, which answers 700 ms later.
for down_s in 1 5; do
  begin "link down $down_s s"
  start sim doip-sim "${sim[@]}" --delay 700
  timeout=$((down_s == 1 ? 5000 : 2000))
  mapfile -t reqs < <(requests 3)
  (
    start=$(ms_now) status=0
    ip netns exec "$ns_a" "$bin/doip-tester" uds "${reqs[@]}" "${target[@]}" --timeout "$timeout" \
      >"$work/out" 2>&1 || status=$?
    echo "$status $(($(ms_now) - start))" >"$work/bg.result"
  ) &
  bg=$!
  pids+=($bg)
  if ! wait_first_request; then
    fail "the first request did not reach the simulator"
  fi
  in_b ip link set "$veth_b" down
  sleep "$down_s"
  still_running=0
  kill -0 "$bg" 2>/dev/null && still_running=1
  in_b ip link set "$veth_b" up
  timeout 30 tail --pid="$bg" -f /dev/null || { fail "the tester did not end within 30 s"; kill -9 "$bg"; }
  wait "$bg" || true
  read -r rc ms <"$work/bg.result" || fail "no result"
  judge uds "${reqs[@]}" "${target[@]}"
  first_ack=$(printed_ms ack 1)
  if [ "$down_s" -eq 1 ]; then
    expect_all 3 0
    # The acknowledgement, sent while the link was down, came by retransmission after it was up again.
    [ "${first_ack:-0}" -ge 900 ] || fail "the first acknowledgement came after ${first_ack} ms, before the link was up"
    row "all answered (retransmitted after up)" "first ACK after ${first_ack} ms"
  else
    [ "$rc" -eq 1 ] && grep -q "error: no acknowledgement" "$work/out" || fail "exit $rc, expected 1 and 'error: no acknowledgement'"
    # Ended by its own timeout of 2 s while the link was still down, not by the link's return.
    [ "$still_running" -eq 0 ] || fail "the tester was still waiting after $down_s s"
    row "error: no acknowledgement (--timeout 2000)" "tester ended with the link still down"
  fi
  stop sim
done

begin "proxy 50+-20 ms"
start sim doip-sim "${sim[@]}"
start proxy doip-delay-proxy --bind "$addr_b" --port 13401 --to "$addr_b" --to-port 13400 --delay 50 --jitter 20
mapfile -t reqs < <(requests 20)
tester "$(limit_s 20 2000 2000)" uds "${reqs[@]}" --host "$addr_b" --port 13401
expect_all 20 0
mapfile -t rtts < <(for i in $(seq 20); do printed_ms answer "$i"; done)
rtt_min=$(printf '%s\n' "${rtts[@]}" | sort -n | head -1)
rtt_max=$(printf '%s\n' "${rtts[@]}" | sort -n | tail -1)
rtt_avg=$(printf '%s\n' "${rtts[@]}" | awk '{s += $1} END {printf "%d", s / NR}')
# Each way at least 30 ms; the bound above is generous.
[ "${rtt_min:-0}" -ge 59 ] && [ "${rtt_max:-9999}" -le 1000 ] || fail "round trips ${rtt_min}..${rtt_max} ms, expected 60..1000"
stop proxy
stop sim
row "all answered" "RTT min/avg/max ${rtt_min}/${rtt_avg}/${rtt_max} ms"

begin "proxy 1500 ms"
start sim doip-sim "${sim[@]}"
start proxy doip-delay-proxy --bind "$addr_b" --port 13401 --to "$addr_b" --to-port 13400 --delay 1500
tester "$(limit_s 1 1000 2000)" uds 3E00 --host "$addr_b" --port 13401 --timeout 1000
[ "$rc" -eq 1 ] && grep -q "error: no routing activation response within 1000 ms" "$work/out" ||
  fail "exit $rc, expected 1 and 'no routing activation response within 1000 ms'"
[ "$ms" -ge 1000 ] && [ "$ms" -le 6000 ] || fail "took $ms ms, expected 1000..6000"
stop proxy
stop sim
row "error: no routing activation response" "--timeout 1000, delay 1500 each way"

echo
printf '%-22s %5s %-40s %7s %5s  %s\n' scenario ok/n outcome "time s" lost notes
printf '%s\n' "${rows[@]}"
echo "netfault: $passed passed, $failures failed"
[ "$failures" -eq 0 ]
