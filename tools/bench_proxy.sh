#!/usr/bin/env bash
# Downloads through an HTTP proxy: `zefo update` through tinyproxy against curl through
# the same tinyproxy, the same files from nginx on 127.0.0.1. Two games: FILES files of
# 4 KB in 40 folders, and one file of BIG MiB. Each update starts from the installed
# game with its files gone (the game's marker kept), so every file is fetched again;
# curl fetches the same URLs into a folder of its own, one process for all of them:
# one after another on one connection, and --parallel --parallel-max 8, as many at once
# as the client's default connections. Each time is the median of three runs taking
# turns. Target: `zefo update` at most 1.1 x curl (many files: curl --parallel).
#
#   tools/bench_proxy.sh [native build] [files] [big MiB]
#
# Defaults: build/native, 500 files, 256 MiB. Needs nginx, tinyproxy and curl.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
native=${1:-$root/build/native}
files=${2:-500}
big_mib=${3:-256}
cmake --build "$native" --target zefo_cli zefo_publish -j 2 >/dev/null
zefo=$native/src/cli/zefo
command -v curl >/dev/null || { echo "curl is missing" >&2; exit 1; }

source "$root/tools/lib/nginx.sh"
source "$root/tools/lib/many_files.sh"
source "$root/tests/common/tinyproxy.sh"
nginx_workspace proxy

mkdir -p "$work/source/big"
printf 'Big File\n' >"$work/source/big/game.txt"
head -c $((big_mib * 1048576)) /dev/urandom >"$work/source/big/big.bin"
many_files_publish "$work" "$native" "$files"
nginx_start "$work" "$work/www" || exit 1
start_tinyproxy "$work" "http://127.0.0.1:$NGINX_PORT/"
[ "$proxy" != 0 ] || { cat "$work/proxy-skip" >&2; exit 1; }
PROXY_PID=$(cat "$work/tinyproxy.pid")
through="http://127.0.0.1:$proxy"
export XDG_CONFIG_HOME=$work/config

# The installed games, fetched once directly; an update then finds every file but
# the marker gone.
for game in many big; do
    "$zefo" install "$game" "$work/$game" --quiet --server "127.0.0.1:$NGINX_PORT" --proxy none
done
empty_game() {  # game
    find "$work/$1" -type f ! -name game.dat -delete
}
run_zefo() {  # game
    empty_game "$1"
    timed "$zefo" update "$work/$1" --quiet --server "127.0.0.1:$NGINX_PORT" --proxy "$through"
    cmp -s "$work/source/big/big.bin" "$work/big/big.bin" || [ "$1" != big ] || { echo "big.bin differs" >&2; exit 1; }
}
run_curl_big() {
    rm -f "$work/curl.bin"
    timed curl -s -x "$through" -o "$work/curl.bin" "http://127.0.0.1:$NGINX_PORT/big/big.bin"
}
median() { printf '%s\n' "$@" | sort -g | sed -n 2p; }

zefo_many=() curl_one=() curl_parallel=() zefo_big=() curl_big=()
for round in 1 2 3; do
    run_zefo many && zefo_many+=("$elapsed")
    run_curl "$work" "$NGINX_PORT" -x "$through" && curl_one+=("$elapsed")
    run_curl "$work" "$NGINX_PORT" -x "$through" --parallel --parallel-max 8 && curl_parallel+=("$elapsed")
    run_zefo big && zefo_big+=("$elapsed")
    run_curl_big && curl_big+=("$elapsed")
done
cmp -s "$work/source/big/big.bin" "$work/curl.bin" || { echo "curl's big.bin differs" >&2; exit 1; }

zm=$(median "${zefo_many[@]}") co=$(median "${curl_one[@]}") cp=$(median "${curl_parallel[@]}")
zb=$(median "${zefo_big[@]}") cb=$(median "${curl_big[@]}")
echo "through tinyproxy $(tinyproxy -v 2>/dev/null | cut -d' ' -f2), medians of 3:"
printf '  %d files of 4 KB: zefo update %.3f s; curl one after another %.3f s (ratio %.2f), curl --parallel-max 8 %.3f s (ratio %.2f, target at most 1.1)\n' \
    "$files" "$zm" "$co" "$(ratio "$zm" "$co")" "$cp" "$(ratio "$zm" "$cp")"
printf '  one file of %d MiB: zefo update %.3f s; curl -o %.3f s (ratio %.2f, target at most 1.1)\n' \
    "$big_mib" "$zb" "$cb" "$(ratio "$zb" "$cb")"
