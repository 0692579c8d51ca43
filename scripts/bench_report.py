#!/usr/bin/env python3
"""Writes docs/PERFORMANCE.md from the JSON results of the benchmark programs (scripts/bench.sh).

Usage: scripts/bench_report.py RESULTS-DIR OUTPUT-FILE COMMAND

RESULTS-DIR holds one <program>.json per benchmark program (Google Benchmark's --benchmark_out). Where a
benchmark ran with repetitions, the median of the repetitions is taken. Every row puts a figure beside
its floor, measured in the same process, and ratio = figure / floor.
"""

import datetime
import json
import os
import platform
import re
import sys

# Each row: (label, program, benchmark name (regular expression), figure counter, floor counter, unit,
#            goal kind, goal value, floor described).
# Goal kinds: "max_ratio" (ratio <= value), "min_ratio" (ratio >= value), "max_figure" (figure <= value, in
# the row's unit), "below_figure" (figure < value), "none" (no goal: figure and floor only).
ROWS = [
    ("1. Codec: encode + decode of a 4 KiB diagnostic message", "codec_bench",
     r"BM_DiagnosticMessage4KiBEncodeDecode_vs_Memcpy/", "figure_ns", "floor_ns", "ns", "max_ratio", 2.0,
     "memcpy of 4 KiB"),
    ("1. Codec: header check", "codec_bench", r"BM_HeaderCheck_vs_Memcpy8/", "figure_ns", "floor_ns", "ns",
     "below_figure", 10.0, "memcpy of the 8-byte header"),
    ("2. Cache append + get, 1 listener (per message)", "cache_bench", r"BM_CacheAppendGet_vs_MutexDeque/1/",
     "figure_ns", "floor_ns", "ns", "none", None, "1 × (malloc + memcpy 4 KiB, mutex deque push/pop, free)"),
    ("2. Cache append + get, 2 listeners (per message)", "cache_bench", r"BM_CacheAppendGet_vs_MutexDeque/2/",
     "figure_ns", "floor_ns", "ns", "none", None, "2 × (malloc + memcpy 4 KiB, mutex deque push/pop, free)"),
    ("2. Cache append + get, 8 listeners (per message)", "cache_bench", r"BM_CacheAppendGet_vs_MutexDeque/8/",
     "figure_ns", "floor_ns", "ns", "none", None, "8 × (malloc + memcpy 4 KiB, mutex deque push/pop, free)"),
    ("3. Append → return of a waiting doip_wait_message (median)", "message_wait_bench",
     r"BM_AppendToWaitReturn/", "median_us", "floor_median_us", "us", "max_ratio", 2.0,
     "mutex + condition variable hand-off"),
    ("3. Reference: a wait polling every 10 ms (median)", "message_wait_bench",
     r"BM_AppendToPollingWaitReturn/", "median_us", "floor_median_us", "us", "none", None,
     "mutex + condition variable hand-off"),
    ("4. Sequential UDS exchanges (3E 00), one connection", "session_bench",
     r"BM_SequentialExchanges_vs_RawSocket/", "figure_per_s", "floor_per_s", "per_s", "min_ratio", 0.75,
     "raw blocking TCP client"),
    ("5. UDS exchanges, eight connections in parallel", "session_bench", r"BM_EightConnections_vs_RawSockets/",
     "figure_per_s", "floor_per_s", "per_s", "min_ratio", 0.75, "eight raw blocking TCP clients"),
    ("6. Routing activation: doip_activate (median)", "session_bench", r"BM_Activation_vs_RawConnectAndActivate/",
     "figure_us", "floor_us", "us", "max_ratio", 3.0, "raw connect + activation request/response"),
    ("7. Timer lateness, delays 0–50 ms, other core busy (p99)", "eventloop_bench",
     r"BM_TimerLatenessRandom0To50ms/busy:1/", "p99_us", None, "us", "max_figure", 2000.0, None),
    ("7. Queued functor wait, other core busy (p99)", "eventloop_bench", r"BM_QueueInLoopLatency/busy:1/",
     "p99_us", None, "us", "max_figure", 100.0, None),
    ("7. Protocol timer lateness (start_timer_a_doip_ctrl), other core busy (p99)", "eventloop_bench",
     r"BM_ProtocolTimerLatenessBusyCore/", "p99_us", None, "us", "max_figure", 2000.0, None),
    ("8. Cache memory: 1000 × 4 KiB, 2 listeners (heap growth)", "cache_bench",
     r"BM_CacheMemory1000x4KiB_TwoListeners/", "heap_growth_bytes", "held_bytes", "bytes", "max_ratio", 1.3,
     "bytes held (1000 × 4096)"),
    ("9. TLS 1.3: sequential UDS exchanges (3E 00), one connection", "tls_bench",
     r"BM_Tls_SequentialExchanges_vs_Plain/", "figure_per_s", "floor_per_s", "per_s", "none", None,
     "the same Session on plain TCP"),
    ("9. TLS 1.3: UDS exchanges, eight connections in parallel", "tls_bench",
     r"BM_Tls_EightConnections_vs_Plain/", "figure_per_s", "floor_per_s", "per_s", "none", None,
     "the same eight Sessions on plain TCP"),
    ("9. TLS 1.3 handshake: TCP connect + handshake (median)", "tls_bench", r"BM_TlsHandshake_vs_TcpConnect/",
     "figure_us", "floor_us", "us", "none", None, "TCP connect alone"),
    ("9. Routing activation over TLS 1.3: doip_activate (median)", "tls_bench",
     r"BM_TlsActivation_vs_PlainActivation/", "figure_us", "floor_us", "us", "none", None,
     "doip_activate on plain TCP"),
] + [
    ("10. Flash: 16 MiB image, %s blocks (RequestDownload to transfer exit)" % label, "flash_bench",
     r"BM_Flash_vs_RawClient/block:%d/" % size, "figure_mib_per_s", "floor_mib_per_s", "mib_per_s",
     "min_ratio", 0.8, "raw blocking TCP client, the same TransferData requests")
    for label, size in (("1 KiB", 1024), ("4 KiB", 4096), ("64 KiB", 65536))
]


