#!/usr/bin/env bash
# The project's one entry point: set-up, build, test, demo, simulated clusters.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
BUILD="${CHS_BUILD_DIR:-$ROOT/build}"
JOBS="${CHS_JOBS:-2}"

PACKAGES=(build-essential cmake ninja-build pkg-config
          libjsoncpp-dev libcurl4-openssl-dev libssl-dev openssl libsqlite3-dev sqlite3
          libgtest-dev libgmock-dev libbenchmark-dev procps python3)

say() { printf '== %s\n' "$*"; }

setup() {
    local missing=()
    for p in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    if [ ${#missing[@]} -eq 0 ]; then
        return 0
    fi
    say "installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

build() {
    local generator=()
    command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
    if [ ! -f "$BUILD/CMakeCache.txt" ]; then
        cmake -S "$ROOT" -B "$BUILD" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo ${CHS_CMAKE_ARGS:-}
    fi
    cmake --build "$BUILD" -j "$JOBS"
}

run_tests() {
    ctest --test-dir "$BUILD" --output-on-failure -j "$JOBS" --timeout 600 "$@"
}

# cluster_create DIR NODES: a simulated cluster directory with NODES nodes.
cluster_create() {
    "$BUILD/tools/chsctl" mkcluster "$1" --nodes "$2" ${3:+--log-level "$3"} ${4:+--collect-interval "$4"}
}

# daemon_start DIR NODE: starts the daemon of one node in the background.
daemon_start() {
    local dir="$1" node="$2"
    mkdir -p "$dir/run"
    PATH="$dir/bin:$PATH" nohup "$BUILD/core/infocollector" -m INFOCOLLECTOR "$dir/cluster.json" "$node" \
        -r "$dir/node$node" >"$dir/run/infocollector$node.out" 2>&1 &
    echo $! >"$dir/run/infocollector$node.pid"
}

daemon_stop() {
    local dir="$1" pidfile
    for pidfile in "$dir"/run/infocollector*.pid; do
        [ -f "$pidfile" ] || continue
        kill "$(cat "$pidfile")" 2>/dev/null || true
        rm -f "$pidfile"
    done
}

demo() {
    setup
    build
    local dir="$BUILD/demo-cluster"
    daemon_stop "$dir" 2>/dev/null || true
    rm -rf "$dir"
    cluster_create "$dir" 1 7 5
    say "cluster in $dir; starting the daemon of node 0 for 5 seconds"
    daemon_start "$dir" 0
    sleep 5
    say "daemon status: $(kill -0 "$(cat "$dir/run/infocollector0.pid")" 2>/dev/null && echo running || echo stopped)"
    daemon_stop "$dir"
    say "node 0 log ($dir/node0/var/log/chs/infocollector.log):"
    cat "$dir/node0/var/log/chs/infocollector.log"
}

cluster() {
    local action="${1:-}" dir="${2:-$BUILD/cluster}" nodes="${3:-3}"
    case "$action" in
        up)
            build
            [ -f "$dir/cluster.json" ] || cluster_create "$dir" "$nodes"
            local n
            for n in $(seq 0 $((nodes - 1))); do daemon_start "$dir" "$n"; done
            say "cluster $dir is up with $nodes nodes"
            ;;
        down) daemon_stop "$dir"; say "cluster $dir is down" ;;
        status)
            local pidfile
            for pidfile in "$dir"/run/infocollector*.pid; do
                [ -f "$pidfile" ] || continue
                printf '%s: %s\n' "$(basename "$pidfile" .pid)" \
                    "$(kill -0 "$(cat "$pidfile")" 2>/dev/null && echo running || echo stopped)"
            done
            ;;
        *) echo "usage: ./chs cluster up|down|status [DIR] [NODES]" >&2; exit 2 ;;
    esac
}

usage() {
    cat <<'TXT'
usage: ./chs COMMAND
  setup     install the Debian packages the build needs
  build     configure and build (build/)
  test      setup, build and run the whole test suite
  demo      setup, build, run the daemon of a one-node cluster for a few seconds, show its log
  bench     build and run the benchmarks
  cluster up|down|status [DIR] [NODES]   run a simulated cluster
TXT
}

case "${1:-}" in
    setup) setup ;;
    build) build ;;
    test) shift; setup; build; run_tests "$@" ;;
    demo) demo ;;
    bench)
        build
        for b in "$BUILD"/bench/*_bench; do say "$(basename "$b")"; "$b" --benchmark_min_time=0.2; done
        ;;
    cluster) shift; cluster "$@" ;;
    *) usage; [ -z "${1:-}" ] || exit 2 ;;
esac
