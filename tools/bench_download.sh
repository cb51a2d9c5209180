#!/usr/bin/env bash
# Download speed: HttpDownload, plain and verified by its MD5, against curl -o for one
# 1 GiB file from nginx on 127.0.0.1, and the load time of a file list of 100,000 records.
# Usage: tools/bench_download.sh [build folder]   (default build/native; the
# download_bench and filelist_bench targets are built there; an optimised build
# type gives fair figures). Needs nginx and curl (Debian packages nginx, curl).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/native}
cmake --build "$build" --target download_bench filelist_bench -j 2 >/dev/null
download_bench=$build/tools/download_bench
filelist_bench=$build/tools/filelist_bench
command -v curl >/dev/null || { echo "curl is missing (apt-get install curl)" >&2; exit 1; }

source "$root/tools/lib/nginx.sh"
nginx_workspace download-bench
mkdir -p "$work/www/game" "$work/out"

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

nginx_start "$work" "$work/www" || exit 1
port=$NGINX_PORT
url=http://127.0.0.1:$port/one-gib.bin

# Warm the page cache so both clients are served from memory.
cat "$work/www/one-gib.bin" >/dev/null
now() { date +%s.%N; }
expected=$(md5sum "$work/www/one-gib.bin" | cut -d' ' -f1)
curl_times=()
zefo_times=()
checked_times=()
timed_zefo() {  # output name, checks...
    local t0 size
    sync
    t0=$(now)
    "$download_bench" "$url" "$work/out/$1" "${@:2}" >/dev/null
    elapsed=$(echo "$(now) - $t0" | bc -l)
    size=$(stat -c %s "$work/out/$1")
    [ "$size" -eq $((1024 * 1024 * 1024)) ] || { echo "HttpDownload wrote $size bytes" >&2; exit 1; }
    rm -f "$work/out/$1"
}
# Each run starts with nothing left to write back from the one before: the disk's
# write-back of the last 1 GiB would otherwise fall into the next run's time.
for round in 1 2 3; do
    sync
    t0=$(now)
    curl -s -o "$work/out/curl.bin" "$url"
    curl_times+=("$(echo "$(now) - $t0" | bc -l)")
    rm -f "$work/out/curl.bin"
    timed_zefo zefo.bin
    zefo_times+=("$elapsed")
    # Verified as the engine verifies a listed file: the MD5 taken beside the download.
    timed_zefo checked.bin "$expected"
    checked_times+=("$elapsed")
    printf 'round %d: curl -o %.3f s, HttpDownload %.3f s, with its MD5 checked %.3f s\n' "$round" \
        "${curl_times[-1]}" "${zefo_times[-1]}" "${checked_times[-1]}"
done
median() { printf '%s\n' "$@" | sort -g | sed -n 2p; }
curl_median=$(median "${curl_times[@]}")
zefo_median=$(median "${zefo_times[@]}")
checked_median=$(median "${checked_times[@]}")
printf 'median of 3: curl -o %.3f s, HttpDownload %.3f s (ratio %.3f), verified %.3f s (ratio %.3f, target at most 1.05)\n' \
    "$curl_median" "$zefo_median" "$(echo "$zefo_median / $curl_median" | bc -l)" \
    "$checked_median" "$(echo "$checked_median / $curl_median" | bc -l)"

printf 'file list: %s bytes served; ' "$(stat -c %s "$work/www/game/index.html")"
"$filelist_bench" "127.0.0.1:$port" game 100000
