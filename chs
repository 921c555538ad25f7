#!/usr/bin/env bash
# The project's one entry point: set-up, build, test, demo, simulated clusters.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
BUILD="${CHS_BUILD_DIR:-$ROOT/build}"
JOBS="${CHS_JOBS:-2}"

# What configuring and building needs (./chs build); the rest of PACKAGES is
# for the tests, the demo and the simulated clusters.
BUILD_PACKAGES=(build-essential cmake ninja-build pkg-config
                libjsoncpp-dev libcurl4-openssl-dev libssl-dev libsqlite3-dev
                libgtest-dev libgmock-dev libbenchmark-dev libprotobuf-dev protobuf-compiler python3)
PACKAGES=("${BUILD_PACKAGES[@]}" openssl sqlite3 linux-perf procps iputils-ping
          curl nginx-light tinyproxy openssh-server openssh-client etcd-server)

# Only the sanitized and fuzz builds need these: clang with its sanitizer and
# libFuzzer runtimes (gcc's UBSan ignores log_path next to ASan).
CLANG_PACKAGES=(clang libclang-rt-dev)

say() { printf '== %s\n' "$*"; }

# missing_packages PACKAGE...: those of the list that are not installed, one a line.
missing_packages() {
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
    done
}

# setup [PACKAGE...]: installs the missing ones of PACKAGES, or of the list given.
setup() {
    local missing=() wanted=("${PACKAGES[@]}")
    [ $# -eq 0 ] || wanted=("$@")
    mapfile -t missing < <(missing_packages "${wanted[@]}")
    if [ ${#missing[@]} -eq 0 ]; then
        return 0
    fi
    say "installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# build_prerequisites: the development packages the build needs (BUILD_PACKAGES) are there
# before CMake runs. Missing ones are installed where that needs no password
# (root, or sudo without one); otherwise the command says what is missing and
# to run ./chs setup, and ends with 1.
build_prerequisites() {
    local missing=()
    command -v dpkg-query >/dev/null 2>&1 || return 0  # not Debian: CMake says what it lacks
    mapfile -t missing < <(missing_packages "${BUILD_PACKAGES[@]}")
    [ ${#missing[@]} -gt 0 ] || return 0
    if [ "$(id -u)" -eq 0 ] || sudo -n true 2>/dev/null; then
        setup "${missing[@]}" || { echo "chs: installing ${missing[*]} failed; see the apt-get output above" >&2; exit 1; }
        return 0
    fi
    echo "chs: the build needs these packages, which are not installed: ${missing[*]}" >&2
    echo "chs: run ./chs setup (it installs them with apt-get and asks for the sudo password)" >&2
    exit 1
}

build() {
    build_prerequisites
    local generator=()
    command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
    if [ ! -f "$BUILD/CMakeCache.txt" ]; then
        if ! cmake -S "$ROOT" -B "$BUILD" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo ${CHS_CMAKE_ARGS:-}; then
            # A half-made cache would skip this step next time.
            rm -f "$BUILD/CMakeCache.txt"
            echo "chs: configuring $BUILD failed (above); ./chs setup installs the packages the build needs" >&2
            exit 1
        fi
    fi
    cmake --build "$BUILD" -j "$JOBS"
}

# package_deb: builds, then the Debian package into the build folder, and
# prints its path (cpack's output in build/package-deb.log).
package_deb() {
    build
    command -v dpkg-shlibdeps >/dev/null 2>&1 || setup dpkg-dev
    local log="$BUILD/package-deb.log" deb
    if ! (cd "$BUILD" && cpack -G DEB -B "$BUILD") >"$log" 2>&1; then
        tail -n 20 "$log" >&2
        echo "chs: the Debian package was not made; cpack's output is in $log" >&2
        exit 1
    fi
    deb="$(sed -n 's/^CPack: - package: \(.*\.deb\) generated\.$/\1/p' "$log" | tail -n 1)"
    [ -n "$deb" ] && [ -f "$deb" ] || { echo "chs: cpack named no package; see $log" >&2; exit 1; }
    say "Debian package (dpkg -c to list it, apt install to install it):"
    echo "$deb"
}

run_tests() {
    ctest --test-dir "$BUILD" --output-on-failure -j "$JOBS" --timeout 600 "$@"
}

# Sanitized builds: each kind in a folder of its own beside build/, so that a
# normal build is never rebuilt with (or mistaken for) an instrumented one.
SANITIZERS="$ROOT/cmake/sanitizers"

# sanitize_build_dir LIST: the build folder of a sanitizer list.
sanitize_build_dir() {
    case "$1" in
        address,undefined | undefined,address) echo "${CHS_BUILD_DIR:-$ROOT/build}-asan-ubsan" ;;
        address) echo "${CHS_BUILD_DIR:-$ROOT/build}-asan" ;;
        undefined) echo "${CHS_BUILD_DIR:-$ROOT/build}-ubsan" ;;
        thread) echo "${CHS_BUILD_DIR:-$ROOT/build}-tsan" ;;
        *) echo "chs: --sanitize takes address,undefined, address, undefined or thread" >&2; exit 2 ;;
    esac
}

# sanitize_env REPORTS: every process the suite starts (test programs, the
# daemons and peers of the integration tests, chsctl) writes its reports as
# files into REPORTS instead of onto an output nobody reads. Unsymbolized: a
# daemon killed at the end of its test must not leave a report cut off while
# it waits for the symbolizer; the reports are symbolized after the run.
sanitize_env() {
    local reports="$1"
    export ASAN_OPTIONS="log_path=$reports/asan:symbolize=0:halt_on_error=1:detect_leaks=1:strict_string_checks=1:check_initialization_order=1:detect_stack_use_after_return=0"
    export LSAN_OPTIONS="suppressions=$SANITIZERS/lsan.supp:print_suppressions=0"
    export UBSAN_OPTIONS="log_path=$reports/ubsan:symbolize=0:print_stacktrace=1:halt_on_error=1:suppressions=$SANITIZERS/ubsan.supp"
    # Not halting: one run lists every race, and the exit code fails the test anyway.
    export TSAN_OPTIONS="log_path=$reports/tsan:symbolize=0:halt_on_error=0:second_deadlock_stack=1:suppressions=$SANITIZERS/tsan.supp:print_suppressions=0"
}

# sanitize_test LIST CTEST-ARGS...: builds the suite with the sanitizers of
# LIST and runs it; fails when a test fails or any process left a report.
sanitize_test() {
    local list="$1" reports status=0 files=()
    shift
    BUILD="$(sanitize_build_dir "$list")"
    local generator=()
    command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
    [ -f "$BUILD/CMakeCache.txt" ] || generator+=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
    CC=clang CXX=clang++ cmake -S "$ROOT" -B "$BUILD" "${generator[@]}" -DCHS_SANITIZE="$list" \
        -DCHS_BUILD_BENCH=OFF ${CHS_CMAKE_ARGS:-} >/dev/null
    cmake --build "$BUILD" -j "$JOBS"
    reports="$BUILD/sanitizer-reports"
    rm -rf "$reports"
    mkdir -p "$reports"
    say "sanitizers $list: reports of every process go to $reports"
    (sanitize_env "$reports" && run_tests "$@") || status=$?
    # A report that reached an output instead of its file still counts.
    grep -E -h -m 5 'runtime error:|ERROR: (Address|Leak)Sanitizer|WARNING: ThreadSanitizer' \
        "$BUILD/Testing/Temporary/LastTest.log" >"$reports/on-test-output" 2>/dev/null || rm -f "$reports/on-test-output"
    mapfile -t files < <(find "$reports" -type f | sort)
    if [ "${#files[@]}" -gt 0 ]; then
        python3 "$SANITIZERS/symbolize.py" --build "$BUILD" "${files[@]}" || true
        echo "chs: ${#files[@]} sanitizer report(s) in $reports:" >&2
        local f
        for f in "${files[@]}"; do
            echo "---- $f" >&2
            head -n 40 "$f" >&2
        done
        [ "$status" -ne 0 ] || status=1
    fi
    return "$status"
}

# fuzz [SECONDS]: builds the libFuzzer targets with clang (build-fuzz/) and runs
# each for SECONDS (default 60) from its corpus in fuzz/corpus/<target>/. New
# inputs go to the build folder, so that the corpus kept in the repository
# stays the small hand-picked one; a finding is left in build-fuzz/findings/.
fuzz() {
    local seconds="${1:-60}" dir="${CHS_BUILD_DIR:-$ROOT/build}-fuzz" t status=0 targets=()
    [[ "$seconds" =~ ^[1-9][0-9]*$ ]] || { echo "usage: ./chs fuzz [SECONDS]" >&2; exit 2; }
    setup "${CLANG_PACKAGES[@]}"
    local generator=()
    command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
    if [ ! -f "$dir/CMakeCache.txt" ]; then
        CC=clang CXX=clang++ cmake -S "$ROOT" -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
            -DCHS_FUZZ=ON -DCHS_BUILD_TESTS=OFF -DCHS_BUILD_BENCH=OFF >/dev/null
    fi
    for t in "$ROOT"/fuzz/*_fuzz.cpp; do
        targets+=("$(basename "$t" .cpp)")
    done
    cmake --build "$dir" -j "$JOBS" --target "${targets[@]}"
    for t in "${targets[@]}"; do
        local name="${t%_fuzz}" work="$dir/corpus/${t%_fuzz}" findings="$dir/findings/${t%_fuzz}"
        mkdir -p "$work" "$findings" "$ROOT/fuzz/corpus/$name"
        say "$t: $seconds s"
        if ! "$dir/fuzz/$t" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$findings/" \
            "$work" "$ROOT/fuzz/corpus/$name" >"$dir/$t.log" 2>&1; then
            status=1
            echo "chs: $t found a fault; the input is in $findings/, the output in $dir/$t.log" >&2
            grep -E 'ERROR|SUMMARY|Test unit written' "$dir/$t.log" >&2 || true
        fi
        grep -E '^stat::number_of_executed_units|^Done [0-9]+ runs' "$dir/$t.log" | sed 's/^/   /' || true
    done
    return "$status"
}

# test_command [--sanitize LIST] CTEST-ARGS...
test_command() {
    if [ "${1:-}" = --sanitize ]; then
        [ $# -ge 2 ] || { echo "chs: --sanitize takes a list" >&2; exit 2; }
        local list="$2"
        shift 2
        sanitize_build_dir "$list" >/dev/null
        setup
        setup "${CLANG_PACKAGES[@]}"
        sanitize_test "$list" "$@"
        return
    fi
    setup
    build
    run_tests "$@"
}

# The session key chsctl sends with management requests (kChsctlSessionKey in
# tools/chsctl_client.h) and the user the access-authentication peer answers for it.
CHSCTL_SESSION_KEY=12345
CHSCTL_USER=admin
# Short, so that a person sees a collected file arrive soon after switching on.
COLLECT_INTERVAL_SEC="${CHS_COLLECT_INTERVAL:-20}"

cluster_usage() {
    echo "usage: ./chs cluster up [--nodes N] [--dir DIR] [--no-build] [--remote https]" \
        "[--backend sqlite|etcd] [--transport unix|tcp] [--netns] | down [--dir DIR] | status [--dir DIR]" >&2
    exit 2
}

REMOTE_HTTPS="$ROOT/scripts/remote_https/remote_https.sh"

# free_port: a TCP port on 127.0.0.1 that nobody listens on right now.
free_port() {
    python3 -c 'import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])'
}

# remote_config DIR [URL]: with a URL, points the agents of DIR at the local
# HTTPS service in DIR/remote-https/ (the "remote" section of peers.json;
# the other sections and a proxy or time-out set by hand are kept) and lets
# the simulated nodes resolve host names (cluster.json "dns"). Without one,
# drops a "remote" section that names that service, so that the agents copy
# into DIR/remote/ again; a section of one's own is left alone.
remote_config() {
    python3 - "$@" <<'PY'
import json, os, sys
directory, url = sys.argv[1], (sys.argv[2] if len(sys.argv) > 2 else "")
service = os.path.join(directory, "remote-https")

def edit(name, change):
    path = os.path.join(directory, name)
    with open(path) as source:
        document = json.load(source)
    if change(document):
        # peers.json may hold a proxy password: the new file keeps the old
        # mode, never more than owner read-write and group read.
        fd = os.open(path + ".tmp", os.O_WRONLY | os.O_CREAT | os.O_TRUNC, os.stat(path).st_mode & 0o640)
        with os.fdopen(fd, "w") as out:
            json.dump(document, out, indent=2)
            out.write("\n")
        os.replace(path + ".tmp", path)

def peers(document):
    remote = document.get("remote")
    ours = isinstance(remote, dict) and str(remote.get("ca_file", "")).startswith(service + "/")
    if url:
        remote = remote if isinstance(remote, dict) else {}
        remote.update({"url": url, "ca_file": os.path.join(service, "ca.pem"),
                       "crl_file": os.path.join(service, "crl.pem")})
        document["remote"] = remote
        return True
    if ours:
        del document["remote"]
        return True
    return False

def cluster(document):
    document["dns"] = True
    return True

edit("peers.json", peers)
if url:
    edit("cluster.json", cluster)
PY
}

# remote_https_up DIR: a private CA, a certificate for localhost and the
# HTTPS service on a free loopback port, storing uploads in DIR/remote/.
remote_https_up() {
    local dir="$1" svc="$1/remote-https" port tries
    command -v nginx >/dev/null 2>&1 || { echo "chs: --remote https needs nginx (./chs setup)" >&2; exit 1; }
    [ -f "$svc/ca.pem" ] || "$REMOTE_HTTPS" mkca "$svc"
    [ -f "$svc/server.pem" ] || "$REMOTE_HTTPS" mkcert "$svc" server localhost DNS:localhost IP:127.0.0.1
    # Another program may take the port between the probe and nginx's bind.
    for tries in 1 2 3; do
        port="$(free_port)"
        if "$REMOTE_HTTPS" start "$svc" "$port" server "$dir/remote" >/dev/null; then
            remote_config "$dir" "https://localhost:$port/upload"
            echo "$port" >"$svc/port"
            return 0
        fi
        "$REMOTE_HTTPS" stop "$svc" 2>/dev/null || true
    done
    echo "chs: the HTTPS remote support service does not start; see $svc/service-*/" >&2
    exit 1
}

# Network namespaces (--netns): node N runs in the namespace <tag>-n<N> with
# the address 10.250.0.<N+1>/24 on a veth pair whose other end is on the
# bridge <tag>br (10.250.0.254, where etcd listens too). <tag> comes from the
# cluster directory, so that `down` finds what `up` made; the addresses exist
# only inside those namespaces and on the bridge.
NETNS_NET=10.250.0
netns_tag() {
    printf 'c%s' "$(printf '%s' "$1" | md5sum | cut -c1-5)"
}

# netns_up DIR ID...: the bridge, and a namespace with its link for each node.
netns_up() {
    local dir="$1" tag n ns
    shift
    command -v ip >/dev/null 2>&1 || { echo "chs: --netns needs ip (iproute2)" >&2; exit 1; }
    tag="$(netns_tag "$dir")"
    if ! ip link show "${tag}br" >/dev/null 2>&1; then
        if ip -o addr show | grep -q " $NETNS_NET.254/"; then
            echo "chs: $NETNS_NET.254 is taken (another cluster with --netns?); bring that one down first" >&2
            exit 1
        fi
        ip link add "${tag}br" type bridge
        ip addr add "$NETNS_NET.254/24" dev "${tag}br"
        ip link set "${tag}br" up
    fi
    echo "$tag" >"$dir/run/netns"
    for n in "$@"; do
        ns="$tag-n$n"
        ip netns list | grep -qw "$ns" && continue
        ip netns add "$ns"
        ip link add "${tag}v$n" type veth peer name eth0 netns "$ns"
        ip link set "${tag}v$n" master "${tag}br" up
        ip -n "$ns" addr add "$NETNS_NET.$((n + 1))/24" dev eth0
        ip -n "$ns" link set lo up
        ip -n "$ns" link set eth0 up
    done
}

# netns_down DIR: removes the namespaces, links and bridge netns_up made.
netns_down() {
    local dir="$1" tag ns
    [ -f "$dir/run/netns" ] || return 0
    tag="$(cat "$dir/run/netns")"
    [[ "$tag" =~ ^c[0-9a-f]{5}$ ]] || return 0
    for ns in $(ip netns list | awk '{print $1}' | grep -E "^$tag-n[0-9]+$" || true); do
        ip netns del "$ns" 2>/dev/null || true  # its veth end goes with it, and so does the pair
    done
    ip link del "${tag}br" 2>/dev/null || true
    rm -f "$dir/run/netns"
}

# netns_addresses DIR: puts the nodes of DIR's cluster.json on their namespace addresses.
netns_addresses() {
    python3 - "$1/cluster.json" "$NETNS_NET" <<'PY'
import json, os, sys
path, net = sys.argv[1], sys.argv[2]
with open(path) as source:
    document = json.load(source)
for node in document["nodes"]:
    node["internalIps"] = ["%s.%d" % (net, node["id"] + 1)]
with open(path + ".tmp", "w") as out:
    json.dump(document, out, indent=2)
    out.write("\n")
os.replace(path + ".tmp", path)
PY
}

# etcd_up DIR: a single-member etcd for the cluster's configuration database,
# its data in DIR/etcd, listening on two free loopback ports only. Sets
# ETCD_URL to the client URL once etcd answers. With a HOST it listens on
# HOST too (the namespaces' bridge).
etcd_up() {
    local dir="$1" host="${2:-127.0.0.1}" client peer url waited
    command -v etcd >/dev/null 2>&1 || { echo "chs: --backend etcd needs etcd (./chs setup)" >&2; exit 1; }
    client="$(free_port)"
    peer="$(free_port)"
    url="http://$host:$client"
    mkdir -p "$dir/etcd" "$dir/run"
    chmod 700 "$dir/etcd"
    proc_start "$dir" etcd "" etcd --name chs --data-dir "$dir/etcd/data" \
        --listen-client-urls "$url${2:+,http://127.0.0.1:$client}" --advertise-client-urls "$url" \
        --listen-peer-urls "http://127.0.0.1:$peer" --initial-advertise-peer-urls "http://127.0.0.1:$peer" \
        --initial-cluster "chs=http://127.0.0.1:$peer" --log-level warn
    for waited in $(seq 1 100); do
        if curl -fsS -m 1 -X POST -d '{}' "$url/v3/maintenance/status" >/dev/null 2>&1; then
            echo "$url" >"$dir/etcd/url"
            ETCD_URL="$url"
            return 0
        fi
        pid_alive "$dir/run/etcd.pid" etcd || break
        sleep 0.1
    done
    echo "chs: etcd does not answer on $url; see $dir/run/etcd.out" >&2
    exit 1
}

# pid_alive PIDFILE NAME: whether the process recorded in PIDFILE runs and is NAME
# (a recycled pid of some other program is never signalled). NAME "supervisor"
# is a "chs supervise" process (a shell running this script).
pid_alive() {
    local pid args=()
    pid="$(cat "$1" 2>/dev/null || true)"
    [[ "$pid" =~ ^[0-9]+$ ]] || return 1
    if [ "$2" = supervisor ]; then
        mapfile -d '' -t args 2>/dev/null <"/proc/$pid/cmdline" || return 1
        [ "${#args[@]}" -ge 3 ] && [[ "${args[1]}" == */chs ]] && [ "${args[2]}" = supervise ]
        return
    fi
    [ "$(ps -p "$pid" -o comm= 2>/dev/null || true)" = "$2" ]
}

# proc_start DIR NAME NODE PROGRAM ARGS...: one background process with its
# output and pid file under DIR/run.
proc_start() {
    local dir="$1" name="$2" node="$3"
    shift 3
    PATH="$dir/bin:$PATH" nohup "$@" >"$dir/run/$name$node.out" 2>&1 </dev/null &
    echo "$!" >"$dir/run/$name$node.pid"
}

# proc_stop PIDFILE NAME: SIGTERM, up to 5 s of grace, then SIGKILL.
proc_stop() {
    local pidfile="$1" name="$2" pid i
    if pid_alive "$pidfile" "$name"; then
        pid="$(cat "$pidfile")"
        kill -TERM "$pid" 2>/dev/null || true
        for i in $(seq 1 50); do
            pid_alive "$pidfile" "$name" || break
            sleep 0.1
        done
        if pid_alive "$pidfile" "$name"; then
            kill -KILL "$pid" 2>/dev/null || true
        fi
    fi
    rm -f "$pidfile"
}

# Supervision of the daemons, as a service manager restarts a service on
# failure: a daemon that dies (any end but exit status 0) is started again
# after RESTART_DELAY_SEC, at most RESTART_LIMIT times within RESTART_WINDOW_SEC;
# after that it stays down. Each end of a daemon is one line in
# DIR/run/infocollector<N>.restarts.
RESTART_LIMIT=5
RESTART_WINDOW_SEC=60
RESTART_DELAY_SEC=0.5

# exit_text STATUS: a wait status of the shell in words.
exit_text() {
    if [ "$1" -gt 128 ]; then
        printf 'status %s (killed by SIG%s)' "$1" "$(kill -l "$(($1 - 128))" 2>/dev/null || echo "?")"
    else
        printf 'exit status %s' "$1"
    fi
}

# supervise DIR NODE PROGRAM ARGS...: runs the daemon of node NODE (PROGRAM
# ARGS, output appended to DIR/run/infocollector<NODE>.out, pid in
# infocollector<NODE>.pid) and restarts it as described above. SIGTERM ends
# the supervision at once and leaves the daemon running: `cluster down`
# stops the supervisor first, then the daemon.
supervise() {
    local dir="$1" node="$2" stop=0 pid status now t
    shift 2
    local pidfile="$dir/run/infocollector$node.pid" log="$dir/run/infocollector$node.restarts"
    local restarts=() recent=()
    trap 'stop=1' TERM
    while [ "$stop" -eq 0 ]; do
        "$@" >>"$dir/run/infocollector$node.out" 2>&1 </dev/null &
        pid=$!
        echo "$pid" >"$pidfile.tmp"
        mv -f "$pidfile.tmp" "$pidfile"
        # SIGTERM, now or during the wait: the daemon runs on and is down's to stop.
        [ "$stop" -eq 0 ] || break
        status=0
        wait "$pid" || status=$?
        [ "$stop" -eq 0 ] || break
        now="$(date +%s)"
        if [ "$status" -eq 0 ]; then
            echo "$(date -u +%FT%TZ) pid $pid ended with exit status 0: stopped cleanly, not restarted" >>"$log"
            break
        fi
        recent=()
        for t in "${restarts[@]}"; do
            [ $((now - t)) -ge "$RESTART_WINDOW_SEC" ] || recent+=("$t")
        done
        restarts=("${recent[@]}")
        if [ "${#restarts[@]}" -ge "$RESTART_LIMIT" ]; then
            echo "$(date -u +%FT%TZ) pid $pid ended with $(exit_text "$status"): not restarted," \
                "it was restarted $RESTART_LIMIT times within $RESTART_WINDOW_SEC s" >>"$log"
            break
        fi
        restarts+=("$now")
        echo "$(date -u +%FT%TZ) pid $pid ended with $(exit_text "$status"): restart ${#restarts[@]}" \
            "of at most $RESTART_LIMIT within $RESTART_WINDOW_SEC s" >>"$log"
        sleep "$RESTART_DELAY_SEC"
    done
}

# daemon_end DIR NODE PID: the supervisor's line about the end of daemon PID
# of node NODE, waiting a moment for it; empty when there is none.
daemon_end() {
    local i line
    for i in $(seq 1 30); do
        line="$(grep -F " pid $3 ended with " "$1/run/infocollector$2.restarts" 2>/dev/null | tail -n 1 || true)"
        [ -z "$line" ] || { echo "$line"; return 0; }
        sleep 0.1
    done
}

# node_answers DIR NODE: waits up to 20 s for the daemon of node NODE to
# answer (any answer, a failure result included: it serves its endpoint).
# A daemon that dies meanwhile is named at once with its exit status, and
# the one its supervisor starts again gets 20 s of its own. 0 answered,
# 1 did not answer, 2 died and was not restarted.
node_answers() {
    local dir="$1" n="$2" pid="" now reported="" deadline=$((SECONDS + 20))
    while [ "$SECONDS" -lt "$deadline" ]; do
        now="$(cat "$dir/run/infocollector$n.pid" 2>/dev/null || true)"
        if [[ "$now" =~ ^[0-9]+$ ]] && [ "$now" != "$pid" ]; then
            [ -z "$pid" ] || [ "$reported" = "$pid" ] || died_at_start "$dir" "$n" "$pid"
            pid="$now"
            deadline=$((SECONDS + 20))
        fi
        # The supervisor's child, not signalled: a probe only.
        if [ -z "$pid" ] || ! kill -0 "$pid" 2>/dev/null; then
            if [ -n "$pid" ] && [ "$reported" != "$pid" ]; then
                died_at_start "$dir" "$n" "$pid"
                reported="$pid"
            fi
            pid_alive "$dir/run/supervisor$n.pid" supervisor || return 2
            sleep 0.1
            continue
        fi
        if [ -n "$("$BUILD/tools/chsctl" --cluster "$dir" --node "$n" --timeout 2 --json switch get 2>/dev/null ||
            true)" ]; then
            return 0
        fi
        sleep 0.5
    done
    return 1
}

# died_at_start DIR NODE PID: says that daemon PID of node NODE died, and how.
died_at_start() {
    local end
    end="$(daemon_end "$1" "$2" "$3")"
    [ -n "$end" ] || end="an unknown status (its supervisor is gone)"
    echo "chs: node $2: infocollector (pid $3) died during start-up with ${end#* pid $3 ended with }" >&2
}

# cluster_nodes DIR: the node ids of the cluster file, one a line.
cluster_nodes() {
    python3 -c 'import json, sys
for node in json.load(open(sys.argv[1]))["nodes"]:
    print(node["id"])' "$1/cluster.json"
}

cluster_up() {
    local dir="$1" nodes="$2" interval="$3" remote="${4:-}" backend="${5:-sqlite}" transport="${6:-unix}"
    local netns="${7:-}" n answered=() silent=() down=() layout=() within=()
    local chsctl="$BUILD/tools/chsctl" peers="$BUILD/peers/chs-peers" daemon="$BUILD/core/infocollector" prog
    for prog in "$chsctl" "$peers" "$daemon"; do
        [ -x "$prog" ] || { echo "chs: $prog is not built (./chs build)" >&2; exit 1; }
    done
    if compgen -G "$dir/run/*.pid" >/dev/null || compgen -G "$dir/remote-https/service-*/nginx.pid" >/dev/null; then
        echo "chs: $dir has processes of an earlier start; ./chs cluster down --dir $dir first" >&2
        exit 1
    fi
    mkdir -p "$dir/run"
    if [ -n "$netns" ]; then
        [ "$transport" = tcp ] || { echo "chs: --netns needs --transport tcp" >&2; exit 2; }
        [ -f "$dir/cluster.json" ] || [ "$backend" = etcd ] || { echo "chs: --netns needs --backend etcd" >&2; exit 2; }
        local ids_wanted=()
        if [ -f "$dir/cluster.json" ]; then mapfile -t ids_wanted < <(cluster_nodes "$dir"); else ids_wanted=($(seq 0 $((nodes - 1)))); fi
        netns_up "$dir" "${ids_wanted[@]}"
    fi
    if [ "$backend" = etcd ]; then
        # A new etcd keeps its data between starts; its port is new each time.
        etcd_up "$dir" ${netns:+"$NETNS_NET.254"}
        layout+=(--ccdb etcd --etcd-endpoint "$ETCD_URL")
    fi
    [ "$transport" = unix ] || layout+=(--transport "$transport")
    if [ ! -f "$dir/cluster.json" ]; then
        "$chsctl" mkcluster "$dir" --nodes "$nodes" --collect-interval "$interval" "${layout[@]}" >/dev/null
        [ -z "$netns" ] || netns_addresses "$dir"
    elif [ "$backend" = etcd ]; then
        python3 - "$dir/cluster.json" "$ETCD_URL" <<'PY'
import json, os, sys
path, url = sys.argv[1], sys.argv[2]
with open(path) as source:
    document = json.load(source)
ccdb = document.get("ccdb")
if not isinstance(ccdb, dict) or ccdb.get("backend") != "etcd":
    sys.exit("chs: %s was made for another backend; remove the directory or use its own" % path)
ccdb["endpoints"] = [url]
with open(path + ".tmp", "w") as out:
    json.dump(document, out, indent=2)
    out.write("\n")
os.replace(path + ".tmp", path)
PY
    fi
    # peers.json holds session keys and may hold proxy credentials: owner only
    # from its first byte on, and an older file loses what others could read.
    [ -f "$dir/peers.json" ] ||
        (umask 077 && printf '{"sessions": {"%s": "%s"}}\n' "$CHSCTL_SESSION_KEY" "$CHSCTL_USER" >"$dir/peers.json")
    chmod g-wx,o-rwx "$dir/peers.json"
    mkdir -p "$dir/run" "$dir/remote"
    if [ "$remote" = https ]; then
        remote_https_up "$dir"
    else
        remote_config "$dir"
    fi
    local ids=()
    mapfile -t ids < <(cluster_nodes "$dir")
    # The peers first: the daemon talks to them from its first minutes on.
    for n in "${ids[@]}"; do
        [ -z "$netns" ] || within=(ip netns exec "$(cat "$dir/run/netns")-n$n")
        proc_start "$dir" chs-peers "$n" "${within[@]}" "$peers" "$dir/cluster.json" "$n" "$dir/node$n"
    done
    for n in "${ids[@]}"; do
        [ -z "$netns" ] || within=(ip netns exec "$(cat "$dir/run/netns")-n$n")
        rm -f "$dir/run/infocollector$n.restarts"
        : >"$dir/run/infocollector$n.out"
        proc_start "$dir" supervisor "$n" bash "$ROOT/chs" supervise "$dir" "$n" \
            "${within[@]}" "$daemon" -m INFOCOLLECTOR "$dir/cluster.json" "$n" -r "$dir/node$n"
    done
    for n in "${ids[@]}"; do
        node_answers "$dir" "$n" && answered+=("$n") || case $? in 1) silent+=("$n") ;; *) down+=("$n") ;; esac
    done
    say "cluster $dir: ${#ids[@]} node(s)"
    for n in "${ids[@]}"; do
        printf '   node %s: infocollector pid %s (supervised), chs-peers pid %s\n' "$n" \
            "$(cat "$dir/run/infocollector$n.pid" 2>/dev/null || echo none)" "$(cat "$dir/run/chs-peers$n.pid")"
    done
    [ "${#answered[@]}" -eq 0 ] || say "answering: node(s) ${answered[*]}"
    if [ "$remote" = https ]; then
        say "the agents upload over HTTPS to https://localhost:$(cat "$dir/remote-https/port")/upload/" \
            "(CA $dir/remote-https/ca.pem; service logs in $dir/remote-https/service-*/)"
    fi
    say "collected files arrive in $dir/remote/ once collection is on:"
    printf '   %q --cluster %q --node 0 switch set on\n' "$chsctl" "$dir"
    if [ "${#down[@]}" -gt 0 ]; then
        echo "chs: node(s) ${down[*]} stayed down; why: $dir/run/infocollector<N>.restarts," \
            "$dir/run/*.out and $dir/node*/var/log/chs/" >&2
    fi
    if [ "${#silent[@]}" -gt 0 ]; then
        echo "chs: node(s) ${silent[*]} did not answer within 20 s; see $dir/run/*.out and $dir/node*/var/log/chs/" >&2
    fi
    [ "${#down[@]}" -eq 0 ] && [ "${#silent[@]}" -eq 0 ]
}

