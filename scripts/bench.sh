#!/usr/bin/env bash
# Benchmarks of LineDisplayTest.exe under Wine against the display stand-in, on a pty and (at
# least 20 tests) through a null modem; prints two tables, each row a measure against its floor
# or target, and how each floor is made.
# Usage: scripts/bench.sh [--runs N]   (N runs of each measurement, default 5)
# It builds what it needs in ldt_trees' trees and runs in its own prefix (LDT_BENCH_DIR, default
# build/bench), against the display "bench" and the stand-in "bench-standin".
. "$(dirname "$0")/lib.sh"
cd "$ldt_root"
ldt_trees
bench=${LDT_BENCH_DIR:-build/bench}

if [ "${1:-}" != --inside ]; then
  runs=5
  while [ $# -gt 0 ]; do
    case "$1" in
      --runs)
        case "${2:-}" in '' | *[!0-9]* | 0) ldt_die "--runs takes a count" ;; esac
        runs=$2; shift 2 ;;
      *) sed -n 's/^# Usage: //p' "$0" >&2; exit 2 ;;
    esac
  done
  bash scripts/install-deps.sh
  ldt_say "building (log in $bench/build.log)"
  ldt_step "building" "$bench/build.log" \
    ldt_build_with_displays LineDisplayTest bench-driver minimal-dialog
  ldt_with_displays "$bench" --display bench --standin bench-standin -- bash "$0" --inside "$runs"
  exit
fi

# Inside the harnesses: the prefix, the X display and the display "bench" are up; the run
# directory holds this run's data.
runs=$2
data="$LDT_RUN_DIR/data"
mkdir -p "$data"
log="$LDT_RUN_DIR/bench.log"
port=$LDT_DISPLAY_BENCH_PORT
driver="$ldt_windows/tools/bench/bench-driver.exe"
exe=$PWD/$ldt_windows/LineDisplayTest.exe minimal_exe=$PWD/$ldt_windows/tools/bench/minimal-dialog.exe
app=$(ldt_winpath "$exe")
minimal=$(ldt_winpath "$minimal_exe")

drive() { ldt_wine "$driver" "$@" </dev/null 2>/dev/null | tr -d '\r'; }
# app or minimal: one start-up of that program ($app or $minimal), timed to its dialog shown.
declare -A title=([minimal]="Minimal dialog") # the utility's the driver knows
startup() { drive startup "${!1}" ${title[$1]:+"${title[$1]}"}; }
# A fresh line with the display behaving as the options say, and an empty log.
set_mode() { drive mode bench "$@" >/dev/null || ldt_die "the display did not take the mode \"$*\""; }

# CLOCK_MONOTONIC (the emulator's time stamps) minus CLOCK_MONOTONIC_RAW (Wine's performance
# counter), in ns; the two drift apart slowly, so it is taken around every run.
clock_offset() {
  python3 -c 'import time
a = time.clock_gettime_ns(time.CLOCK_MONOTONIC_RAW)
m = time.clock_gettime_ns(time.CLOCK_MONOTONIC)
b = time.clock_gettime_ns(time.CLOCK_MONOTONIC_RAW)
print(m - (a + b) // 2)'
}
raw_now() { python3 -c 'import time; print(time.clock_gettime_ns(time.CLOCK_MONOTONIC_RAW))'; }

# The conversion rests on Wine's counter being CLOCK_MONOTONIC_RAW: check it once.
before=$(raw_now)
counter=$(drive clock | sed -n 's/^now_ns=//p')
after=$(raw_now)
if [ -z "$counter" ] || [ "$counter" -lt "$before" ] || [ "$counter" -gt "$after" ]; then
  ldt_die "Wine's performance counter is not CLOCK_MONOTONIC_RAW here; cannot line up times"
fi

# One timed test run; KIND is answered, silent, or standin (through the null modem). Its driver
# line, clock offset and log (the stand-in's: what it logged during the run) are kept.
standin_log="$LDT_RUN_DIR/bench-standin.log"
timed_run() {
  local kind=$1 i=$2 options= off1 off2 line at to=$port
  [ "$kind" = silent ] && options=--silent
  [ "$kind" = standin ] && to=$LDT_DISPLAY_BENCH_STANDIN_PORT || set_mode $options
  off1=$(clock_offset)
  # The stand-in has no modes: its log goes on from run to run.
  at=$(stat -c %s "$standin_log")
  line=$(drive test "$app" "$to" 30000) || true # a failed run is named below, with its line
  off2=$(clock_offset)
  case "$line" in *exit=0*) ;; *) ldt_die "$kind run $i failed: $line" ;; esac
  echo "$line offset_ns=$(((off1 + off2) / 2))" >"$data/$kind-$i.run"
  if [ "$kind" = standin ]; then tail -c "+$((at + 1))" "$standin_log"; else cat "$log"; fi \
    >"$data/$kind-$i.log"
}