def load_results(results_dir):
    results = {}
    for entry in sorted(os.listdir(results_dir)):
        if entry.endswith(".json"):
            with open(os.path.join(results_dir, entry), encoding="utf-8") as f:
                results[entry[:-len(".json")]] = json.load(f)
    return results


def find_run(results, program, pattern):
    """The median aggregate of the benchmark, else its single run; None when it did not run."""
    data = results.get(program)
    if data is None:
        return None
    runs = [b for b in data.get("benchmarks", []) if re.match(pattern, b.get("run_name", b["name"]))]
    for run in runs:
        if run.get("run_type") == "aggregate" and run.get("aggregate_name") == "median":
            return run
    iterations = [run for run in runs if run.get("run_type", "iteration") == "iteration"]
    return iterations[0] if iterations else None


def fmt(value, unit):
    if unit == "ns":
        return "%.1f ns" % value if value < 100 else "%.0f ns" % value
    if unit == "us":
        if value >= 1000:
            return "%.2f ms" % (value / 1000)
        return "%.1f µs" % value
    if unit == "per_s":
        return "%.0f /s" % value
    if unit == "bytes":
        return "%.0f B" % value
    if unit == "mib_per_s":
        return "%.1f MiB/s" % value
    return "%g" % value


def goal_text(kind, value, unit):
    if kind == "max_ratio":
        return "≤ %g × floor" % value
    if kind == "min_ratio":
        return "≥ %g × floor" % value
    if kind in ("max_figure", "below_figure"):
        sign = "≤" if kind == "max_figure" else "<"
        return "%s %s" % (sign, fmt(value, unit).replace(".0 ", " ").replace(".00 ", " "))
    return "—"


def machine():
    model = "unknown"
    cores = os.cpu_count() or 0
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    uname = platform.uname()
    return model, cores, "%s %s %s" % (uname.system, uname.release, uname.machine)