cluster_down() {
    local dir="$1" pidfile
    # The supervisors first, so that no daemon is started again while it is
    # stopped; then the daemons, so that none of them is left talking to a stopped peer.
    for pidfile in "$dir"/run/supervisor*.pid; do
        [ -f "$pidfile" ] && proc_stop "$pidfile" supervisor
    done
    for pidfile in "$dir"/run/infocollector*.pid; do
        [ -f "$pidfile" ] && proc_stop "$pidfile" infocollector
    done
    for pidfile in "$dir"/run/chs-peers*.pid; do
        [ -f "$pidfile" ] && proc_stop "$pidfile" chs-peers
    done
    if [ -d "$dir/remote-https" ]; then
        "$REMOTE_HTTPS" stop "$dir/remote-https" || true
    fi
    [ -f "$dir/run/etcd.pid" ] && proc_stop "$dir/run/etcd.pid" etcd
    netns_down "$dir"
    say "cluster $dir is down"
}

# supervision_status DIR NODE: what cluster status adds to the line of a
# daemon: how often it was restarted and the last end, or why it stays down.
supervision_status() {
    local dir="$1" n="$2" log="$1/run/infocollector$2.restarts" count last
    count="$(grep -c ': restart ' "$log" 2>/dev/null || true)"
    last="$(tail -n 1 "$log" 2>/dev/null || true)"
    if pid_alive "$dir/run/infocollector$n.pid" infocollector; then
        pid_alive "$dir/run/supervisor$n.pid" supervisor || printf ', not supervised'
        [ "${count:-0}" -eq 0 ] || printf ', restarted %s time(s), last: %s' "$count" "$last"
    elif [ -n "$last" ]; then
        printf ': %s' "$last"
    fi
}

