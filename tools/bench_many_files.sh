#!/usr/bin/env bash
# Many small files: the installation of a game of FILES files of 4 KB each from nginx
# on 127.0.0.1, directly and through a proxy that adds a round-trip time, by the
# command-line client (natively, and zefo.exe under Wine when the Windows build is
# there) against curl fetching the same URLs one after another on one connection and
# eight at a time.
#
#   tools/bench_many_files.sh [native build] [win64 build] [files] [round trip ms]
#
# Defaults: build/native, build/win64, 2000 files, 50 ms. Needs nginx, curl, and wine
# for the Windows figures. Prints each time and the ratios the targets speak of.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
native=${1:-$root/build/native}
win64=${2:-$root/build/win64}
files=${3:-2000}
rtt=${4:-50}
cmake --build "$native" --target zefo_cli zefo_publish latency_proxy -j 2 >/dev/null
zefo=$native/src/cli/zefo
zefo_exe=$win64/src/cli/zefo.exe
[ -f "$zefo_exe" ] || zefo_exe=""
command -v curl >/dev/null || { echo "curl is missing" >&2; exit 1; }

source "$root/tools/lib/nginx.sh"
source "$root/tools/lib/many_files.sh"
nginx_workspace many-files

many_files_publish "$work" "$native" "$files"
nginx_start "$work" "$work/www" || exit 1
latency_proxy_start "$work" "$native" "$NGINX_PORT" "$rtt" || exit 1
proxy_port=$PROXY_PORT

run_zefo() {  # port, connections
    rm -rf "$work/installed"
    XDG_CONFIG_HOME="$work/config" timed "$zefo" install many "$work/installed" --quiet --server "127.0.0.1:$1" \
        --connections "$2"
}
run_zefo_exe() {  # port, connections
    rm -rf "$work/installed"
    timed wine "$zefo_exe" install many "Z:$work/installed" --quiet --server "127.0.0.1:$1" --connections "$2"
}

echo "at 0 ms round trip:"
run_curl "$work" "$NGINX_PORT"
curl_sequential=$elapsed
run_zefo "$NGINX_PORT" 1
zefo_one=$elapsed
run_zefo "$NGINX_PORT" 8
zefo_direct=$elapsed
printf '  curl one after another %.3f s; zefo on 1 connection %.3f s (ratio %.2f), on 8 %.3f s (ratio %.2f, target at most 2)\n' \
    "$curl_sequential" "$zefo_one" "$(ratio "$zefo_one" "$curl_sequential")" \
    "$zefo_direct" "$(ratio "$zefo_direct" "$curl_sequential")"
if [ -n "$zefo_exe" ]; then
    run_zefo_exe "$NGINX_PORT" 8
    printf '  zefo.exe under Wine on 8 connections %.3f s: ratio %.2f\n' "$elapsed" "$(ratio "$elapsed" "$curl_sequential")"
fi

echo "at $rtt ms round trip:"
run_curl "$work" "$proxy_port"
curl_slow=$elapsed
run_curl "$work" "$proxy_port" --parallel --parallel-max 8
curl_parallel=$elapsed
run_zefo "$proxy_port" 1
zefo_slow_one=$elapsed
run_zefo "$proxy_port" 8
zefo_slow=$elapsed
printf '  curl one after another %.3f s, curl --parallel-max 8 %.3f s\n' "$curl_slow" "$curl_parallel"
printf '  zefo on 1 connection %.3f s (ratio to curl one after another %.2f)\n' "$zefo_slow_one" \
    "$(ratio "$zefo_slow_one" "$curl_slow")"
printf '  zefo on 8 connections %.3f s: ratio to curl parallel %.2f (target at most 1.2)\n' "$zefo_slow" \
    "$(ratio "$zefo_slow" "$curl_parallel")"
if [ -n "$zefo_exe" ]; then
    run_zefo_exe "$proxy_port" 8
    printf '  zefo.exe under Wine on 8 connections %.3f s: ratio to curl parallel %.2f\n' "$elapsed" \
        "$(ratio "$elapsed" "$curl_parallel")"
fi
