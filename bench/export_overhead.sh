#!/usr/bin/env bash
# The diagnose export's own overhead, on simulated clusters of several sizes:
#   - the gathering (from the request until the run node logs the end of the
#     gathering, "collect file(...) finished", whose time stamp has
#     microseconds) against the diagnostic script run on all nodes at once
#     (each node's export_command and export_node, as the nodes of an export
#     run them), both measured in the same run on the same cluster. The end
#     is read from the log, not found by polling the status: a poll that
#     starts chsctl every few milliseconds takes processor time from the
#     scripts on a small machine, and the baseline runs without it;
#   - how long after the gathering's end "chsctl export start --wait", which
#     makes the request, returns.
# Prints readable lines and one "ROW {json}" line per table row of
# bench/report.py.
#
# usage: bench/export_overhead.sh [RUNS] [NODE-COUNTS]   (default 3 and "3 6";
#        uses CHS_BUILD_DIR or ./build)
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${CHS_BUILD_DIR:-$ROOT/build}"
RUNS="${1:-3}"
SIZES="${2:-3 6}"
CHSCTL="$BUILD/tools/chsctl"
DIR=""

cleanup() {
    if [ -n "$DIR" ]; then
        CHS_BUILD_DIR="$BUILD" "$ROOT/chs" cluster down --dir "$DIR" >/dev/null 2>&1 || true
        rm -rf "$DIR"
    fi
}
trap cleanup EXIT

now_ms() { date +%s%3N; }
median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", (b > 0 ? a / b : 0)}'; }

# The run node's (node 0's) log lines that end a gathering.
gather_ends() { grep -h 'collect file([0-9]*) finished' "$DIR"/node0/var/log/chs/*.log 2>/dev/null || true; }

# The script alone: builds and packs one package in node K's export tree.
script_on() {
    local root="$DIR/node$1"
    local tree="$root/VXA/coffer_data/omm/export_import/chs/export/diagnoseinfo"
    local script="$root/VXA/script/chs_diagnostic.py"
    rm -rf "$tree/bench_pkg" "$tree/bench_pkg.tgz"
    mkdir -p "$tree"
    "$script" export_command 100 slave current "$tree/bench_pkg" >/dev/null
    "$script" export_node 100 "$tree/bench_pkg" "$tree/bench_pkg.tgz" >/dev/null
    rm -rf "$tree/bench_pkg" "$tree/bench_pkg.tgz"
}

measure() {
    local nodes=$1
    DIR="$(mktemp -d /tmp/chs-export-bench-XXXXXX)"
    CHS_BUILD_DIR="$BUILD" "$ROOT/chs" cluster up --nodes "$nodes" --dir "$DIR" --no-build >/dev/null
    ctl() { "$CHSCTL" --cluster "$DIR" --node 0 --timeout 300 "$@"; }

    local gather=() lag=() parallel=()
    for _ in $(seq 1 "$RUNS"); do
        local start gathered waited before
        before=$(gather_ends | wc -l)
        start=$(now_ms)
        ctl export start --type 5 --wait >/dev/null 2>&1 || true
        waited=$(now_ms)
        if [ "$(gather_ends | wc -l)" -le "$before" ]; then
            echo "the run node logged no end of the gathering" >&2
            exit 1
        fi
        gathered=$(date -d "$(gather_ends | tail -n 1 | cut -c1-26)" +%s%3N)
        gather+=("$((gathered - start))")
        lag+=("$((waited > gathered ? waited - gathered : 0))")
        ctl export clear >/dev/null
        # The baseline's runs alternate with the exports, so that neither
        # side gets the machine's quieter moments.
        start=$(now_ms)
        for node in $(seq 0 $((nodes - 1))); do script_on "$node" & done
        wait
        parallel+=("$(($(now_ms) - start))")
    done
    CHS_BUILD_DIR="$BUILD" "$ROOT/chs" cluster down --dir "$DIR" >/dev/null 2>&1 || true
    rm -rf "$DIR"
    DIR=""

    local g p l
    g=$(median "${gather[@]}")
    p=$(median "${parallel[@]}")
    l=$(median "${lag[@]}")
    printf '%2d nodes: the script on all nodes at once %6d ms; the gathering %6d ms (%s x); ' \
        "$nodes" "$p" "$g" "$(ratio "$g" "$p")"
    printf '"export start --wait" returns %d ms after it\n' "$l"
    printf 'ROW {"what": "diagnose export gathering, %d nodes (vs the script on all nodes at once)", ' "$nodes"
    printf '"project": %d, "baseline": %d, "unit": "ms", "ratio": %s, "target": "<= 1.1x", "met": %s}\n' \
        "$g" "$p" "$(ratio "$g" "$p")" "$(awk -v r="$(ratio "$g" "$p")" 'BEGIN {print (r <= 1.1 ? "true" : "false")}')"
    printf 'ROW {"what": "export start --wait returns after the gathering ends, %d nodes", ' "$nodes"
    printf '"project": %d, "baseline": 200, "unit": "ms", "ratio": %s, "target": "<= 200 ms", "met": %s}\n' \
        "$l" "$(ratio "$l" 200)" "$([ "$l" -le 200 ] && echo true || echo false)"
}

printf 'runs: %s per size (medians below)\n' "$RUNS"
for nodes in $SIZES; do
    measure "$nodes"
done