cluster_status() {
    local dir="$1" pidfile name found=0
    for pidfile in "$dir"/run/infocollector*.pid "$dir"/run/chs-peers*.pid "$dir"/run/etcd.pid; do
        [ -f "$pidfile" ] || continue
        found=1
        name="$(basename "$pidfile" .pid)"
        printf '%s: %s%s\n' "$name" \
            "$(pid_alive "$pidfile" "${name%%[0-9]*}" && echo running || echo stopped)" \
            "$([ "${name%%[0-9]*}" != infocollector ] || supervision_status "$dir" "${name#infocollector}")"
    done
    for pidfile in "$dir"/remote-https/service-*/nginx.pid; do
        [ -f "$pidfile" ] || continue
        found=1
        printf 'remote-https %s: %s\n' "$(basename "$(dirname "$pidfile")")" \
            "$(pid_alive "$pidfile" nginx && echo running || echo stopped)"
    done
    [ "$found" -eq 1 ] || echo "no processes started in $dir"
}

cluster() {
    local action="${1:-}" dir="$BUILD/cluster" nodes=3 nobuild="${CHS_NO_BUILD:-}" remote="" backend=sqlite
    local transport=unix netns=""
    [ $# -eq 0 ] || shift
    while [ $# -gt 0 ]; do
        case "$1" in
            --nodes) [ $# -ge 2 ] || cluster_usage; nodes="$2"; shift 2 ;;
            --dir) [ $# -ge 2 ] && [ -n "$2" ] || cluster_usage; dir="$2"; shift 2 ;;
            --no-build) nobuild=1; shift ;;
            --remote)
                [ $# -ge 2 ] && [ "$2" = https ] || { echo "chs: --remote takes https" >&2; cluster_usage; }
                remote="$2"; shift 2 ;;
            --backend)
                [ $# -ge 2 ] && [[ "$2" =~ ^(sqlite|etcd)$ ]] || { echo "chs: --backend takes sqlite or etcd" >&2; cluster_usage; }
                backend="$2"; shift 2 ;;
            --netns) netns=1; shift ;;
            --transport)
                [ $# -ge 2 ] && [[ "$2" =~ ^(unix|tcp)$ ]] || { echo "chs: --transport takes unix or tcp" >&2; cluster_usage; }
                transport="$2"; shift 2 ;;
            *) echo "chs: unknown cluster argument: $1" >&2; cluster_usage ;;
        esac
    done
    if ! [[ "$nodes" =~ ^[0-9]+$ ]] || [ "$nodes" -lt 1 ] || [ "$nodes" -gt 16 ]; then
        echo "chs: --nodes takes a number from 1 to 16" >&2
        exit 2
    fi
    case "$dir" in /*) ;; *) dir="$PWD/$dir" ;; esac
    case "$action" in
        up)
            [ -n "$nobuild" ] || build
            cluster_up "$dir" "$nodes" "$COLLECT_INTERVAL_SEC" "$remote" "$backend" "$transport" "$netns"
            ;;
        down) cluster_down "$dir" ;;
        status) cluster_status "$dir" ;;
        *) cluster_usage ;;
    esac
}

# demo_wait_file DIR SECONDS: waits for a collected file in DIR/remote/.
demo_wait_file() {
    local i
    say "waiting up to $2 s for a collected file in $1/remote/"
    for i in $(seq 1 "$(($2 * 2))"); do
        compgen -G "$1/remote/*/*.tgz" >/dev/null && return 0
        sleep 0.5
    done
    return 1
}

