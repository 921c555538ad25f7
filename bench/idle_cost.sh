#!/usr/bin/env bash
# What an idle daemon costs: processor time and wake-ups of a one-node
# cluster's infocollector with collection off, then on, and its resident
# memory, each beside a reference process measured in the same run:
#   - processor time: bench/idle_baseline --ticker, a bare process with the
#     daemon's libraries that wakes every 10 ms (a polling clock thread);
#   - resident memory: bench/idle_baseline, the same bare process asleep.
# Processor time is utime + stime of /proc/<pid>/stat over the span; wake-ups
# are the voluntary context switches of all threads (/proc/<pid>/task/*/status).
#
#   CHS_BUILD_DIR=build bench/idle_cost.sh [SECONDS]     (default 60 per span)
#
# Besides readable lines it prints one ROW line per result (see ./chs bench).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${CHS_BUILD_DIR:-$ROOT/build}"
BUILD="$(cd "$BUILD" && pwd)"
SPAN="${1:-60}"
SETTLE=5  # seconds after a start or a switch before a span is measured
[[ "$SPAN" =~ ^[1-9][0-9]*$ ]] || { echo "usage: $0 [SECONDS]" >&2; exit 2; }

BASELINE="$BUILD/bench/idle_baseline"
CHSCTL="$BUILD/tools/chsctl"
for prog in "$BASELINE" "$CHSCTL" "$BUILD/core/infocollector"; do
    [ -x "$prog" ] || { echo "idle_cost: $prog is not built" >&2; exit 1; }
done

DIR="$(mktemp -d "${TMPDIR:-/tmp}/chs-idle.XXXXXX")"
REFS=()
cleanup() {
    local pid
    for pid in "${REFS[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    CHS_BUILD_DIR="$BUILD" "$ROOT/chs" cluster down --dir "$DIR" >/dev/null 2>&1 || true
    rm -rf "$DIR"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# cpu_ticks PID: utime + stime in clock ticks (the fields after the command
# name, which may hold spaces, counted from its closing parenthesis).
cpu_ticks() {
    local stat
    stat="$(cat "/proc/$1/stat")"
    stat="${stat##*) }"
    awk '{print $12 + $13}' <<<"$stat"
}

# switches PID: "tid count" of each thread's voluntary context switches: each
# is a wait (a wake-up when it ends); involuntary ones are preemptions.
switches() {
    local task
    for task in /proc/"$1"/task/*; do
        awk -v tid="${task##*/}" '/^voluntary_ctxt_switches/ {print tid, $2}' "$task/status" 2>/dev/null || true
    done
}

rss_kb() { awk '/^VmRSS/ {print $2}' "/proc/$1/status"; }

# rss_parts PID: where the resident memory is: anonymous (heap, stacks,
# arenas, relocated data), file-backed (code and read-only data of the
# program and its libraries) and shared memory, in kB.
rss_parts() {
    awk '/^Rss:/ {r = $2} /^Anonymous:/ {a = $2}
         END {printf "anonymous %d kB, file-backed and shared %d kB", a, r - a}' "/proc/$1/smaps_rollup" 2>/dev/null ||
        echo "no smaps_rollup"
}

HZ="$(getconf CLK_TCK)"

# measure PID LABEL [REF_PID]: over SPAN seconds, sets CPU (% of a core) and
# WAKE (wake-ups/s) of PID, and REF_CPU of REF_PID when given; prints the
# threads that woke.
measure() {
    local pid="$1" label="$2" ref="${3:-}" c0 c1 r0=0 r1=0 before after
    before="$(switches "$pid")"
    c0="$(cpu_ticks "$pid")"
    [ -z "$ref" ] || r0="$(cpu_ticks "$ref")"
    sleep "$SPAN"
    c1="$(cpu_ticks "$pid")"
    [ -z "$ref" ] || r1="$(cpu_ticks "$ref")"
    after="$(switches "$pid")"
    CPU="$(awk -v d=$((c1 - c0)) -v hz="$HZ" -v s="$SPAN" 'BEGIN {printf "%.4f", d / hz / s * 100}')"
    REF_CPU="$(awk -v d=$((r1 - r0)) -v hz="$HZ" -v s="$SPAN" 'BEGIN {printf "%.4f", d / hz / s * 100}')"
    # Threads started during the span count from 0.
    WAKE="$(awk -v s="$SPAN" -v label="$label" '
        NR == FNR {start[$1] = $2; next}
        {d = $2 - start[$1]; total += d; if (d > 0) printf "   %-12s thread %-8s %7.2f wake-ups/s\n", label, $1, d / s > "/dev/stderr"}
        END {printf "%.2f", total / s}' <(echo "$before") <(echo "$after"))"
}

# row WHAT PROJECT BASELINE UNIT TARGET MET: one ROW line.
row() {
    awk -v what="$1" -v p="$2" -v b="$3" -v unit="$4" -v target="$5" -v met="$6" 'BEGIN {
        ratio = b > 0 ? p / b : (p > 0 ? 999 : 0)
        printf "ROW {\"what\": \"%s\", \"project\": %s, \"baseline\": %s, \"unit\": \"%s\", \"ratio\": %.4f, \"target\": \"%s\", \"met\": %s}\n",
               what, p, b, unit, ratio, target, met}'
}

le() { awk -v a="$1" -v b="$2" 'BEGIN {print (a <= b) ? "true" : "false"}'; }

echo "== idle cost: one-node cluster in $DIR, spans of $SPAN s"
CHS_BUILD_DIR="$BUILD" "$ROOT/chs" cluster up --nodes 1 --dir "$DIR" --no-build >/dev/null
PID="$(cat "$DIR/run/infocollector0.pid")"
"$BASELINE" &
REFS+=($!)
BARE=$!
"$BASELINE" --ticker &
REFS+=($!)
TICKER=$!
sleep "$SETTLE"

measure "$PID" "off" "$TICKER" 2>&1
CPU_OFF="$CPU" WAKE_OFF="$WAKE" TICK_CPU="$REF_CPU"
echo "collection off: $CPU_OFF % of a core, $WAKE_OFF wake-ups/s (10 ms ticker: $TICK_CPU %)"

"$CHSCTL" --cluster "$DIR" --node 0 switch set on >/dev/null
sleep "$SETTLE"
measure "$PID" "on" 2>&1
CPU_ON="$CPU" WAKE_ON="$WAKE"
echo "collection on:  $CPU_ON % of a core, $WAKE_ON wake-ups/s"

RSS="$(rss_kb "$PID")"
RSS_BARE="$(rss_kb "$BARE")"
echo "resident memory: daemon $RSS kB, bare process with the same libraries $RSS_BARE kB"
echo "   daemon: $(rss_parts "$PID"); bare process: $(rss_parts "$BARE")"

row "idle CPU, collection off" "$CPU_OFF" "$TICK_CPU" "% of a core" "<= 0.1 % of a core" "$(le "$CPU_OFF" 0.1)"
row "idle CPU, collection on" "$CPU_ON" "$TICK_CPU" "% of a core" "<= 0.1 % of a core" "$(le "$CPU_ON" 0.1)"
RSS_MB="$(awk -v k="$RSS" 'BEGIN {printf "%.2f", k / 1024}')"
BARE_MB="$(awk -v k="$RSS_BARE" 'BEGIN {printf "%.2f", k / 1024}')"
row "idle RSS" "$RSS_MB" "$BARE_MB" "MB" "<= 1.0x the bare process" "$(le "$RSS" "$RSS_BARE")"
