#!/bin/bash
# remote_https.sh: a local HTTPS remote support service for simulated clusters
# and tests: a private CA, server certificates, a CRL, and nginx on loopback
# in front of upload_server.py.
#
#   remote_https.sh mkca DIR                     DIR/ca.pem, ca.key and an empty DIR/crl.pem
#   remote_https.sh mkcert DIR NAME CN [SAN...]  DIR/NAME.pem and NAME.key signed by the CA;
#                                                SAN entries as "DNS:localhost" or "IP:127.0.0.1"
#   remote_https.sh revoke DIR NAME              revokes DIR/NAME.pem and rewrites DIR/crl.pem
#   remote_https.sh start DIR PORT NAME UPLOADS  nginx on 127.0.0.1:PORT with DIR/NAME.pem; uploads
#                                                land in UPLOADS (see upload_server.py)
#   remote_https.sh stop DIR                     stops every service started with DIR
#
# Each started service keeps its configuration, logs and pid files in
# DIR/service-PORT/. Keys are made readable by their owner alone.
set -euo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
OPENSSL=(env LD_LIBRARY_PATH= openssl)

die() { echo "remote_https.sh: $*" >&2; exit 1; }
usage() { sed -n '4,12p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2; exit 2; }

ca_config() {
    local dir="$1"
    cat >"$dir/ca.cnf" <<CNF
[ ca ]
default_ca = local_ca
[ local_ca ]
dir = $dir
database = \$dir/index.txt
crlnumber = \$dir/crlnumber
certificate = \$dir/ca.pem
private_key = \$dir/ca.key
default_md = sha256
default_crl_days = 30
CNF
}

mkca() {
    local dir="$1"
    mkdir -p "$dir"
    dir="$(cd "$dir" && pwd)"
    ca_config "$dir"
    : >"$dir/index.txt"
    echo 1000 >"$dir/crlnumber"
    (umask 077 && "${OPENSSL[@]}" req -x509 -newkey rsa:2048 -nodes -days 30 -sha256 \
        -keyout "$dir/ca.key" -out "$dir/ca.pem" -subj "/CN=chs remote support test CA" \
        -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
        2>/dev/null)
    chmod 644 "$dir/ca.pem"
    gencrl "$dir"
}

gencrl() {
    "${OPENSSL[@]}" ca -config "$1/ca.cnf" -gencrl -out "$1/crl.pem" 2>/dev/null
}

mkcert() {
    local dir="$1" name="$2" cn="$3"
    shift 3
    [[ "$name" =~ ^[A-Za-z0-9_-]+$ ]] || die "a certificate name is letters, digits, _ and -"
    [ -f "$dir/ca.key" ] || die "no CA in $dir (mkca first)"
    local ext="$dir/$name.ext" san=""
    printf 'basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n' >"$ext"
    if [ $# -gt 0 ]; then
        san="$(IFS=,; echo "$*")"
        printf 'subjectAltName=%s\n' "$san" >>"$ext"
    fi
    (umask 077 && "${OPENSSL[@]}" req -new -newkey rsa:2048 -nodes -keyout "$dir/$name.key" \
        -subj "/CN=$cn" -out "$dir/$name.csr" 2>/dev/null)
    "${OPENSSL[@]}" x509 -req -in "$dir/$name.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" \
        -set_serial "0x$("${OPENSSL[@]}" rand -hex 8)" -days 30 -sha256 -extfile "$ext" \
        -out "$dir/$name.pem" 2>/dev/null
    rm -f "$dir/$name.csr" "$ext"
}

revoke() {
    local dir="$1" name="$2"
    [ -f "$dir/$name.pem" ] || die "no certificate $dir/$name.pem"
    "${OPENSSL[@]}" ca -config "$dir/ca.cnf" -revoke "$dir/$name.pem" 2>/dev/null
    gencrl "$dir"
}

start() {
    local dir="$1" port="$2" name="$3" uploads="$4"
    [[ "$port" =~ ^[0-9]+$ ]] && [ "$port" -ge 1 ] && [ "$port" -le 65535 ] || die "bad port: $port"
    [ -f "$dir/$name.pem" ] && [ -f "$dir/$name.key" ] || die "no certificate $dir/$name.pem"
    dir="$(cd "$dir" && pwd)"
    mkdir -p "$uploads"
    uploads="$(cd "$uploads" && pwd)"
    local svc="$dir/service-$port" i
    [ ! -f "$svc/nginx.pid" ] || die "a service already runs on port $port (stop first)"
    mkdir -p "$svc/temp"
    rm -f "$svc/backend.port"
    nohup python3 "$HERE/upload_server.py" --dir "$uploads" --port-file "$svc/backend.port" \
        >"$svc/backend.log" 2>&1 </dev/null &
    echo "$!" >"$svc/backend.pid"
    for i in $(seq 1 100); do
        [ -s "$svc/backend.port" ] && break
        kill -0 "$(cat "$svc/backend.pid")" 2>/dev/null || die "the upload back end did not start: $(tail -n 3 "$svc/backend.log")"
        sleep 0.05
    done
    [ -s "$svc/backend.port" ] || die "the upload back end did not start"
    local user=""
    [ "$(id -u)" -ne 0 ] || user="user root root;"
    cat >"$svc/nginx.conf" <<CONF
$user
worker_processes 1;
pid $svc/nginx.pid;
error_log $svc/error.log warn;
events { worker_connections 256; }
http {
    access_log $svc/access.log;
    client_body_temp_path $svc/temp/body;
    proxy_temp_path $svc/temp/proxy;
    fastcgi_temp_path $svc/temp/fastcgi;
    uwsgi_temp_path $svc/temp/uwsgi;
    scgi_temp_path $svc/temp/scgi;
    client_max_body_size 0;
    client_body_buffer_size 1m;
    server {
        listen 127.0.0.1:$port ssl;
        ssl_certificate $dir/$name.pem;
        ssl_certificate_key $dir/$name.key;
        ssl_protocols TLSv1.2 TLSv1.3;
        ssl_ciphers ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-AES256-GCM-SHA384;
        large_client_header_buffers 4 16k;
        location / {
            proxy_pass http://127.0.0.1:$(cat "$svc/backend.port");
            proxy_http_version 1.1;
            proxy_set_header Connection "";
            proxy_read_timeout 600s;
            proxy_send_timeout 600s;
            proxy_buffer_size 1m;
            proxy_buffers 4 1m;
            proxy_busy_buffers_size 2m;
        }
    }
}
CONF
    if ! nginx -p "$svc" -c "$svc/nginx.conf" -e "$svc/error.log" 2>"$svc/start.err"; then
        kill "$(cat "$svc/backend.pid")" 2>/dev/null || true
        rm -f "$svc/backend.pid"
        die "nginx did not start: $(tail -n 3 "$svc/start.err")"
    fi
    for i in $(seq 1 100); do
        [ -s "$svc/nginx.pid" ] && break
        sleep 0.05
    done
    echo "https://127.0.0.1:$port/upload/ -> $uploads"
}

stop() {
    local dir="$1" svc pid
    for svc in "$dir"/service-*; do
        [ -d "$svc" ] || continue
        if [ -s "$svc/nginx.pid" ]; then
            nginx -p "$svc" -c "$svc/nginx.conf" -e "$svc/error.log" -s stop 2>/dev/null ||
                kill "$(cat "$svc/nginx.pid")" 2>/dev/null || true
        fi
        if [ -s "$svc/backend.pid" ]; then
            pid="$(cat "$svc/backend.pid")"
            kill "$pid" 2>/dev/null || true
        fi
        rm -f "$svc/nginx.pid" "$svc/backend.pid" "$svc/backend.port"
    done
}

case "${1:-}" in
    mkca) [ $# -eq 2 ] || usage; mkca "$2" ;;
    mkcert) [ $# -ge 4 ] || usage; mkcert "${@:2}" ;;
    revoke) [ $# -eq 3 ] || usage; revoke "$2" "$3" ;;
    start) [ $# -eq 5 ] || usage; start "${@:2}" ;;
    stop) [ $# -eq 2 ] || usage; stop "$2" ;;
    *) usage ;;
esac