# demo_end DIR STATUS: the demo's exit trap; whatever happened, the cluster goes down.
demo_end() {
    local dir="$1" status="$2"
    if [ "$status" -ne 0 ]; then
        echo "chs: the demo failed (status $status); the end of node 0's log:" >&2
        tail -n 25 "$dir/node0/var/log/chs/infocollector.log" >&2 2>/dev/null || true
        echo "chs: every log: $dir/node*/var/log/chs/ and $dir/run/*.out" >&2
    fi
    cluster_down "$dir" >/dev/null 2>&1 || true
}

demo() {
    setup
    build
    local dir="$BUILD/demo-cluster" chsctl="$BUILD/tools/chsctl" nodes=3
    local ctl=("$chsctl" --cluster "$dir" --node 0) bundle="$dir/DiagnoseInfo.tgz"
    cluster_down "$dir" >/dev/null 2>&1 || true
    rm -rf "$dir"
    mkdir -p "$dir"
    "$chsctl" mkcluster "$dir" --nodes "$nodes" --log-level 7 --collect-interval 5 >/dev/null
    say "cluster in $dir; starting $nodes nodes (daemons and sibling modules)"
    trap "demo_end $(printf '%q' "$dir") \$?" EXIT
    cluster_up "$dir" "$nodes" 5 || say "not every node answers; the demo goes on with those that do"
    "${ctl[@]}" switch get || true
    if "${ctl[@]}" switch set on; then
        if demo_wait_file "$dir" 12; then
            find "$dir/remote" -type f -name '*.tgz' | sed 's/^/   /'
        else
            say "no collected file yet; the demo goes on"
        fi
    else
        say "collection is not switched on; the export goes on without it"
    fi
    say "diagnose export of every node, run by node 0"
    "${ctl[@]}" export start --wait
    say "downloading the bundle"
    "${ctl[@]}" export download -o "$bundle"
    say "what the bundle holds ($bundle):"
    tar tzvf "$bundle" | sed 's/^/   /'
    say "clearing the export"
    "${ctl[@]}" export clear
    say "remote log task: the history logs of the last hour from every node, run by node 1"
    local now
    now="$(date +%s)"
    "$chsctl" --cluster "$dir" --node 1 remote-log start --mode 2 --from "$((now - 3600))" --to "$now" \
        --task-id demo-history --wait
    say "what reached the remote support folder ($dir/remote/):"
    find "$dir/remote" -path '*/chs_*' -type f | sort | sed 's/^/   /'
    trap - EXIT
    cluster_down "$dir"
    say "logs: $dir/node*/var/log/chs/infocollector.log"
    say "writing a collection plugin of your own: $ROOT/docs/plugins.md"
}

