#!/usr/bin/env bash
# The diagnose export's own overhead: the wall time of a whole export on a
# three-node cluster (request, every node building its package in parallel,
# gathering, then the download with its merge) against the time the
# diagnostic script alone takes to build and pack one node's package, both
# measured in the same run on the same cluster.
#
# usage: bench/export_overhead.sh [RUNS]   (uses CHS_BUILD_DIR or ./build)
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${CHS_BUILD_DIR:-$ROOT/build}"
RUNS="${1:-3}"
CHSCTL="$BUILD/tools/chsctl"
DIR="$(mktemp -d /tmp/chs-export-bench-XXXXXX)"

cleanup() {
    CHS_BUILD_DIR="$BUILD" "$ROOT/chs" cluster down --dir "$DIR" >/dev/null 2>&1 || true
    rm -rf "$DIR"
}
trap cleanup EXIT

now_ms() { date +%s%3N; }

CHS_BUILD_DIR="$BUILD" "$ROOT/chs" cluster up --nodes 3 --dir "$DIR" --no-build >/dev/null
ctl() { "$CHSCTL" --cluster "$DIR" --node 0 --timeout 300 "$@"; }

export_ms=()
for run in $(seq 1 "$RUNS"); do
    start=$(now_ms)
    ctl export start --type 5 >/dev/null
    # Polled every 20 ms: "start --wait" polls once a second, too coarse here.
    until ctl export status | grep -q -v 'gathering'; do sleep 0.02; done
    gathered=$(now_ms)
    ctl export download -o "$DIR/bundle.tgz" >/dev/null
    done_ms=$(now_ms)
    ctl export clear >/dev/null
    export_ms+=("$((gathered - start)) $((done_ms - start))")
done

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
script_ms=()
parallel_ms=()
for run in $(seq 1 "$RUNS"); do
    start=$(now_ms)
    script_on 1
    script_ms+=("$(($(now_ms) - start))")
    # What the nodes of the export do at once, on this machine's cores.
    start=$(now_ms)
    script_on 0 & script_on 1 & script_on 2 & wait
    parallel_ms+=("$(($(now_ms) - start))")
done

median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
gather_med=$(median $(printf '%s\n' "${export_ms[@]}" | cut -d' ' -f1))
total_med=$(median $(printf '%s\n' "${export_ms[@]}" | cut -d' ' -f2))
script_med=$(median "${script_ms[@]}")
parallel_med=$(median "${parallel_ms[@]}")

printf 'runs: %s (medians below)\n' "$RUNS"
printf 'diagnostic script on one node (export_command + export_node): %6d ms\n' "$script_med"
printf 'the script on three nodes at once:                             %6d ms  (%s x the script)\n' \
    "$parallel_med" "$(awk -v a="$parallel_med" -v b="$script_med" 'BEGIN {printf "%.2f", a / b}')"
printf 'three-node export, start to gathered:                          %6d ms  (%s x the script)\n' \
    "$gather_med" "$(awk -v a="$gather_med" -v b="$script_med" 'BEGIN {printf "%.2f", a / b}')"
printf 'three-node export, start to downloaded bundle:                 %6d ms  (%s x the script)\n' \
    "$total_med" "$(awk -v a="$total_med" -v b="$script_med" 'BEGIN {printf "%.2f", a / b}')"
