#!/usr/bin/env bash
# Soak run: a simulated cluster collecting every 5 s with a diagnose export
# (start, download, clear) every minute, for MINUTES minutes. Every daemon and
# sibling-module process is sampled for open descriptors, threads and resident
# memory; the table at the end shows each from the first sample after the
# warm-up minute to the last one, and the growth between them. A process that
# dies during the run is reported and fails the run.
#
# usage: bench/soak.sh [MINUTES] [--nodes N] [--sample SECONDS]
#        (default 30 minutes, 3 nodes, a sample every 15 s; uses CHS_BUILD_DIR or ./build)
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${CHS_BUILD_DIR:-$ROOT/build}"
MINUTES=30
NODES=3
SAMPLE=15
while [ $# -gt 0 ]; do
    case "$1" in
        --nodes) NODES="$2"; shift 2 ;;
        --sample) SAMPLE="$2"; shift 2 ;;
        [0-9]*) MINUTES="$1"; shift ;;
        *) echo "usage: bench/soak.sh [MINUTES] [--nodes N] [--sample SECONDS]" >&2; exit 2 ;;
    esac
done
for value in "$MINUTES" "$NODES" "$SAMPLE"; do
    [[ "$value" =~ ^[1-9][0-9]*$ ]] || { echo "soak: numbers only" >&2; exit 2; }
done

CHSCTL="$BUILD/tools/chsctl"
DIR="$(mktemp -d /tmp/chs-soak-XXXXXX)"
SAMPLES="$DIR/samples.tsv"
LOG="$DIR/soak.log"

cleanup() {
    CHS_BUILD_DIR="$BUILD" "$ROOT/chs" cluster down --dir "$DIR" >/dev/null 2>&1 || true
    if [ "${KEEP:-}" = 1 ]; then
        echo "soak: kept $DIR" >&2
    else
        rm -rf "$DIR"
    fi
}
trap cleanup EXIT

ctl() { "$CHSCTL" --cluster "$DIR" --node 0 --timeout 300 "$@"; }

# sample ELAPSED: one line per process: elapsed, name, pid, descriptors, threads, RSS in kB.
sample() {
    local pidfile name pid fds threads rss
    for pidfile in "$DIR"/run/*.pid; do
        name="$(basename "$pidfile" .pid)"
        pid="$(cat "$pidfile")"
        if [ ! -d "/proc/$pid" ]; then
            printf '%s\t%s\t%s\tdead\tdead\tdead\n' "$1" "$name" "$pid" >>"$SAMPLES"
            continue
        fi
        # Descriptors come and go while find lists them: its complaint is not a failure.
        fds="$( (find "/proc/$pid/fd" -mindepth 1 -maxdepth 1 2>/dev/null || true) | wc -l)"
        threads="$(awk '/^Threads:/ {print $2}' "/proc/$pid/status" 2>/dev/null || true)"
        rss="$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status" 2>/dev/null || true)"
        if [ -z "$threads" ] || [ -z "$rss" ]; then
            printf '%s\t%s\t%s\tdead\tdead\tdead\n' "$1" "$name" "$pid" >>"$SAMPLES"
            continue
        fi
        printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$1" "$name" "$pid" "$fds" "$threads" "$rss" >>"$SAMPLES"
    done
}

CHS_COLLECT_INTERVAL=5 CHS_BUILD_DIR="$BUILD" "$ROOT/chs" cluster up --nodes "$NODES" --dir "$DIR" --no-build >"$LOG"
ctl switch set on >>"$LOG"
echo "soak: $NODES node(s) in $DIR, $MINUTES min, collection every 5 s, an export a minute, a sample every $SAMPLE s"

start=$(date +%s)
end=$((start + MINUTES * 60))
next_export=$start
next_sample=$start
exports=0
failed=0
while [ "$(date +%s)" -lt "$end" ]; do
    now=$(date +%s)
    if [ "$now" -ge "$next_sample" ]; then
        sample "$((now - start))"
        next_sample=$((next_sample + SAMPLE))
    fi
    if [ "$now" -ge "$next_export" ]; then
        next_export=$((next_export + 60))
        exports=$((exports + 1))
        if ctl export start --wait >>"$LOG" 2>&1 && ctl export download -o "$DIR/bundle.tgz" >>"$LOG" 2>&1; then
            rm -f "$DIR/bundle.tgz"
        else
            failed=$((failed + 1))
        fi
        ctl export clear >>"$LOG" 2>&1 || true
    fi
    sleep 1
done
sample "$(($(date +%s) - start))"
collected="$(find "$DIR/remote" -type f | wc -l)"
echo "soak: $exports export(s), $failed failed; $collected collected file(s) in remote/"

# The first sample at or after one minute is the baseline: start-up (plugins
# loaded, pools filled, first export) is not growth.
python3 - "$SAMPLES" <<'PY'
import sys
rows = [line.rstrip("\n").split("\t") for line in open(sys.argv[1])]
procs = {}
for elapsed, name, pid, fds, threads, rss in rows:
    procs.setdefault(name, []).append((int(elapsed), pid, fds, threads, rss))
dead = False
fmt = "{:<16} {:>7} {:>5} {:>5} {:>6} {:>5} {:>5} {:>6} {:>9} {:>9} {:>8} {:>9}"
print(fmt.format("process", "pid", "fd0", "fd1", "fd+", "thr0", "thr1", "thr+", "rss0 kB", "rss1 kB", "rss+ kB", "rss max"))
for name in sorted(procs):
    series = procs[name]
    if any(s[2] == "dead" for s in series) or len({s[1] for s in series}) > 1:
        print(f"{name:<16} died or restarted during the run")
        dead = True
        continue
    base = next((s for s in series if s[0] >= 60), series[0])
    last = series[-1]
    f0, f1 = int(base[2]), int(last[2])
    t0, t1 = int(base[3]), int(last[3])
    r0, r1 = int(base[4]), int(last[4])
    rmax = max(int(s[4]) for s in series)
    print(fmt.format(name, last[1], f0, f1, f"{f1 - f0:+d}", t0, t1, f"{t1 - t0:+d}", r0, r1, f"{r1 - r0:+d}", rmax))
sys.exit(1 if dead else 0)
PY
[ "$failed" -eq 0 ]