def main():
    if len(sys.argv) != 4:
        sys.stderr.write(__doc__)
        return 2
    results_dir, output, command = sys.argv[1:]
    results = load_results(results_dir)
    model, cores, kernel = machine()
    load = None
    for data in results.values():
        load = data.get("context", {}).get("load_avg")
        if load:
            break

    lines = [
        "# Performance",
        "",
        "Generated by `scripts/bench.sh` (`scripts/bench_report.py` writes this file from the JSON results);",
        "do not edit by hand.",
        "",
        "- Date: %s" % datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "- Machine: %s, %d cores, %s" % (model, cores, kernel),
    ]
    if load:
        lines.append("- Load average when the run began: %s" % ", ".join("%.2f" % x for x in load))
    lines += [
        "- Reproduce: `%s`" % command,
        "",
        "Every row measures its figure and its floor in the same process, interleaved where possible (blocks",
        "or iterations alternate), so that the ratio holds on a busy machine even when the absolute figures",
        "move. **ratio = figure / floor in every row.** For a throughput row (exchanges or MiB per second) the",
        "goal reads ≥ N × floor; for a cost row (time, bytes) it reads ≤ N × floor; rows 1 (header check) and",
        "7 have absolute goals on the figure. Rows without a goal (—) are for information.",
        "",
        "| row | figure | floor | ratio | goal | met |",
        "|---|---|---|---|---|---|",
    ]
    notes = []
    for label, program, pattern, figure_key, floor_key, unit, kind, value, floor_text in ROWS:
        run = find_run(results, program, pattern)
        goal = goal_text(kind, value, unit)
        if run is None:
            lines.append("| %s | not run | — | — | %s | no |" % (label, goal))
            continue
        if run.get("error_occurred"):
            lines.append("| %s | not measured¹ | — | — | %s | no |" % (label, goal))
            notes.append("¹ %s: %s" % (label, run.get("error_message", "error")))
            continue
        figure = run.get(figure_key)
        floor = run.get(floor_key) if floor_key else None
        ratio = run.get("ratio") if floor_key else None
        floor_cell = "—"
        if floor is not None:
            floor_cell = "%s (%s)" % (fmt(floor, unit), floor_text)
        ratio_cell = "%.2f" % ratio if ratio is not None else "—"
        if kind == "max_ratio":
            met = "yes" if ratio is not None and ratio <= value else "no"
        elif kind == "min_ratio":
            met = "yes" if ratio is not None and ratio >= value else "no"
        elif kind == "max_figure":
            met = "yes" if figure is not None and figure <= value else "no"
        elif kind == "below_figure":
            met = "yes" if figure is not None and figure < value else "no"
        else:
            met = "—"
        lines.append("| %s | %s | %s | %s | %s | %s |" % (label, fmt(figure, unit), floor_cell, ratio_cell, goal,
                                                         met))
    if notes:
        lines.append("")
        lines.extend(notes)
    lines += [
        "",
        "What each row runs (the programs are in `bench/`, one per file):",
        "",
        "- 1: `codec_bench`; blocks of 64 operations alternate with blocks of the floor.",
        "- 2: `cache_bench`; per message, `doip_append_eth_message` of 4 KiB, the default listener's copy",
        "  taken with `doip_get_message` and each further listener's with `doip_wait_message` (time limit 0);",
        "  the further listeners are routing activations held in the socket table's send function.",
        "- 3: `message_wait_bench`; from the append on one thread to the return of the wait on another; the",
        "  polling reference takes with `doip_get_message` and sleeps 10 ms when the queue is empty.",
        "- 4, 5, 6: `session_bench`, against the entity simulator in the same process on 127.0.0.1: a",
        "  `doip_tools::Session` (library + reference socket layer) against a client on a blocking TCP socket",
        "  with TCP_NODELAY that frames the replies by their header lengths; blocks of 200 exchanges alternate,",
        "  and each side's figure is the median of its blocks. Row 6 times the `doip_activate` call itself",
        "  (socket layer installed, connection closed between rounds) against connect + one routing activation",
        "  request and its response.",
        "- 7: `eventloop_bench`; fifty timers of random delays armed at once per round; functors queued from",
        "  another thread; a thread of the program spins all along.",
        "- 8: `cache_bench`; heap in use (glibc `mallinfo2`, every arena) before and after the appends.",
        "- 9: `tls_bench`, the same simulator with its TLS port (an EC P-256 certificate made for the run,",
        "  verified against its CA and address): the same `Session`s over TLS 1.3 and over plain TCP, blocks",
        "  alternating; the handshake on a raw socket (connect, then the handshake, closed with close_notify)",
        "  against the connect alone; `doip_activate` with the layer set up for TLS against plain.",
        "- 10: `flash_bench`, the simulator with a flashable ECU in the same process: `run_flash` (the",
        "  tester's `flash` without its ECU reset) against a client on a blocking TCP socket that sends the",
        "  same TransferData requests (the ECU's maxNumberOfBlockLength set to the block size + 2) and reads",
        "  each acknowledgement and response; both timed from RequestDownload to the transfer exit; rounds",
        "  alternate, the median of five each.",
        "",
    ]
    with open(output, "w", encoding="utf-8") as f:
        f.write("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
