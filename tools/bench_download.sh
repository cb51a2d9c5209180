#!/usr/bin/env bash
# Download speed: HttpDownload against curl -o for one 1 GiB file from nginx on
# 127.0.0.1, and the load time of a file list of 100,000 records.
# Usage: tools/bench_download.sh [build folder]   (default build/native; the
# download_bench and filelist_bench targets are built there; an optimised build
# type gives fair figures). Needs nginx and curl (Debian packages nginx, curl).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/native}
cmake --build "$build" --target download_bench filelist_bench -j 2 >/dev/null
download_bench=$build/tools/download_bench
filelist_bench=$build/tools/filelist_bench
nginx=$(command -v nginx || echo /usr/sbin/nginx)
[ -x "$nginx" ] || { echo "nginx is missing (apt-get install nginx)" >&2; exit 1; }
command -v curl >/dev/null || { echo "curl is missing (apt-get install curl)" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/zefo-download-bench.XXXXXX")
stop_nginx() {
    if [ -f "$work/nginx.pid" ]; then
        kill "$(cat "$work/nginx.pid")" 2>/dev/null || true
        for _ in $(seq 50); do [ -f "$work/nginx.pid" ] || break; sleep 0.1; done
    fi
    rm -rf "$work"
}
trap stop_nginx EXIT
# nginx's workers may run as another user: everything they serve must be readable.
chmod 755 "$work"
mkdir -p "$work/www/game" "$work/temp" "$work/out"

echo "creating a 1 GiB file in $work"
head -c $((1024 * 1024 * 1024)) /dev/urandom >"$work/www/one-gib.bin"
# A file list of 100,000 records (about 6 MB) as the list protocol serves it.
awk 'BEGIN {
    srand(7); printf "[data]";
    for (i = 0; i < 100000; i++) {
        printf "data/folder%03d/file%06d.pak:", i % 500, i;
        for (j = 0; j < 32; j++) printf "%x", int(rand() * 16);
        printf "|";
    }
    printf "[/data]";
}' >"$work/www/game/index.html"
chmod -R a+rX "$work/www"

start_nginx() {
    local port=$1
    cat >"$work/nginx.conf" <<CONF
worker_processes 1;
error_log $work/error.log;
pid $work/nginx.pid;
events { worker_connections 64; }
http {
    access_log off;
    sendfile on;
    tcp_nopush on;
    default_type application/octet-stream;
    client_body_temp_path $work/temp/body;
    proxy_temp_path $work/temp/proxy;
    fastcgi_temp_path $work/temp/fastcgi;
    uwsgi_temp_path $work/temp/uwsgi;
    scgi_temp_path $work/temp/scgi;
    server {
        listen 127.0.0.1:$port;
        root $work/www;
    }
}
CONF
    "$nginx" -p "$work" -c "$work/nginx.conf" 2>/dev/null
}
port=""
for candidate in $(shuf -i 20000-60000 -n 10); do
    if start_nginx "$candidate"; then port=$candidate; break; fi
done
[ -n "$port" ] || { echo "nginx did not start" >&2; cat "$work/error.log" >&2; exit 1; }
url=http://127.0.0.1:$port/one-gib.bin
for _ in $(seq 50); do curl -s -o /dev/null "http://127.0.0.1:$port/" && break; sleep 0.1; done

# Warm the page cache so both clients are served from memory.
cat "$work/www/one-gib.bin" >/dev/null
now() { date +%s.%N; }
curl_times=()
zefo_times=()
for round in 1 2 3; do
    t0=$(now)
    curl -s -o "$work/out/curl.bin" "$url"
    t1=$(now)
    rm -f "$work/out/curl.bin"
    t2=$(now)
    "$download_bench" "$url" "$work/out/zefo.bin" >/dev/null
    t3=$(now)
    size=$(stat -c %s "$work/out/zefo.bin")
    [ "$size" -eq $((1024 * 1024 * 1024)) ] || { echo "HttpDownload wrote $size bytes" >&2; exit 1; }
    rm -f "$work/out/zefo.bin"
    curl_times+=("$(echo "$t1 - $t0" | bc -l)")
    zefo_times+=("$(echo "$t3 - $t2" | bc -l)")
    printf 'round %d: curl -o %.3f s, HttpDownload %.3f s\n' "$round" "${curl_times[-1]}" "${zefo_times[-1]}"
done
median() { printf '%s\n' "$@" | sort -g | sed -n 2p; }
curl_median=$(median "${curl_times[@]}")
zefo_median=$(median "${zefo_times[@]}")
printf 'median of 3: curl -o %.3f s, HttpDownload %.3f s, ratio %.3f (target at most 1.10)\n' \
    "$curl_median" "$zefo_median" "$(echo "$zefo_median / $curl_median" | bc -l)"

# The download with its MD5 checked on the way, for comparison.
expected=$(md5sum "$work/www/one-gib.bin" | cut -d' ' -f1)
t0=$(now)
"$download_bench" "$url" "$work/out/zefo.bin" "$expected" >/dev/null
t1=$(now)
rm -f "$work/out/zefo.bin"
printf 'HttpDownload with MD5 check: %.3f s\n' "$(echo "$t1 - $t0" | bc -l)"

printf 'file list: %s bytes served; ' "$(stat -c %s "$work/www/game/index.html")"
"$filelist_bench" "127.0.0.1:$port" game 100000