usage() {
    cat <<'TXT'
usage: ./chs COMMAND
  setup     install the Debian packages the build needs
  build     configure and build (build/); development packages that are missing are
            installed where no password is needed, else it says to run ./chs setup
  test [--sanitize address,undefined|thread] [CTEST-ARGS...]
            setup, build and run the whole test suite; with --sanitize, in a build of its
            own (build-asan-ubsan/, build-tsan/) where a report of any process, daemons and
            peers included, fails the run (reports in <build>/sanitizer-reports/)
  fuzz [SECONDS]
            build the libFuzzer targets with clang (build-fuzz/) and run each for SECONDS
            (default 60) from fuzz/corpus/<target>/
  package-deb
            build, then the Debian package (infocollector_<version>_<arch>.deb) into build/,
            and print its path
  demo      setup, build, run a three-node cluster, switch collection on, export the
            diagnose information of every node, download it and list what it holds
  bench [--quick] [--only NAME...]
            build, run every benchmark and print one table: each figure beside its
            baseline from the same run, the ratio, the target, met or missed
            (raw output in build/bench-results/; --quick: fewer repetitions)
  cluster up [--nodes N] [--dir DIR] [--no-build] [--remote https] [--backend sqlite|etcd]
             [--transport unix|tcp]
            start a simulated cluster (default 3 nodes in build/cluster): daemons and sibling
            modules; CHS_NO_BUILD=1 is --no-build; --remote https: the agents upload over
            HTTPS to a local service (nginx on loopback, private CA in DIR/remote-https/)
            that stores into DIR/remote/; --backend etcd: the configuration database in a
            local etcd (data in DIR/etcd/, loopback only); --transport tcp: nodes talk over
            TCP with mutual TLS on their loopback addresses (certificates in DIR/tls/);
            a daemon that dies is restarted, at most 5 times in 60 s (DIR/run/*.restarts)
  cluster down [--dir DIR]     stop every process "cluster up" started there
  cluster status [--dir DIR]   list those processes, running or stopped, and the restarts
TXT
}

case "${1:-}" in
    setup) setup ;;
    build) build ;;
    test) shift; test_command "$@" ;;
    demo) demo ;;
    package-deb) package_deb ;;
    bench) shift; build; python3 "$ROOT/bench/report.py" --build "$BUILD" "$@" ;;
    cluster) shift; cluster "$@" ;;
    supervise) shift; supervise "$@" ;;  # run by cluster up, one per daemon
    fuzz) shift; fuzz "$@" ;;
    *) usage; [ -z "${1:-}" ] || exit 2 ;;
esac