# The wire bytes, from the product's own commands.
drive commands >"$data/commands"
ldt_say "warming up"
for kind in app minimal; do startup "$kind" >/dev/null; done
timed_run answered 0

load=$(cut -d' ' -f1-3 /proc/loadavg)
for i in $(seq "$runs"); do
  ldt_say "run $i of $runs"
  timed_run answered "$i"
  timed_run silent "$i"
  # Start-up varies most: three pairs a run, in alternating order.
  for k in 1 2 3; do
    order="app minimal"
    [ $(((i + k) % 2)) = 0 ] || order="minimal app"
    for kind in $order; do startup "$kind" >"$data/startup-$kind-$i-$k.run"; done
  done
done

standin_runs=$((runs > 20 ? runs : 20))
for i in $(seq "$standin_runs"); do
  ldt_say "through the null modem, run $i of $standin_runs"
  timed_run standin "$i"
done
ldt_say "the stand-in idle"
# Its CPU time over one-second windows: /proc's schedstat (nanoseconds on the processor) and
# stat (utime + stime, in clock ticks too coarse for a second alone).
python3 - "$LDT_DISPLAY_BENCH_STANDIN_PID" >"$data/idle" <<'PYTHON'
import sys, time
pid = sys.argv[1]
def cpu():
    with open("/proc/%s/schedstat" % pid) as f:
        ns = int(f.read().split()[0])
    with open("/proc/%s/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return ns, int(fields[11]) + int(fields[12])
for _ in range(5):
    (ns1, t1), w1 = cpu(), time.monotonic_ns()
    time.sleep(1)
    (ns2, t2), w2 = cpu(), time.monotonic_ns()
    print(ns2 - ns1, t2 - t1, w2 - w1)
PYTHON

python3 - "$data" "$runs" "$exe" "$minimal_exe" \
  "$load" "$("$LDT_WINE_LOADER" --version 2>/dev/null) ($LDT_WINDOWS_BUILD build)" "$(nproc)" "$(getconf CLK_TCK)" \
  "$standin_runs" <<'PYTHON'
import math
import os
import statistics
import sys

data, runs, exe, minimal, load, wine, cores, tick, standin_runs = sys.argv[1:]
TICK_MS = 1000.0 / int(tick)
runs = int(runs)
standin_runs = int(standin_runs)
BYTE_MS = 10 * 1000 / 38400  # one start bit, 8 data bits, one stop bit at 38400 baud
with open(os.path.join(data, "commands")) as f:
    COMMANDS = dict(line.split(" ", 1) for line in f.read().splitlines())
SETUP_START, PRODUCT_REQUEST, SETUP_END, TEST_OK = (
    COMMANDS[name] for name in ("setup_start", "product_request", "setup_end", "final"))
WRITTEN = sum(len(command.split()) for command in COMMANDS.values())  # a run writes each once


def fields(name, key, want):
    """The fields of the driver's line in NAME.run; the run is refused unless KEY is WANT."""
    with open(os.path.join(data, name + ".run")) as f:
        found = dict(word.split("=", 1) for word in f.read().split())
    if found.get(key) != want:
        raise SystemExit("bench: %s: %s is %r, not %r" % (name, key, found.get(key), want))
    return found


def events(path):
    """(micros, kind, details) of each whole line of an emulator's log."""
    with open(path) as f:
        lines = [line.rstrip("\n").split(" ", 2) for line in f if line.endswith("\n")]
    return [(int(words[0]), words[1], words[2] if len(words) > 2 else "") for words in lines]


def at(log, kind, start):
    for index, (micros, k, details) in enumerate(log):
        if k == kind and details.startswith(start):
            return index
    raise SystemExit("bench: %r not found as its own chunk in the emulator's log" % start)


def answered(i, kind="answered"):
    run = fields("%s-%d" % (kind, i), "verdict", "pass")
    log = events(os.path.join(data, "%s-%d.log" % (kind, i)))
    offset_us = int(run["offset_ns"]) / 1000.0
    click = int(run["click_ns"]) / 1000.0  # CLOCK_MONOTONIC_RAW, in us
    setup, request, end, ok = (at(log, "recv", c) for c in (SETUP_START, PRODUCT_REQUEST, SETUP_END, TEST_OK))
    ms = lambda a, b: (log[b][0] - log[a][0]) / 1000.0
    # Each empty read costs a 100 ms pause, each read with part of a reply 1 ms: the gaps between
    # one request and the next give the empty reads, the reply's chunks the partial ones.
    empty = int(ms(setup, request) // 100) + int(ms(request, end) // 100)
    chunks = lambda a, b: sum(1 for e in log[a:b] if e[1] == "send")
    partial = max(chunks(setup, request) - 1, 0) + max(chunks(request, end) - 1, 0)
    count = lambda a, b: sum(len(e[2].split()) for e in log[a:b] if e[1] in ("recv", "send"))
    pauses = 300 + 100 * empty + partial
    report_floor = pauses + count(0, end) * BYTE_MS
    enabled_floor = pauses + 200 + 200 + count(0, ok + 1) * BYTE_MS
    report_shown = (log[end][0] - offset_us) - click
    return {"report": report_shown / 1000.0, "report_floor": report_floor,
            "enabled": (int(run["enabled_ns"]) - int(run["click_ns"])) / 1e6,
            "enabled_floor": enabled_floor, "report_pauses": pauses, "enabled_pauses": pauses + 400,
            "empty": empty, "partial": partial}


def silent(i):
    run = fields("silent-%d" % i, "verdict", "silent")
    wall = (int(run["enabled_ns"]) - int(run["click_ns"])) / 1e6
    share = lambda ms: ms / wall * 100
    return {"wall": wall, "cpu": share(int(run["cpu_ticks"]) * TICK_MS),
            "server": share(int(run["server_ticks"]) * TICK_MS),
            "process_times": share(int(run["process_times_ns"]) / 1e6)}


def startup(kind, i, k):
    return int(fields("startup-%s-%d-%d" % (kind, i, k), "exit", "0")["startup_ns"]) / 1e6


a = [answered(i) for i in range(1, runs + 1)]
s = [silent(i) for i in range(1, runs + 1)]
pairs = [(i, k) for i in range(1, runs + 1) for k in (1, 2, 3)]
app_start = [startup("app", i, k) for i, k in pairs]
minimal_start = [startup("minimal", i, k) for i, k in pairs]
design = 300 + 50 * 100 + 50 * 100 + 200 + 200 + WRITTEN * BYTE_MS  # two silences, every byte written

rows = []


def row(name, values, references=None, target="-", limit=None):
    """One measure: its median and range; against per-run references, the median ratio and its
    range; met when limit(median ratio, or median value without references) holds."""
    med = statistics.median(values)
    ref = ratio = span = "-"
    judged = med
    if references:
        ratios = [v / r for v, r in zip(values, references)]
        judged = statistics.median(ratios)
        ref = "%.1f" % statistics.median(references)
        ratio = "%.3f" % judged
        span = "%.3f-%.3f" % (min(ratios), max(ratios))
    met = "-" if limit is None else ("yes" if limit(judged) else "NO")
    rows.append((name, "%.1f" % med, "%.1f" % min(values), "%.1f" % max(values), ref, ratio, span,
                 target, met))


row("Test -> report shown (ms)", [x["report"] for x in a], [x["report_floor"] for x in a],
    "<= floor +5 %", lambda r: r <= 1.05)
row("Test -> controls enabled (ms)", [x["enabled"] for x in a], [x["enabled_floor"] for x in a],
    "<= floor +5 %", lambda r: r <= 1.05)
row("silent display, whole run (ms)", [x["wall"] for x in s], [design] * runs, "design +-3 %",
    lambda r: abs(r - 1) <= 0.03)
row("CPU during the silent run (% wall)", [x["cpu"] for x in s], None, "< 2 %", lambda v: v < 2)
row("  wineserver meanwhile (% wall)", [x["server"] for x in s])
row("  GetProcessTimes says (% wall)", [x["process_times"] for x in s])
row("start-up to dialog shown (ms) [3/run]", app_start, minimal_start)
row("  minimal dialog program (ms)", minimal_start)

def table(header, rows):
    """The measure left-aligned, every other column right-aligned, each as wide as it needs."""
    widths = [max(len(r[c]) for r in rows + [header]) for c in range(len(header))]
    for r in [header] + rows:
        print("  ".join(cell.ljust(widths[c]) if c == 0 else cell.rjust(widths[c])
                        for c, cell in enumerate(r)))


print("LineDisplayTest.exe benchmarks: %d runs each; %s; %s cores; load %s at start" % (runs, wine, cores, load))
table(("measure", "median", "min", "max", "floor", "ratio", "ratio range", "target", "met"), rows)
print("exe size: %d bytes (%.1f KiB); minimal dialog program: %d bytes"
      % (os.path.getsize(exe), os.path.getsize(exe) / 1024, os.path.getsize(minimal)))
print("floors: 300 ms + 100 ms per empty read (%s per run) + 1 ms per partial read (%s) + 200 + 200 ms,"
      % ("/".join(sorted({str(x["empty"]) for x in a})), "/".join(sorted({str(x["partial"]) for x in a}))))
print("        plus every byte's wire time at 38400 baud 8N1 (%.3f ms); the pty itself has no wire time."
      % BYTE_MS)
print("        without wire time: report shown %.3f, controls enabled %.3f of the pauses alone (medians)."
      % (statistics.median(x["report"] / x["report_pauses"] for x in a),
         statistics.median(x["enabled"] / x["enabled_pauses"] for x in a)))
print("design of the silent run: 300 + 2 x 50 x 100 + 200 + 200 ms + %d bytes' wire time = %.1f ms"
      % (WRITTEN, design))
print("CPU: the program's Linux process from /proc (%.0f ms ticks), the wineserver's beside it;"
      % TICK_MS)
print("     Wine's GetProcessTimes of another process counts more than the kernel does.")
print("start-up: the minimal dialog program, started the same way, is the floor.")
print("ratios are per run (each run against its own floor); medians and ranges over the runs.")


def percentile(values, p):
    """Nearest rank: with fewer than 100 values, p99 is the largest."""
    ordered = sorted(values)
    return ordered[max(math.ceil(p / 100.0 * len(ordered)), 1) - 1]


nm = [answered(i, "standin") for i in range(1, standin_runs + 1)]
# The stand-in's answers: each reply's send and the recv just before it, which completed its
# request (a reply goes out in the same turn as the chunk that completes the request).
answers = []
for i in range(1, standin_runs + 1):
    log = events(os.path.join(data, "standin-%d.log" % i))
    replies = [(log[j - 1][0], micros) for j, (micros, kind, _) in enumerate(log)
               if kind == "send" and j > 0 and log[j - 1][1] == "recv"]
    if len(replies) != 2 or sum(1 for e in log if e[1] == "send") != 2:
        raise SystemExit("bench: stand-in run %d: not two replies, each right after a chunk received" % i)
    answers += [(sent - got) / 1000.0 for got, sent in replies]
with open(os.path.join(data, "idle")) as f:
    idle = [[int(word) for word in line.split()] for line in f]
idle_cpu = [ns / wall * 100 for ns, _, wall in idle]
idle_ticks = sum(ticks for _, ticks, _ in idle)

nm_rows = []


def nm_row(name, values, digits, target="-", limit=None):
    p50, p99 = percentile(values, 50), percentile(values, 99)
    f = "%%.%df" % digits
    met = "-" if limit is None else ("yes" if limit(p99) else "NO")
    nm_rows.append((name, str(len(values)), f % p50, f % p99, f % max(values), target, met))


nm_row("stand-in's answer after a request's last byte (ms)", answers, 3, "<= 5 ms", lambda v: v <= 5)
nm_row("stand-in's CPU while idle, 1 s windows (% wall)", idle_cpu, 3, "< 1 %", lambda v: v < 1)
nm_row("Test -> report shown, to its floor", [x["report"] / x["report_floor"] for x in nm], 3,
       "<= 1.05", lambda v: v <= 1.05)
nm_row("  Test -> report shown (ms)", [x["report"] for x in nm], 1)
nm_row("  its floor (ms)", [x["report_floor"] for x in nm], 1)
print()
print("Through a null modem (the stand-in on a port, socat, the utility under Wine): %d tests"
      % standin_runs)
table(("measure", "n", "p50", "p99", "max", "target", "met"), nm_rows)
print("met: judged on p99 (nearest rank: the largest of fewer than 100 values). The answer runs from")
print("     the recv that completes a request to the send of its reply, as the stand-in logs them;")
print("     its idle CPU is its time on the processor (/proc schedstat); stat's utime + stime gave")
print("     %d ticks of %.0f ms over the %d s. The floor is the one above, from the stand-in's log"
      % (idle_ticks, TICK_MS, len(idle)))
print("     (empty reads per run: %s; partial reads: %s)."
      % ("/".join(sorted({str(x["empty"]) for x in nm})), "/".join(sorted({str(x["partial"]) for x in nm}))))
PYTHON
