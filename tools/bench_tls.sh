#!/usr/bin/env bash
# TLS against plain HTTP from nginx on 127.0.0.1: the time of one list request on a
# fresh connection (for https: with its handshake) and of a 256 MiB download, with
# the ratios TLS / plain; and the download with MD5 and SHA-256 checked on the way.
# Usage: tools/bench_tls.sh [native build folder] [win64 build folder]
#   (default build/native; with a Windows build folder the same runs under Wine with
#   Schannel, in $WINEPREFIX, whose Root store trusts the test authority meanwhile).
# Needs nginx, openssl and bc; the servers and their test authority come from
# tests/net/tls_fixture.sh.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/native}
win64=${2:-}
cmake --build "$build" --target download_bench request_bench -j 2 >/dev/null
[ -z "$win64" ] || cmake --build "$win64" --target download_bench request_bench zefo_driver -j 2 >/dev/null
nginx=$(command -v nginx || echo /usr/sbin/nginx)

work=$(mktemp -d "${TMPDIR:-/tmp}/zefo-tls-bench.XXXXXX")
trusted=""
finish() {
    [ -n "$trusted" ] && wine "$win64/tests/e2e/zefo_driver.exe" distrust "$trusted" >/dev/null 2>&1
    "$root/tests/net/tls_fixture.sh" stop "$work/tls" >/dev/null 2>&1 || true
    [ -f "$work/plain/nginx.pid" ] && kill "$(cat "$work/plain/nginx.pid")" 2>/dev/null
    sleep 0.2
    rm -rf "$work"
}
trap finish EXIT
chmod 755 "$work"
"$root/tests/net/tls_fixture.sh" start "$work/tls"
tls_port=$(grep '^good=' "$work/tls/ports" | cut -d= -f2)
www=$work/tls/www
mkdir -p "$www/game" "$work/plain/temp" "$work/out"
head -c $((256 * 1024 * 1024)) /dev/urandom >"$www/big.bin"
printf '[data]data/game.dat:00000000000000000000000000000000|readme.txt:11111111111111111111111111111111[/data]' \
    >"$www/game/index.html"
chmod -R a+rX "$www"

# The same web root over plain HTTP.
for candidate in $(shuf -i 20000-60000 -n 10); do
    cat >"$work/plain/nginx.conf" <<CONF
worker_processes 1;
error_log $work/plain/error.log;
pid $work/plain/nginx.pid;
events { worker_connections 64; }
http {
    access_log off;
    sendfile on;
    default_type application/octet-stream;
    client_body_temp_path $work/plain/temp/body;
    proxy_temp_path $work/plain/temp/proxy;
    fastcgi_temp_path $work/plain/temp/fastcgi;
    uwsgi_temp_path $work/plain/temp/uwsgi;
    scgi_temp_path $work/plain/temp/scgi;
    server {
        listen 127.0.0.1:$candidate;
        root $www;
    }
}
CONF
    if { [ "$(id -u)" -eq 0 ] && sed -i '1i user root;' "$work/plain/nginx.conf"; true; } &&
        "$nginx" -p "$work/plain" -c "$work/plain/nginx.conf" 2>/dev/null; then
        plain_port=$candidate
        break
    fi
done
[ -n "${plain_port:-}" ] || { echo "nginx did not start" >&2; exit 1; }
cat "$www/big.bin" >/dev/null  # served from memory
md5=$(md5sum "$www/big.bin" | cut -d' ' -f1)
sha256=$(sha256sum "$www/big.bin" | cut -d' ' -f1)

now() { date +%s.%N; }
median() { printf '%s\n' "$@" | sort -g | sed -n 2p; }
ratio() { echo "$1 / $2" | bc -l; }

# run LABEL RUNNER REQUEST_BENCH DOWNLOAD_BENCH OUT_FOLDER(as the program names it)
run() {
    local label=$1 runner=$2 request_bench=$3 download_bench=$4 out=$5
    echo "== $label"
    local plain_ms tls_ms
    plain_ms=$($runner "$request_bench" "127.0.0.1:$plain_port" game 200 | tr -d '\r' | grep -o '[0-9.]* ms each' | cut -d' ' -f1)
    tls_ms=$($runner "$request_bench" "https://localhost:$tls_port" game 200 | tr -d '\r' | grep -o '[0-9.]* ms each' | cut -d' ' -f1)
    printf 'list request on a fresh connection: plain %.2f ms, https %.2f ms, ratio %.2f\n' \
        "$plain_ms" "$tls_ms" "$(ratio "$tls_ms" "$plain_ms")"
    local plain_times=() tls_times=() t0 t1
    for _ in 1 2 3; do
        t0=$(now); $runner "$download_bench" "http://127.0.0.1:$plain_port/big.bin" "$out/a.bin" >/dev/null; t1=$(now)
        plain_times+=("$(echo "$t1 - $t0" | bc -l)")
        t0=$(now); $runner "$download_bench" "https://localhost:$tls_port/big.bin" "$out/b.bin" >/dev/null; t1=$(now)
        tls_times+=("$(echo "$t1 - $t0" | bc -l)")
        cmp -s "$work/out/b.bin" "$www/big.bin" || { echo "the https download differs" >&2; exit 1; }
        rm -f "$work/out/a.bin" "$work/out/b.bin"
    done
    local p t
    p=$(median "${plain_times[@]}")
    t=$(median "${tls_times[@]}")
    printf '256 MiB download, median of 3: plain %.3f s (%.0f MiB/s), https %.3f s (%.0f MiB/s), ratio %.2f\n' \
        "$p" "$(echo "256 / $p" | bc -l)" "$t" "$(echo "256 / $t" | bc -l)" "$(ratio "$t" "$p")"
    t0=$(now)
    $runner "$download_bench" "https://localhost:$tls_port/big.bin" "$out/b.bin" "$md5" "$sha256" >/dev/null ||
        { echo "the checked download failed" >&2; exit 1; }
    t1=$(now)
    rm -f "$work/out/b.bin"
    printf 'https download with MD5 and SHA-256 checked: %.3f s, ratio to unchecked https %.2f\n' \
        "$(echo "$t1 - $t0" | bc -l)" "$(ratio "$(echo "$t1 - $t0" | bc -l)" "$t")"
}

SSL_CERT_FILE=$work/tls/ca.pem run "native (OpenSSL)" "" "$build/tools/request_bench" "$build/tools/download_bench" \
    "$work/out"
if [ -n "$win64" ]; then
    export WINEDEBUG=-all
    trusted=$(winepath -w "$work/tls/ca.pem")
    wine "$win64/tests/e2e/zefo_driver.exe" trust "$trusted" >/dev/null
    run "Windows build under Wine (Schannel)" wine "$win64/tools/request_bench.exe" "$win64/tools/download_bench.exe" \
        "$(winepath -w "$work/out")"
fi
